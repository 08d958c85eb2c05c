"""A private desktop for tests of the real program's windows: an X server
(Xvfb), a session D-Bus, and optionally the accessibility bus that screen
readers use (at-spi-bus-launcher). Nothing of the machine's own session is
touched; stop() ends every process it started."""
import ctypes
import os
import signal
import subprocess
import tempfile
import time

from .loopback import end_process


def _end_with_parent():
    """In the child: ends it when the test that started it dies, so a test
    killed on a time-out leaves no X server or bus behind."""
    PR_SET_PDEATHSIG = 1
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class DesktopSession:
    def __init__(self, accessibility=False):
        self.folder = tempfile.mkdtemp(prefix="vantelo-desktop-")
        self.processes = []
        read, write = os.pipe()
        self.xvfb = self._start(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24",
                                 "-nolisten", "tcp"], pass_fds=(write,))
        os.close(write)
        with os.fdopen(read) as f:
            self.display = ":" + f.readline().strip()
        bus = self._start(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                          stdout=subprocess.PIPE, text=True)
        self.bus_address = bus.stdout.readline().strip()
        bus.stdout.close()
        if accessibility:
            self._start(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"],
                        env=dict(os.environ, **self.env()))
            time.sleep(0.5)

    def _start(self, argv, **kwargs):
        kwargs.setdefault("stdout", subprocess.DEVNULL)
        kwargs.setdefault("stderr", subprocess.DEVNULL)
        proc = subprocess.Popen(argv, start_new_session=True, preexec_fn=_end_with_parent,
                                **kwargs)
        self.processes.append(proc)
        return proc

    def env(self):
        return {"DISPLAY": self.display, "DBUS_SESSION_BUS_ADDRESS": self.bus_address,
                "XDG_RUNTIME_DIR": self.folder}

    def stop(self):
        for proc in reversed(self.processes):
            # The launcher starts the accessibility bus and registry as its own
            # children: end the whole process group.
            try:
                os.killpg(proc.pid, 15)
            except ProcessLookupError:
                pass
            end_process(proc)
        subprocess.run(["rm", "-rf", self.folder])
