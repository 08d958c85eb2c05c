"""The real vantelo program ends as Exit ends it when it gets SIGTERM or
SIGINT (a logout, `systemctl --user stop`, Ctrl+C): one log line naming the
signal, status 0 within two seconds, the listening port free at once, a
relayed connection closed in order rather than cut. SIGHUP applies an edited
config.ini as Refresh does, which is how a start without windows (Qt's
offscreen platform) is told of a new default route; the log says so there,
and says nothing of a task bar. An error box at the start (no tips file)
neither keeps the relay from listening nor the program from ending; without a
display and no platform named it says what it needs and ends with status 1.

Usage: /usr/bin/python3 vantelo_stop_test.py BUILD_FOLDER
"""
import os
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

from aiosmtpd.controller import Controller

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testkit"))
from vantelo_testkit.loopback import end_process, free_port  # noqa: E402

BUILD = None


class Sink:
    async def handle_DATA(self, server, session, envelope):
        return "250 OK"


def greeting(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2) as s:
            return s.recv(256)
    except OSError:
        return b""


def port_is_free(port):
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind(("0.0.0.0", port))
            return True
        except OSError:
            return False


def absent_display():
    """The number of an X display that no server serves."""
    return next(n for n in range(917, 999)
                if not os.path.exists("/tmp/.X11-unix/X%d" % n)
                and not os.path.exists("/tmp/.X%d-lock" % n))


class VanteloEndsOnStopSignals(unittest.TestCase):
    def setUp(self):
        self.smtp_port = free_port()
        self.smtp = Controller(Sink(), hostname="127.0.0.1", port=self.smtp_port,
                               server_hostname="upstream")
        self.smtp.start()
        self.folder = tempfile.mkdtemp(prefix="vantelo-stop-")
        subprocess.run([os.path.join(BUILD, "vantelo-initdb"), self.folder], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.listen = free_port()
        with open(os.path.join(self.folder, "config", "config.ini"), "w") as f:
            f.write("[dial]\nsmtpport=%d\n[default]\nsmtpserver=127.0.0.1\nsmtpport=%d\n"
                    % (self.listen, self.smtp_port))

    def tearDown(self):
        self.smtp.stop()
        subprocess.run(["rm", "-rf", self.folder])

    def environment(self, **changes):
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=self.folder,
                   HOME=self.folder, XDG_CONFIG_HOME=os.path.join(self.folder, "xdg"),
                   DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
        env.update(changes)
        return {key: value for key, value in env.items() if value is not None}

    def start(self, soft_descriptors=None):
        env = self.environment()
        def limit():
            if soft_descriptors:
                hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
                resource.setrlimit(resource.RLIMIT_NOFILE, (soft_descriptors, hard))
        app = subprocess.Popen([os.path.join(BUILD, "vantelo")], cwd=self.folder, env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                               preexec_fn=limit)
        deadline = time.time() + 15
        while time.time() < deadline and not greeting(self.listen).startswith(b"220 upstream"):
            time.sleep(0.1)
        return app

    def test_each_stop_signal_ends_it_like_exit(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=sig.name):
                app = self.start()
                try:
                    relayed = socket.create_connection(("127.0.0.1", self.listen), timeout=5)
                    self.assertTrue(relayed.recv(256).startswith(b"220 upstream"))
                    sent = time.monotonic()
                    app.send_signal(sig)
                    status = app.wait(timeout=5)
                    took = time.monotonic() - sent
                    log = app.stderr.read().decode(errors="replace")
                    self.assertEqual(status, 0, log)
                    self.assertIn("vantelo.app: %s: ending, as Exit does\n" % sig.name, log)
                    self.assertLess(took, 2.0)
                    self.assertTrue(port_is_free(self.listen), "the port is still taken")
                    # Closed in order: the end of the stream, not a reset.
                    relayed.settimeout(5)
                    try:
                        rest = relayed.recv(256)
                    except ConnectionResetError:
                        self.fail("the relayed connection was reset")
                    self.assertEqual(rest, b"")
                    relayed.close()
                finally:
                    if app.poll() is None:
                        end_process(app)
                    app.stderr.close()

    def test_sighup_applies_an_edited_settings_file_as_refresh_does(self):
        settings = os.path.join(self.folder, "config", "config.ini")
        with open(settings, "w") as f:
            f.write("[dial]\nsmtpport=%d\n" % self.listen)  # no default route yet
        log_path = os.path.join(self.folder, "stderr.log")

        def log():
            with open(log_path, errors="replace") as f:
                return f.read()

        def wait_for(condition):
            deadline = time.time() + 15
            while time.time() < deadline and not condition():
                time.sleep(0.1)
            return condition()

        # No display: Qt's offscreen platform, as ./run.sh starts it.
        env = self.environment(DISPLAY=None, WAYLAND_DISPLAY=None)
        with open(log_path, "w") as stderr:
            app = subprocess.Popen([os.path.join(BUILD, "vantelo")], cwd=self.folder, env=env,
                                   stdout=subprocess.DEVNULL, stderr=stderr)
        try:
            advice = "then apply it with kill -HUP %d\n" % app.pid
            self.assertTrue(wait_for(lambda: advice in log()), log())
            self.assertIn("in config/config.ini ([default] smtpserver=HOST and smtpport=PORT)",
                          log())
            with open(settings, "w") as f:
                f.write("[dial]\nsmtpport=%d\n[default]\nsmtpserver=127.0.0.1\nsmtpport=%d\n"
                        % (self.listen, self.smtp_port))
            app.send_signal(signal.SIGHUP)
            self.assertTrue(wait_for(lambda: greeting(self.listen).startswith(b"220 upstream")),
                            log())
            self.assertIsNone(app.poll(), log())
            app.send_signal(signal.SIGTERM)
            self.assertEqual(app.wait(timeout=5), 0, log())
        finally:
            if app.poll() is None:
                end_process(app)
        self.assertIn("vantelo.app: SIGHUP: reading the settings and routes again, "
                      "as Refresh does\n", log())
        # Neither a window nor a tray is there to speak of.
        self.assertNotIn("task bar", log())
        self.assertNotIn("systemTrayWindowChanged", log())

    def test_a_start_up_error_box_neither_stops_the_mail_nor_the_end(self):
        os.remove(os.path.join(self.folder, "config", "tip.cfg"))
        started = time.monotonic()
        app = self.start()
        try:
            # The box is open (nobody answers it) and the relay listens all the same.
            self.assertTrue(greeting(self.listen).startswith(b"220 upstream"))
            self.assertLess(time.monotonic() - started, 5.0)
            app.send_signal(signal.SIGTERM)
            status = app.wait(timeout=5)
            log = app.stderr.read().decode(errors="replace")
            self.assertEqual(status, 0, log)
            self.assertTrue(port_is_free(self.listen), "the port is still taken")
            self.assertIn("Cannot open file config\\tip.cfg.", log)
        finally:
            if app.poll() is None:
                end_process(app)
            app.stderr.close()

    def test_without_a_display_it_says_what_it_needs(self):
        for name, env in (
                ("no display at all", self.environment(QT_QPA_PLATFORM=None, DISPLAY=None,
                                                       WAYLAND_DISPLAY=None)),
                ("an X server that is not there", self.environment(
                    QT_QPA_PLATFORM="xcb", DISPLAY=":%d" % absent_display(),
                    WAYLAND_DISPLAY=None))):
            with self.subTest(name):
                done = subprocess.run([os.path.join(BUILD, "vantelo")], cwd=self.folder,
                                      env=env, capture_output=True, text=True, timeout=30)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertIn("needs a desktop session", done.stderr)
                self.assertIn("vantelo-relay", done.stderr)

    def test_it_allows_itself_as_many_descriptors_as_the_system_does(self):
        hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
        if hard <= 1024:
            self.skipTest("the hard limit on open files is only %d" % hard)
        app = self.start(soft_descriptors=1024)
        try:
            with open("/proc/%d/limits" % app.pid) as f:
                line = next(l for l in f if l.startswith("Max open files"))
            soft = line.split()[3]
            self.assertEqual(int(soft), hard)
        finally:
            end_process(app)
            app.stderr.close()


if __name__ == "__main__":
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
