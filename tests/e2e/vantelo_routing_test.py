"""The real vantelo program routing real mail: a working folder with a default
route to SMTP server A and a route for a VPN profile to server B, the
NetworkManager mock on a private bus, and swaks sending through Vantelo's port.

Usage: /usr/bin/python3 vantelo_routing_test.py BUILD_FOLDER
"""
import os
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

from aiosmtpd.controller import Controller

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from private_bus import NetworkManagerOnPrivateBus  # noqa: E402
from loopback import end_process, free_port  # noqa: E402

BUILD = None


class Collector:
    def __init__(self):
        self.subjects = []

    async def handle_DATA(self, server, session, envelope):
        for line in envelope.content.decode(errors="replace").splitlines():
            if line.startswith("Subject: "):
                self.subjects.append(line[len("Subject: "):])
        return "250 OK"


def start_smtp(name):
    collector = Collector()
    port = free_port()
    controller = Controller(collector, hostname="127.0.0.1", port=port, server_hostname=name)
    controller.start()
    return controller, collector, port


def greeted_by(port):
    """The name in the greeting that a new connection through `port` gets."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            greeting = s.recv(256).decode(errors="replace")
            s.sendall(b"QUIT\r\n")
            s.recv(256)
        return greeting.split()[1] if greeting.startswith("220 ") else None
    except OSError:
        return None


def send(port, subject):
    result = subprocess.run(
        ["swaks", "--silent", "2", "--server", "127.0.0.1", "--port", str(port),
         "--from", "me@example.test", "--to", "you@example.test",
         "--header", "Subject: " + subject, "--timeout", "20"],
        capture_output=True, text=True, timeout=60)
    return result.returncode, result.stderr


def wait_until(condition, seconds=10.0):
    end = time.time() + seconds
    while time.time() < end:
        if condition():
            return True
        time.sleep(0.1)
    return False


def listening(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=1):
            return True
    except OSError:
        return False


class VanteloRoutesMail(unittest.TestCase):
    def test_mail_follows_the_vpn_profile(self):
        a, mail_a, port_a = start_smtp("server-a")
        b, mail_b, port_b = start_smtp("server-b")
        nm = NetworkManagerOnPrivateBus()
        app = None
        folder = tempfile.mkdtemp(prefix="vantelo-e2e-")
        try:
            subprocess.run([os.path.join(BUILD, "vantelo-initdb"), folder], check=True,
                           stdout=subprocess.DEVNULL)
            db = sqlite3.connect(os.path.join(folder, "config", "log.mdb"))
            db.execute("INSERT INTO smtp VALUES ('Work VPN', '127.0.0.1', ?)", (str(port_b),))
            db.commit()
            db.close()
            listen = free_port()
            with open(os.path.join(folder, "config", "config.ini"), "w") as f:
                f.write("[dial]\nsmtpport=%d\n[default]\nsmtpserver=127.0.0.1\nsmtpport=%d\n"
                        % (listen, port_a))
            device = nm.add_device("eth0", "eth0")
            vpn = nm.add_profile("Work VPN", "vpn")

            env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=folder,
                       HOME=folder, XDG_CONFIG_HOME=os.path.join(folder, "xdg"), **nm.env())
            app = subprocess.Popen([os.path.join(BUILD, "vantelo")], cwd=folder, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.assertTrue(wait_until(lambda: listening(listen)), "Vantelo never listened")

            self.assertEqual(send(listen, "first")[0], 0)
            self.assertTrue(wait_until(lambda: mail_a.subjects == ["first"]))

            active = nm.activate(device, vpn, "1")
            # A tick (each second) restarts the relay towards B.
            self.assertTrue(wait_until(lambda: greeted_by(listen) == "server-b"))
            self.assertEqual(send(listen, "through the VPN")[0], 0)
            self.assertTrue(wait_until(lambda: mail_b.subjects == ["through the VPN"]))
            self.assertEqual(mail_a.subjects, ["first"])

            nm.deactivate(device, active)
            self.assertTrue(wait_until(lambda: greeted_by(listen) == "server-a"))
            self.assertEqual(send(listen, "back home")[0], 0)
            self.assertTrue(wait_until(lambda: mail_a.subjects == ["first", "back home"]))
            self.assertEqual(mail_b.subjects, ["through the VPN"])
        finally:
            if app:
                end_process(app, timeout=20)
            nm.stop()
            a.stop()
            b.stop()
            subprocess.run(["rm", "-rf", folder])


class WorkingFolderSetup(unittest.TestCase):
    def test_initdb_makes_what_is_missing_and_never_touches_what_exists(self):
        folder = tempfile.mkdtemp(prefix="vantelo-init-")
        try:
            initdb = os.path.join(BUILD, "vantelo-initdb")
            subprocess.run([initdb, folder], check=True, stdout=subprocess.DEVNULL)
            database = os.path.join(folder, "config", "log.mdb")
            link = os.path.join(folder, "config", "link")
            db = sqlite3.connect(database)
            db.execute("INSERT INTO smtp VALUES ('Kept', 'mail.example', '25')")
            db.commit()
            db.close()
            self.assertTrue(os.access(link, os.X_OK))
            with open(link, "a") as f:
                f.write("# edited by hand\n")
            subprocess.run([initdb, folder], check=True, stdout=subprocess.DEVNULL)
            db = sqlite3.connect(database)
            self.assertEqual(db.execute("SELECT entry FROM smtp").fetchall(), [("Kept",)])
            db.close()
            with open(link) as f:
                self.assertTrue(f.read().endswith("# edited by hand\n"))
            # The launcher starts the program in the folder above config/.
            probe = os.path.join(folder, "bin")
            os.makedirs(probe)
            with open(os.path.join(probe, "vantelo"), "w") as f:
                f.write("#!/bin/sh\npwd > started-in\n")
            os.chmod(os.path.join(probe, "vantelo"), 0o755)
            os.remove(link)
            subprocess.run([os.path.join(BUILD, "vantelo-initdb"), folder], check=True,
                           stdout=subprocess.DEVNULL)
            env = dict(os.environ, PATH=probe + ":" + os.environ["PATH"])
            # The launcher prefers the vantelo beside vantelo-initdb; hide it by
            # running a copy of the launcher that points elsewhere.
            with open(link) as f:
                text = f.read().replace(os.path.realpath(BUILD) + "/vantelo",
                                        os.path.join(folder, "none"))
            with open(link, "w") as f:
                f.write(text)
            subprocess.run([link], check=True, cwd="/", env=env, timeout=20)
            with open(os.path.join(folder, "started-in")) as f:
                self.assertEqual(f.read().strip(), os.path.realpath(folder))
        finally:
            subprocess.run(["rm", "-rf", folder])


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
