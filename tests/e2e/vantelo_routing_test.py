"""The real vantelo program routing real mail: a working folder with a default
route to SMTP server A and a route for a VPN profile to server B, the
NetworkManager mock on a private bus, and swaks sending through Vantelo's port.

Usage: /usr/bin/python3 vantelo_routing_test.py BUILD_FOLDER
"""
import collections
import os
import re
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testkit"))
from vantelo_testkit.private_bus import NetworkManagerOnPrivateBus  # noqa: E402
from vantelo_testkit.loopback import end_process, free_port  # noqa: E402
from vantelo_testkit.smtp_peers import (MailLog, TestPki, greeted_by, listening, send,  # noqa: E402
                        start_smtp, start_tls_smtp, wait_until)
from aiosmtpd.controller import Controller  # noqa: E402

BUILD = None


class Vantelo:
    """The real program in a fresh working folder: routes given as
    {entry: port} (or {entry: (server text, port)}), the settings file from
    `ini`, the NetworkManager mock's bus, more environment from `env`, and its
    log kept in a file."""

    def __init__(self, nm, routes, ini, env=None):
        self.folder = tempfile.mkdtemp(prefix="vantelo-e2e-")
        subprocess.run([os.path.join(BUILD, "vantelo-initdb"), self.folder], check=True,
                       stdout=subprocess.DEVNULL)
        db = sqlite3.connect(os.path.join(self.folder, "config", "log.mdb"))
        for entry, route in routes.items():
            server, port = route if isinstance(route, tuple) else ("127.0.0.1", route)
            db.execute("INSERT INTO smtp VALUES (?, ?, ?)", (entry, server, str(port)))
        db.commit()
        db.close()
        with open(os.path.join(self.folder, "config", "config.ini"), "w") as f:
            f.write(ini)
        self.log_path = os.path.join(self.folder, "stderr.log")
        self.log_file = open(self.log_path, "w")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=self.folder,
                   HOME=self.folder, XDG_CONFIG_HOME=os.path.join(self.folder, "xdg"),
                   **nm.env(), **(env or {}))
        env.pop("QT_MESSAGE_PATTERN", None)
        env.pop("QT_LOGGING_RULES", None)
        self.process = subprocess.Popen([os.path.join(BUILD, "vantelo")], cwd=self.folder,
                                        env=env, stdout=subprocess.DEVNULL,
                                        stderr=self.log_file)

    def log(self):
        with open(self.log_path) as f:
            return [line.rstrip("\n") for line in f]

    def stop(self):
        end_process(self.process, timeout=20)
        self.log_file.close()
        subprocess.run(["rm", "-rf", self.folder])


def ini(listen, default_port, extra=""):
    return ("[dial]\nsmtpport=%d\n%s[default]\nsmtpserver=127.0.0.1\nsmtpport=%d\n"
            % (listen, extra, default_port))


class Servers:
    """aiosmtpd servers by name, each greeting with its own name."""

    def __init__(self, *names):
        self.controllers, self.mail, self.port = {}, {}, {}
        for name in names:
            self.controllers[name], self.mail[name], self.port[name] = start_smtp(name)

    def stop(self):
        for controller in self.controllers.values():
            controller.stop()


class VanteloRoutesMail(unittest.TestCase):
    def setUp(self):
        self.nm = NetworkManagerOnPrivateBus()
        self.addCleanup(self.nm.stop)
        self.device = self.nm.add_device("eth0", "eth0")
        self.listen = free_port()

    def start(self, servers, routes, extra=""):
        app = Vantelo(self.nm, {e: servers.port[s] for e, s in routes.items()},
                      ini(self.listen, servers.port["server-d"], extra))
        self.addCleanup(app.stop)
        self.assertTrue(wait_until(lambda: listening(self.listen)), "Vantelo never listened")
        return app

    def assert_mail_goes_to(self, servers, name, subject):
        self.assertTrue(wait_until(lambda: greeted_by(self.listen) == name),
                        "still greeted by %s" % greeted_by(self.listen))
        self.assertEqual(send(self.listen, subject)[0], 0)
        self.assertTrue(wait_until(lambda: servers.mail[name].subjects[-1:] == [subject]))

    def test_mail_follows_the_vpn_profile_and_says_so_in_the_log(self):
        servers = Servers("server-d", "server-b")
        self.addCleanup(servers.stop)
        vpn = self.nm.add_profile("Work VPN", "vpn")
        app = self.start(servers, {"Work VPN": "server-b"})
        self.assert_mail_goes_to(servers, "server-d", "first")

        active = self.nm.activate(self.device, vpn, "1")
        self.assert_mail_goes_to(servers, "server-b", "through the VPN")
        self.assertEqual(servers.mail["server-d"].subjects, ["first"])

        self.nm.deactivate(self.device, active)
        self.assert_mail_goes_to(servers, "server-d", "back home")
        self.assertEqual(servers.mail["server-b"].subjects, ["through the VPN"])

        # Only this computer may send through it.
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.2", self.listen), timeout=2).close()
        log = app.log()
        d, b = servers.port["server-d"], servers.port["server-b"]
        # (A probe still closing at a switch finishes on its route: those lines aside.)
        self.assertEqual([line for line in log if line.startswith("vantelo.route: ")
                          and " session" not in line], [
            "vantelo.route: listening on 127.0.0.1:%d (this computer only)" % self.listen,
            "vantelo.route: mail now goes to 127.0.0.1:%d (default route)" % d,
            'vantelo.route: mail now goes to 127.0.0.1:%d (entry "Work VPN")' % b,
            "vantelo.route: mail now goes to 127.0.0.1:%d (default route)" % d])

    def test_a_starttls_route_carries_the_mail_encrypted_and_says_so(self):
        servers = Servers("server-d")
        self.addCleanup(servers.stop)
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        pki = TestPki(tmp.name)
        # The server takes no mail before STARTTLS.
        controller, tls_log, tls_port = start_tls_smtp(pki.context("tls"), implicit=False,
                                                       server_hostname="server-tls")
        self.addCleanup(controller.stop)
        vpn = self.nm.add_profile("Work VPN", "vpn")
        app = Vantelo(self.nm, {"Work VPN": ("starttls://localhost", tls_port)},
                      ini(self.listen, servers.port["server-d"]), env={"SSL_CERT_FILE": pki.ca})
        self.addCleanup(app.stop)
        self.assertTrue(wait_until(lambda: listening(self.listen)), "Vantelo never listened")
        self.assert_mail_goes_to(servers, "server-d", "plain at first")
        self.nm.activate(self.device, vpn, "1")
        self.assertTrue(wait_until(lambda: greeted_by(self.listen) == "server-tls"))
        self.assertEqual(send(self.listen, "encrypted"), (0, ""))
        self.assertEqual(tls_log.subjects, ["encrypted"])
        self.assertIn('vantelo.route: mail now goes to starttls://localhost:%d (entry "Work VPN")'
                      % tls_port, app.log())

    def test_a_direct_switch_and_an_unrouted_entry(self):
        servers = Servers("server-d", "server-a", "server-b")
        self.addCleanup(servers.stop)
        vpn_a = self.nm.add_profile("VPN A", "vpn")
        vpn_b = self.nm.add_profile("VPN B", "vpn")
        hotel = self.nm.add_profile("Hotel", "gsm")
        modem = self.nm.add_device("wwan0", "wwan0")
        self.start(servers, {"VPN A": "server-a", "VPN B": "server-b"})
        active_a = self.nm.activate(self.device, vpn_a, "1")
        self.assert_mail_goes_to(servers, "server-a", "over A")
        # B comes up before A goes: no tick sees neither.
        active_b = self.nm.activate(self.device, vpn_b, "2")
        self.nm.deactivate(self.device, active_a)
        self.assert_mail_goes_to(servers, "server-b", "over B")
        # An entry without a route: the default server, not B's.
        self.nm.activate(modem, hotel, "3")
        self.nm.deactivate(self.device, active_b)
        self.assert_mail_goes_to(servers, "server-d", "from the hotel")
        self.assertEqual(servers.mail["server-a"].subjects, ["over A"])
        self.assertEqual(servers.mail["server-b"].subjects, ["over B"])

    def test_wifi_and_wired_profiles_as_entries(self):
        servers = Servers("server-d", "office", "home", "vpn")
        self.addCleanup(servers.stop)
        wlan = self.nm.add_device("wlan0", "wlan0")
        office = self.nm.add_profile("Office", "802-11-wireless")
        home = self.nm.add_profile("Home", "802-11-wireless")
        self.nm.add_profile("Dock", "802-3-ethernet")
        vpn = self.nm.add_profile("Work VPN", "vpn")
        self.start(servers, {"Office": "office", "Home": "home", "Work VPN": "vpn"},
                   extra="lanentries=1\n")
        self.assert_mail_goes_to(servers, "server-d", "nowhere yet")
        at_office = self.nm.activate(wlan, office, "1")
        self.assert_mail_goes_to(servers, "office", "at the office")
        self.nm.deactivate(wlan, at_office)
        at_home = self.nm.activate(wlan, home, "2")
        self.assert_mail_goes_to(servers, "home", "at home")
        tunnel = self.nm.activate(wlan, vpn, "3")
        self.assert_mail_goes_to(servers, "vpn", "over the VPN at home")
        self.nm.deactivate(wlan, tunnel)
        self.assert_mail_goes_to(servers, "home", "at home again")
        self.nm.deactivate(wlan, at_home)
        self.assert_mail_goes_to(servers, "server-d", "left home")

    def test_a_port_held_at_start_is_tried_again_and_logged_once(self):
        servers = Servers("server-d")
        self.addCleanup(servers.stop)
        squatter = socket.socket()
        squatter.bind(("127.0.0.1", self.listen))
        squatter.listen(1)
        app = Vantelo(self.nm, {}, ini(self.listen, servers.port["server-d"]))
        self.addCleanup(app.stop)
        failure = ("vantelo.route: not listening on port %d: Could not bind socket. "
                   "Address and port are already in use." % self.listen)
        self.assertTrue(wait_until(lambda: failure in app.log()))
        time.sleep(11)  # two retries, each failing the same way
        squatter.close()
        self.assert_mail_goes_to(servers, "server-d", "after the retry")
        log = app.log()
        self.assertEqual(log.count(failure), 1)
        self.assertIn("vantelo.route: listening again on 127.0.0.1:%d (this computer only)"
                      % self.listen, log)


def probe(port):
    """What one new connection through `port` meets: the name in its greeting,
    or "refused", "reset", "no greeting" or "timeout"."""
    stage = "greeting"
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            greeting = b""
            while not greeting.endswith(b"\r\n"):
                chunk = s.recv(256)
                if not chunk:
                    return "no greeting"
                greeting += chunk
            stage = "QUIT"
            s.sendall(b"QUIT\r\n")
            s.recv(256)
        text = greeting.decode(errors="replace")
        return text.split()[1] if text.startswith("220 ") else "no greeting"
    except ConnectionRefusedError:
        return "refused"
    except ConnectionResetError:
        return "reset at " + stage
    except socket.timeout:
        return "timeout at " + stage


class Prober:
    """A client that connects every 10 ms, noting in order what each attempt
    met and which flip of the route was the last one asked for then."""

    def __init__(self, port):
        self.port, self.flip, self.seen = port, 0, []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        while not self._stop.is_set() and len(self.seen) < 20000:
            flip = self.flip
            self.seen.append((flip, probe(self.port)))
            time.sleep(0.01)

    def greeted_since(self, flip, name):
        return any(f >= flip and seen == name for f, seen in self.seen[-50:])

    def stop(self):
        self._stop.set()
        self._thread.join()


class VanteloSwitchesUnnoticed(unittest.TestCase):
    """A route switch that no mail program notices: nothing refused, reset or
    cut; what was relayed before finishes on its own server."""

    def setUp(self):
        self.nm = NetworkManagerOnPrivateBus()
        self.addCleanup(self.nm.stop)
        self.device = self.nm.add_device("eth0", "eth0")
        self.vpn = {name: self.nm.add_profile(name, "vpn") for name in ("VPN A", "VPN B")}
        self.listen = free_port()
        self.activations = 0

    def start(self, ports, default_port):
        app = Vantelo(self.nm, {"VPN A": ports["server-a"], "VPN B": ports["server-b"]},
                      ini(self.listen, default_port))
        self.addCleanup(app.stop)
        self.assertTrue(wait_until(lambda: listening(self.listen)), "Vantelo never listened")
        return app

    def switch_to(self, name, active):
        """The profile `name` comes up, then the one in `active` goes down:
        no moment without a VPN. Returns the new active connection."""
        self.activations += 1
        now = self.nm.activate(self.device, self.vpn[name], str(self.activations))
        if active:
            self.nm.deactivate(self.device, active)
        return now

    def test_probes_through_ten_flips_are_all_greeted_by_the_route_in_force(self):
        servers = Servers("server-d", "server-a", "server-b")
        self.addCleanup(servers.stop)
        app = self.start(servers.port, servers.port["server-d"])
        prober = Prober(self.listen)
        self.addCleanup(prober.stop)
        order, active = [], None
        for flip in range(1, 11):
            name = "VPN A" if flip % 2 else "VPN B"
            order.append("server-a" if flip % 2 else "server-b")
            prober.flip = flip
            active = self.switch_to(name, active)
            self.assertTrue(wait_until(lambda: prober.greeted_since(flip, order[-1]), 10),
                            "flip %d never reached %s" % (flip, order[-1]))
            time.sleep(0.3)
        prober.stop()
        failures = collections.Counter(seen for _, seen in prober.seen
                                       if not seen.startswith("server-"))
        self.assertEqual(dict(failures), {}, "of %d attempts; the relay's log:\n%s" % (
            len(prober.seen), "\n".join(l for l in app.log() if "vantelo.relay" in l)))
        # Within each flip: the route before, then the new one, never back.
        for flip in range(1, 11):
            names = [seen for f, seen in prober.seen if f == flip]
            before = order[flip - 2] if flip > 1 else "server-d"
            switched = names.index(order[flip - 1])
            self.assertEqual(set(names[:switched]) - {before}, set(), "flip %d" % flip)
            self.assertEqual(set(names[switched:]), {order[flip - 1]}, "flip %d" % flip)

    def test_sessions_left_on_an_earlier_route_end_with_the_program(self):
        servers = Servers("server-d", "server-a", "server-b")
        self.addCleanup(servers.stop)
        app = self.start(servers.port, servers.port["server-d"])
        active = self.switch_to("VPN A", None)
        self.assertTrue(wait_until(lambda: greeted_by(self.listen) == "server-a"))
        held = socket.create_connection(("127.0.0.1", self.listen), timeout=5)
        self.addCleanup(held.close)
        self.assertTrue(held.recv(256).startswith(b"220 server-a"))
        self.switch_to("VPN B", active)
        self.assertTrue(wait_until(lambda: greeted_by(self.listen) == "server-b"))
        held.sendall(b"NOOP\r\n")  # still on A's server
        self.assertTrue(held.recv(256).startswith(b"250"))
        app.process.send_signal(signal.SIGTERM)
        self.assertEqual(app.process.wait(timeout=10), 0)
        self.assertEqual(held.recv(256), b"")  # an orderly end, not a reset
        with socket.socket() as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("127.0.0.1", self.listen))  # the port is free
        # (The probes of the flip may still be counted.)
        self.assertTrue(any(re.fullmatch(r"vantelo\.route: \d+ sessions? still open ended as "
                                         r"Vantelo ends", line) for line in app.log()), app.log())

    def test_a_slow_large_mail_across_a_flip_arrives_whole_where_it_started(self):
        mail_log = MailLog()
        port_a = free_port()
        server_a = Controller(mail_log, hostname="127.0.0.1", port=port_a,
                              server_hostname="server-a", data_size_limit=64 << 20)
        server_a.start()
        self.addCleanup(server_a.stop)
        servers = Servers("server-d", "server-b")
        self.addCleanup(servers.stop)
        app = self.start(dict(servers.port, **{"server-a": port_a}), servers.port["server-d"])
        active = self.switch_to("VPN A", None)
        self.assertTrue(wait_until(lambda: greeted_by(self.listen) == "server-a"))

        body = b"".join(b"X-Line-%07d: %s\r\n" % (i, bytes([65 + i % 26]) * 60)
                        for i in range(5 * 1024 * 1024 // 80))
        with socket.create_connection(("127.0.0.1", self.listen), timeout=20) as s:
            replies = s.makefile("rb")

            def command(line, code):
                if line:
                    s.sendall(line)
                reply = replies.readline()
                while reply[3:4] == b"-":
                    reply = replies.readline()
                self.assertTrue(reply.startswith(code), reply)

            command(None, b"220 server-a")
            command(b"EHLO probe\r\n", b"250")
            command(b"MAIL FROM:<me@example.test>\r\n", b"250")
            command(b"RCPT TO:<you@example.test>\r\n", b"250")
            command(b"DATA\r\n", b"354")
            half = len(body) // 2
            for i in range(0, half, 64 << 10):
                s.sendall(body[i:min(i + (64 << 10), half)])
                time.sleep(0.005)
            self.switch_to("VPN B", active)
            self.assertTrue(wait_until(lambda: greeted_by(self.listen) == "server-b"),
                            "the route never switched")
            for i in range(half, len(body), 64 << 10):
                s.sendall(body[i:i + (64 << 10)])
                time.sleep(0.005)
            command(b"\r\n.\r\n", b"250")
            command(b"QUIT\r\n", b"221")
        self.assertEqual(len(mail_log.messages), 1)
        self.assertTrue(mail_log.messages[0].content.replace(b"\r\n", b"\n")
                        == (body + b"\r\n").replace(b"\r\n", b"\n"),
                        "the mail arrived changed")
        self.assertEqual(send(self.listen, "after the flip")[0], 0)
        self.assertTrue(wait_until(lambda: servers.mail["server-b"].subjects == ["after the flip"]))
        # (A probe that has just been greeted by A may be counted too.)
        self.assertTrue(any(re.fullmatch(r'vantelo\.route: \d+ sessions? on the route to '
                                         r'127\.0\.0\.1:%d \(entry "VPN A"\) finish(es)? there'
                                         % port_a, line) for line in app.log()), app.log())


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
