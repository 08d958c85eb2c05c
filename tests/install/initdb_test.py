"""vantelo-initdb and vantelo-start from the build folder: the shipped help and
tips come from the source's data/ folder, what is missing is made, and a
user's file is never replaced or written through.

Usage: /usr/bin/python3 initdb_test.py BUILD_FOLDER DATA_FOLDER
"""
import contextlib
import filecmp
import os
import resource
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testkit"))
from vantelo_testkit.loopback import end_process  # noqa: E402

BUILD = DATA = None


def initdb(*args, max_file_size=None):
    """max_file_size: files can grow to that many bytes and no further, as on a
    full disk. RLIMIT_FSIZE works for a normal user too (a small tmpfs needs
    root); with SIGXFSZ ignored, a write past the limit fails with EFBIG as one
    on a full disk fails with ENOSPC, instead of killing the program."""
    def full_disk():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (max_file_size, max_file_size))
    return subprocess.run([os.path.join(BUILD, "vantelo-initdb"), *args],
                          capture_output=True, text=True, timeout=30,
                          preexec_fn=full_disk if max_file_size is not None else None,
                          restore_signals=max_file_size is None)


def has_route_table(path):
    with contextlib.closing(sqlite3.connect(path)) as db:
        return db.execute("SELECT name FROM sqlite_master WHERE name = 'smtp'").fetchone() \
            is not None


def same_tree(a, b):
    compare = filecmp.dircmp(a, b)
    if compare.left_only or compare.right_only or compare.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, compare.common_files, shallow=False)
    return not mismatch and not errors and all(
        same_tree(os.path.join(a, d), os.path.join(b, d)) for d in compare.common_dirs)


class InitdbShipsHelpAndTips(unittest.TestCase):
    def setUp(self):
        self.top = tempfile.mkdtemp(prefix="vantelo-initdb-")
        self.folder = os.path.join(self.top, "work")  # not there yet
        self.help = os.path.join(self.folder, "qovin help")
        self.tips = os.path.join(self.folder, "config", "tip.cfg")

    def tearDown(self):
        shutil.rmtree(self.top)

    def test_fresh_folder_gets_the_source_help_and_tips(self):
        result = initdb(self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(same_tree(self.help, os.path.join(DATA, "qovin help")))
        self.assertTrue(filecmp.cmp(self.tips, os.path.join(DATA, "tip.cfg"), shallow=False))
        self.assertTrue(os.access(os.path.join(self.folder, "config", "link"), os.X_OK))
        self.assertIn("config/tip.cfg", result.stdout)
        # A second run finds everything in place and says nothing.
        again = initdb(self.folder)
        self.assertEqual((again.returncode, again.stdout, again.stderr), (0, "", ""))

    def test_user_files_are_kept_and_missing_ones_added(self):
        os.makedirs(self.help)
        os.makedirs(os.path.dirname(self.tips))
        with open(self.tips, "w") as f:
            f.write("My own tip\n#\n")
        with open(os.path.join(self.help, "index.html"), "w") as f:
            f.write("my notes")
        result = initdb(self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.tips) as f:
            self.assertEqual(f.read(), "My own tip\n#\n")
        with open(os.path.join(self.help, "index.html")) as f:
            self.assertEqual(f.read(), "my notes")
        self.assertTrue(filecmp.cmp(os.path.join(self.help, "routes.html"),
                                    os.path.join(DATA, "qovin help", "routes.html"),
                                    shallow=False))

    def test_a_link_where_a_file_would_go_is_not_written_through(self):
        os.makedirs(os.path.dirname(self.tips))
        outside = os.path.join(self.top, "outside")
        os.symlink(outside, self.tips)  # dangling
        os.makedirs(self.help)
        os.symlink(outside, os.path.join(self.help, "help.css"))
        result = initdb(self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.exists(outside))
        self.assertTrue(os.path.islink(self.tips))

    def test_data_option_and_missing_shipped_files(self):
        data = os.path.join(self.top, "data")
        os.makedirs(os.path.join(data, "qovin help", "pictures"))
        with open(os.path.join(data, "tip.cfg"), "w") as f:
            f.write("Other tip\n#\n")
        for name in ("index.html", os.path.join("pictures", "a.png")):
            with open(os.path.join(data, "qovin help", name), "w") as f:
                f.write(name)
        result = initdb("--data", data, self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(same_tree(self.help, os.path.join(data, "qovin help")))
        with open(self.tips) as f:
            self.assertEqual(f.read(), "Other tip\n#\n")

        # Without shipped files the rest is still made, and the run fails loudly.
        other = os.path.join(self.top, "other")
        result = initdb("--data", os.path.join(self.top, "none"), other)
        self.assertEqual(result.returncode, 1)
        self.assertIn("tip.cfg", result.stderr)
        self.assertIn("qovin help", result.stderr)
        self.assertTrue(os.path.isfile(os.path.join(other, "config", "log.mdb")))
        self.assertTrue(os.path.isfile(os.path.join(other, "config", "link")))

    def test_a_full_disk_leaves_no_empty_route_file_and_a_rerun_repairs_one(self):
        mdb = os.path.join(self.folder, "config", "log.mdb")
        result = initdb(self.folder, max_file_size=0)
        self.assertEqual(result.returncode, 1)
        self.assertIn("log.mdb", result.stderr)
        # It used to leave a 0-byte log.mdb, which a rerun kept: Vantelo then
        # read "no such table: smtp" at every lookup.
        self.assertEqual(sorted(os.listdir(os.path.dirname(mdb))), [])
        again = initdb(self.folder)
        self.assertEqual(again.returncode, 0, again.stderr)
        self.assertTrue(has_route_table(mdb))

        # An empty file left by an older run is made again; one with content
        # is never touched, whatever it holds.
        os.truncate(mdb, 0)
        self.assertEqual(initdb(self.folder).returncode, 0)
        self.assertTrue(has_route_table(mdb))
        with open(mdb, "wb") as f:
            f.write(b"my own notes")
        self.assertEqual(initdb(self.folder).returncode, 0)
        with open(mdb, "rb") as f:
            self.assertEqual(f.read(), b"my own notes")
        self.assertEqual(sorted(os.listdir(os.path.dirname(mdb))),
                         ["link", "log.mdb", "tip.cfg"])

    def test_wrong_arguments(self):
        self.assertEqual(initdb("a", "b").returncode, 2)
        self.assertEqual(initdb("--bogus").returncode, 2)
        self.assertEqual(initdb("--data").returncode, 2)
        shown = initdb("--help")
        self.assertEqual(shown.returncode, 0)
        self.assertIn("../share/vantelo", shown.stdout)


class BuildTreeLauncher(unittest.TestCase):
    def test_vantelo_start_prepares_the_folder_and_becomes_vantelo_there(self):
        top = tempfile.mkdtemp(prefix="vantelo-start-")
        app = None
        try:
            data_home = os.path.join(top, "data")
            env = dict(os.environ, HOME=top, XDG_DATA_HOME=data_home,
                       XDG_CONFIG_HOME=os.path.join(top, "xdg"), XDG_RUNTIME_DIR=top,
                       QT_QPA_PLATFORM="offscreen",
                       DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent")
            app = subprocess.Popen([os.path.join(BUILD, "vantelo-start")], cwd="/", env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            folder = os.path.join(data_home, "vantelo")
            exe = os.path.realpath(os.path.join(BUILD, "vantelo"))
            deadline = time.time() + 20
            while time.time() < deadline and app.poll() is None:
                try:
                    if os.readlink("/proc/%d/exe" % app.pid) == exe:
                        break
                except OSError:
                    pass
                time.sleep(0.05)
            self.assertIsNone(app.poll(), app.stderr.read() if app.poll() is not None else "")
            # The same process: exec, so signals reach Vantelo itself.
            self.assertEqual(os.readlink("/proc/%d/exe" % app.pid), exe)
            self.assertEqual(os.readlink("/proc/%d/cwd" % app.pid), os.path.realpath(folder))
            self.assertTrue(same_tree(os.path.join(folder, "qovin help"),
                                      os.path.join(DATA, "qovin help")))
            self.assertTrue(os.path.isfile(os.path.join(folder, "config", "log.mdb")))
        finally:
            if app:
                end_process(app, timeout=20)
                app.stderr.close()
            shutil.rmtree(top)


class LowPortAdvice(unittest.TestCase):
    """A normal user is told how to allow a port below 1024 when the settings
    ask for one; the settings are read as Vantelo reads them."""

    def start_as_nobody(self, settings):
        top = tempfile.mkdtemp(prefix="vantelo-advice-")
        try:
            os.chmod(top, 0o755)
            bin_folder = os.path.join(top, "bin")
            os.makedirs(bin_folder)
            # Copies, laid out as installed: nobody may not reach the build
            # folder (a clone in /root).
            shutil.copy(os.path.join(BUILD, "vantelo-start"), bin_folder)
            shutil.copy(os.path.join(BUILD, "vantelo-initdb"), bin_folder)
            shipped = os.path.join(top, "share", "vantelo")
            shutil.copytree(os.path.join(DATA, "qovin help"), os.path.join(shipped, "qovin help"))
            shutil.copy(os.path.join(DATA, "tip.cfg"), shipped)
            with open(os.path.join(bin_folder, "vantelo"), "w") as f:
                f.write("#!/bin/sh\necho started\n")
            os.chmod(os.path.join(bin_folder, "vantelo"), 0o755)
            home = os.path.join(top, "home")
            config = os.path.join(home, ".local", "share", "vantelo", "config")
            os.makedirs(config)
            if settings is not None:
                with open(os.path.join(config, "config.ini"), "wb") as f:
                    f.write(settings)
            subprocess.run(["chown", "-R", "nobody", home], check=True)
            result = subprocess.run(
                ["runuser", "-u", "nobody", "--", "env", "-i", "PATH=/usr/bin:/bin",
                 "HOME=" + home, os.path.join(bin_folder, "vantelo-start")],
                capture_output=True, text=True, timeout=30)
            self.assertEqual((result.returncode, result.stdout), (0, "started\n"), result.stderr)
            return result.stderr
        finally:
            shutil.rmtree(top)

    def test_advice_only_for_a_low_port(self):
        if os.getuid() != 0 or not shutil.which("runuser"):
            self.skipTest("needs root to start the launcher as another user")
        self.assertIn("setcap cap_net_bind_service=+ep", self.start_as_nobody(None))
        self.assertIn("port 587,", self.start_as_nobody(b"[general]\n[DIAL]\nsmtpport = 587\n"))
        # A byte-order mark, CR LF line ends and any letter case: still 2525.
        self.assertEqual(self.start_as_nobody(b"\xef\xbb\xbf[Dial]\r\n SMTPPORT=2525 \r\n"), "")
        self.assertEqual(self.start_as_nobody(b"[dial]\nsmtpport=\n"), "")  # nothing listens


if __name__ == "__main__":
    DATA = os.path.abspath(sys.argv.pop(2))
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
