"""A real Secret Service for tests of the real programs: gnome-keyring-daemon,
its login keyring made and unlocked with a password of the test's own, on a
given session bus (a DesktopSession's, say) with a temporary home of its own,
and secret-tool to store and read entries as a person or msmtp does."""
import os
import subprocess
import tempfile
import time

from .loopback import end_process

UNLOCK_PASSWORD = "vantelo-test-keyring"


class KeyringOnBus:
    """Starts the daemon on the bus at `bus_address`; stop() ends it."""

    def __init__(self, bus_address):
        self.folder = tempfile.mkdtemp(prefix="vantelo-keyring-")
        home = os.path.join(self.folder, "home")
        run = os.path.join(self.folder, "run")
        os.makedirs(os.path.join(home, ".local", "share"))
        os.makedirs(run, mode=0o700)
        self.environment = dict(os.environ, HOME=home,
                                XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                                XDG_CONFIG_HOME=os.path.join(home, ".config"),
                                XDG_CACHE_HOME=os.path.join(home, ".cache"),
                                XDG_RUNTIME_DIR=run, DBUS_SESSION_BUS_ADDRESS=bus_address)
        self.environment.pop("DISPLAY", None)
        self.daemon = subprocess.Popen(
            ["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=self.environment)
        self.daemon.stdin.write(UNLOCK_PASSWORD.encode())
        self.daemon.stdin.close()
        # Until login.keyring exists the daemon answers "Object does not
        # exist" for the login collection.
        login = os.path.join(home, ".local", "share", "keyrings", "login.keyring")
        for _ in range(250):
            if os.path.exists(login):
                break
            time.sleep(0.02)
        else:
            raise RuntimeError("gnome-keyring-daemon made no login keyring")

    def store(self, host, user, password, label="test entry"):
        subprocess.run(["secret-tool", "store", "--label=" + label, "host", host,
                        "service", "smtp", "user", user], input=password, text=True,
                       check=True, env=self.environment, stderr=subprocess.DEVNULL)

    def lookup(self, host, user):
        """The password stored for the account, or None."""
        result = subprocess.run(["secret-tool", "lookup", "host", host, "service", "smtp",
                                 "user", user], capture_output=True, text=True,
                                env=self.environment)
        return result.stdout if result.returncode == 0 else None

    def stop(self):
        end_process(self.daemon)
        subprocess.run(["rm", "-rf", self.folder])
