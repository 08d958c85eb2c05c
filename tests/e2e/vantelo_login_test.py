"""The real vantelo program logging in to a route's server for the mail
program: a STARTTLS server (aiosmtpd with a login of its own, certificates
from the test's CA), a route with a user applied when the VPN comes up, an
empty keyring (gnome-keyring-daemon) on the private desktop's session bus,
and the window that asks for the password answered through the
accessibility interface, as a person or a screen reader would.

Usage: /usr/bin/python3 vantelo_login_test.py BUILD_FOLDER
"""
import os
import socket
import sqlite3
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testkit"))
from aiosmtpd.smtp import AuthResult  # noqa: E402
from vantelo_testkit.desktop_session import DesktopSession  # noqa: E402
from vantelo_testkit.keyring import KeyringOnBus  # noqa: E402
from vantelo_testkit.loopback import end_process, free_port  # noqa: E402
from vantelo_testkit.private_bus import NetworkManagerOnPrivateBus  # noqa: E402
from vantelo_testkit.smtp_peers import (TestPki, listening, send, start_smtp,  # noqa: E402
                                        start_tls_smtp, wait_until)

BUILD = None
USER = "alice@example.net"
PASSWORD = "e2e-Pa55 word"


class Logins:
    """aiosmtpd's authenticator: takes USER with PASSWORD, notes every try."""

    def __init__(self):
        self.tries = []

    def __call__(self, server, session, envelope, mechanism, auth_data):
        login = auth_data.login.decode()
        password = auth_data.password.decode()
        self.tries.append((mechanism, login))
        return AuthResult(success=login == USER and password == PASSWORD)


class VanteloAsksForThePassword(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="vantelo-login-")
        self.addCleanup(subprocess.run, ["rm", "-rf", self.tmp])
        pki = TestPki(self.tmp)
        self.ca = pki.ca
        self.logins = Logins()
        controller, self.mail, self.tls_port = start_tls_smtp(
            pki.context("tls"), implicit=False, server_hostname="server-tls",
            authenticator=self.logins, auth_required=True)
        self.addCleanup(controller.stop)
        default, _, self.default_port = start_smtp("server-d")
        self.addCleanup(default.stop)
        self.nm = NetworkManagerOnPrivateBus()
        self.addCleanup(self.nm.stop)
        self.desktop = DesktopSession(accessibility=True)
        self.addCleanup(self.desktop.stop)
        self.keyring = KeyringOnBus(self.desktop.bus_address)
        self.addCleanup(self.keyring.stop)

    def start_vantelo(self, listen):
        folder = os.path.join(self.tmp, "work")
        subprocess.run([os.path.join(BUILD, "vantelo-initdb"), folder], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        db = sqlite3.connect(os.path.join(folder, "config", "log.mdb"))
        db.execute("INSERT INTO smtp VALUES ('Work VPN', ?, ?)",
                   ("starttls://alice%40example.net@localhost", str(self.tls_port)))
        db.commit()
        db.close()
        with open(os.path.join(folder, "config", "config.ini"), "w") as f:
            f.write("[dial]\nsmtpport=%d\n[default]\nsmtpserver=127.0.0.1\nsmtpport=%d\n"
                    % (listen, self.default_port))
        self.log_path = os.path.join(self.tmp, "stderr.log")
        log = open(self.log_path, "w")
        self.addCleanup(log.close)
        env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   HOME=folder, XDG_CONFIG_HOME=os.path.join(folder, "xdg"),
                   SSL_CERT_FILE=self.ca, **self.desktop.env(), **self.nm.env())
        for name in ("QT_ACCESSIBILITY", "QT_MESSAGE_PATTERN", "QT_LOGGING_RULES"):
            env.pop(name, None)
        app = subprocess.Popen([os.path.join(BUILD, "vantelo")], cwd=folder, env=env,
                               stdout=subprocess.DEVNULL, stderr=log)
        self.addCleanup(end_process, app, 20)
        self.folder = folder

    def log(self):
        with open(self.log_path) as f:
            return f.read()

    def test_a_route_with_a_user_asks_once_and_then_logs_in_for_the_mail_program(self):
        device = self.nm.add_device("tun0", "tun0")
        vpn = self.nm.add_profile("Work VPN", "vpn")
        listen = free_port()
        self.start_vantelo(listen)
        self.assertTrue(wait_until(lambda: listening(listen)), "Vantelo never listened")
        self.nm.activate(device, vpn, "1")
        route = "mail now goes to starttls://alice%%40example.net@localhost:%d" % self.tls_port
        self.assertTrue(wait_until(lambda: route in self.log()), self.log())

        # No password yet: the mail program is told so, and the window asks.
        self.assertTrue(first_reply(listen).startswith(
            "421 4.7.0 No password for %s at localhost:%d: " % (USER, self.tls_port)))
        self.assertNotEqual(send(listen, "before the password")[0], 0)
        self.assertEqual(self.mail.subjects, [])

        os.environ.update(self.desktop.env())
        import pyatspi
        from gi.repository import Atspi, GLib

        def application():
            for app in pyatspi.Registry.getDesktop(0):
                if app is not None and app.name == "Vantelo":
                    return app
            return None

        app = wait_until(application, 20)
        self.assertIsNotNone(app, "Vantelo never appeared on the accessibility bus")
        title = "Vantelo: password for localhost:%d" % self.tls_port
        window = wait_until(lambda: next(
            (w for w in app if w is not None and w.name == title
             and w.getState().contains(pyatspi.STATE_SHOWING)), None), 20)
        self.assertIsNotNone(window, "the window that asks did not show")

        def find(role, name=None):
            return pyatspi.findDescendant(
                window, lambda x: x is not None and x.getRoleName() == role
                and (name is None or x.name == name))

        for text in ("Work VPN", "localhost:%d" % self.tls_port, USER):
            self.assertIsNotNone(find("label", text), text)
        remember = find("check box", "Remember in the keyring")
        self.assertTrue(remember.getState().contains(pyatspi.STATE_CHECKED))
        field = find("password text", "password")
        self.assertIsNotNone(field, "no password field")
        field.queryAction().doAction(0)  # SetFocus
        self.assertTrue(wait_until(lambda: field.getState().contains(pyatspi.STATE_FOCUSED)))
        Atspi.generate_keyboard_event(0, PASSWORD, Atspi.KeySynthType.STRING)
        ok = find("push button", "OK")
        self.assertTrue(wait_until(lambda: ok.getState().contains(pyatspi.STATE_ENABLED)))
        try:
            ok.queryAction().doAction(0)
        except GLib.GError:
            pass

        # Stored where msmtp would find it too; the mail now goes, logged in.
        self.assertEqual(wait_until(lambda: self.keyring.lookup("localhost", USER)), PASSWORD)
        self.assertEqual(send(listen, "logged in"), (0, ""))
        self.assertEqual(self.mail.subjects, ["logged in"])
        self.assertIn(USER, [login for _, login in self.logins.tries])
        self.assertIn("vantelo.login: the password for %s@localhost:%d is stored in the keyring"
                      % (USER, self.tls_port), self.log())

        # The password is in no log line and no file of the working folder.
        self.assertNotIn(PASSWORD, self.log())
        for root, _, files in os.walk(self.folder):
            for name in files:
                with open(os.path.join(root, name), "rb") as f:
                    self.assertNotIn(PASSWORD.encode(), f.read(), name)


def first_reply(port):
    """The first line a new connection through `port` is sent."""
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        reply = b""
        while not reply.endswith(b"\r\n"):
            piece = s.recv(512)
            if not piece:
                break
            reply += piece
    return reply.decode(errors="replace")


def relay_logs_in(build):
    """Whether this build's relay logs in for routes with a user (the
    vantelo-relay program then takes --password-file)."""
    with open(os.path.join(build, "vantelo-relay"), "rb") as f:
        return b"--password-file" in f.read()


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    if not relay_logs_in(BUILD):
        print("skipped: this build's relay does not log in to servers yet")
        sys.exit(77)
    unittest.main()
