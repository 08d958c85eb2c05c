"""Vantelo installed like any desktop program: cmake --install into a
temporary prefix puts every file in place, the desktop entry and the AppStream
file pass their validators, and the installed vantelo-start prepares a fresh
working folder from the installed files and starts the installed program,
which relays a mail; the working folder's config/link starts it as well.
After an update, the launcher brings the shipped help pages of a working
folder up to date and leaves every other file there alone.

Every installed program answers --help and --version (the project's) with
status 0 and starts nothing.

Usage: /usr/bin/python3 install_test.py BUILD_FOLDER SOURCE_FOLDER HOME_PAGE VERSION
"""
import filecmp
import gzip
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testkit"))
from vantelo_testkit.loopback import end_process, free_port  # noqa: E402
from vantelo_testkit.smtp_peers import listening, send, start_smtp, wait_until  # noqa: E402

BUILD = SOURCE = HOME_PAGE = VERSION = None
PROGRAMS = ("vantelo", "vantelo-relay", "vantelo-dialup", "vantelo-initdb", "vantelo-start")
MANUALS = ("vantelo", "vantelo-start", "vantelo-initdb", "vantelo-relay", "vantelo-dialup")
ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)
METAINFO = "share/metainfo/org.example.vantelo.metainfo.xml"


def png_size(path):
    with open(path, "rb") as f:
        return struct.unpack(">II", f.read(24)[16:24])


class InstalledVantelo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.top = tempfile.mkdtemp(prefix="vantelo-install-")
        cls.prefix = os.path.join(cls.top, "prefix")
        subprocess.run(["cmake", "--install", BUILD, "--prefix", cls.prefix],
                       check=True, stdout=subprocess.DEVNULL, timeout=120)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.top)

    def at(self, path):
        return os.path.join(self.prefix, path)

    def test_every_file_in_place(self):
        for program in PROGRAMS:
            self.assertTrue(os.access(self.at("bin/" + program), os.X_OK), program)
        data = os.path.join(SOURCE, "data")
        compare = filecmp.dircmp(self.at("share/vantelo/qovin help"),
                                 os.path.join(data, "qovin help"))
        self.assertEqual((compare.left_only, compare.right_only, compare.diff_files),
                         ([], [], []))
        self.assertTrue(filecmp.cmp(self.at("share/vantelo/tip.cfg"),
                                    os.path.join(data, "tip.cfg"), shallow=False))
        self.assertTrue(os.path.isfile(self.at("share/icons/hicolor/scalable/apps/vantelo.svg")))
        for size in ICON_SIZES:
            icon = self.at("share/icons/hicolor/%dx%d/apps/vantelo.png" % (size, size))
            self.assertEqual(png_size(icon), (size, size))
        # The user unit for a session without a display: Refresh is its reload.
        with open(self.at("lib/systemd/user/vantelo.service")) as f:
            unit = f.read().splitlines()
        for line in ("ExecStart=vantelo-start", "ExecReload=/bin/kill -HUP $MAINPID",
                     "Environment=QT_QPA_PLATFORM=offscreen"):
            self.assertIn(line, unit)
        for page in MANUALS:
            with gzip.open(self.at("share/man/man1/%s.1.gz" % page), "rb") as f:
                source = f.read()
            shown = subprocess.run(["groff", "-man", "-ww", "-z", "-Tutf8"], input=source,
                                   capture_output=True, timeout=30)
            self.assertEqual((shown.returncode, shown.stderr), (0, b""), page)

    def test_every_program_answers_help_and_version(self):
        # No display and no bus: a program that started instead would fail.
        env = {"PATH": "/usr/bin:/bin", "HOME": self.top}
        for program in PROGRAMS:
            with self.subTest(program):
                def run(option):
                    return subprocess.run([self.at("bin/" + program), option], env=env,
                                          cwd=self.top, capture_output=True, text=True,
                                          timeout=30)
                shown = run("--version")
                self.assertEqual((shown.returncode, shown.stdout, shown.stderr),
                                 (0, "%s %s\n" % (program, VERSION), ""))
                shown = run("--help")
                self.assertEqual((shown.returncode, shown.stderr), (0, ""))
                self.assertTrue(shown.stdout.startswith("usage: " + program), shown.stdout)
                self.assertIn("--version", shown.stdout)

    def test_desktop_entry_and_appstream_file_validate(self):
        entry = self.at("share/applications/vantelo.desktop")
        result = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True)
        self.assertEqual((result.returncode, result.stdout), (0, ""), result.stdout)
        with open(entry) as f:
            lines = f.read().splitlines()
        self.assertIn("Exec=vantelo-start", lines)  # found on PATH beside the others
        self.assertIn("Icon=vantelo", lines)
        result = subprocess.run(["appstreamcli", "validate", "--no-net", self.at(METAINFO)],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        with open(self.at(METAINFO)) as f:
            metainfo = f.read()
        self.assertIn('<url type="homepage">%s</url>' % HOME_PAGE, metainfo)
        self.assertIn("<launchable type=\"desktop-id\">vantelo.desktop</launchable>", metainfo)

    def test_vantelo_start_prepares_a_fresh_folder_and_relays_mail(self):
        home = os.path.join(self.top, "home")
        folder = os.path.join(home, "data", "vantelo")
        os.makedirs(os.path.join(folder, "config"))
        # The installed tips, not the source's, must reach the working folder.
        marker = "Installed tip\n#\n"
        with open(self.at("share/vantelo/tip.cfg"), "w") as f:
            f.write(marker)
        server, collector, upstream = start_smtp("upstream")
        listen = free_port()
        settings = ("[dial]\nsmtpport=%d\n[default]\nsmtpserver=127.0.0.1\nsmtpport=%d\n"
                    % (listen, upstream))
        with open(os.path.join(folder, "config", "config.ini"), "w") as f:
            f.write(settings)
        env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"),
                   XDG_CONFIG_HOME=os.path.join(home, "xdg"), XDG_RUNTIME_DIR=home,
                   QT_QPA_PLATFORM="offscreen",
                   DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent",
                   PATH="/usr/bin:/bin")  # nothing of the build on the way
        installed = os.path.realpath(self.at("bin/vantelo"))
        try:
            for launcher, subject in ((self.at("bin/vantelo-start"), "started from the menu"),
                                      (os.path.join(folder, "config", "link"), "autostarted")):
                app = subprocess.Popen([launcher], cwd="/", env=env,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    self.assertTrue(wait_until(lambda: listening(listen)),
                                    "%s: nothing listens" % launcher)
                    self.assertEqual(os.readlink("/proc/%d/exe" % app.pid), installed)
                    self.assertEqual(os.readlink("/proc/%d/cwd" % app.pid),
                                     os.path.realpath(folder))
                    status, errors = send(listen, subject)
                    self.assertEqual(status, 0, errors)
                    self.assertTrue(wait_until(lambda: subject in collector.subjects))
                finally:
                    end_process(app, timeout=20)
            self.assertEqual(collector.subjects, ["started from the menu", "autostarted"])
            with open(os.path.join(folder, "config", "config.ini")) as f:
                self.assertEqual(f.read(), settings)
            with open(os.path.join(folder, "config", "tip.cfg")) as f:
                self.assertEqual(f.read(), marker)
            self.assertTrue(os.path.isfile(os.path.join(folder, "qovin help", "index.html")))
            self.assertTrue(os.path.isfile(os.path.join(folder, "config", "log.mdb")))
        finally:
            server.stop()
            shutil.copy(os.path.join(SOURCE, "data", "tip.cfg"), self.at("share/vantelo/tip.cfg"))

    def test_vantelo_start_replaces_older_help_pages_only(self):
        home = os.path.join(self.top, "updated")
        folder = os.path.join(home, "data", "vantelo")
        help_copy = os.path.join(folder, "qovin help")
        os.makedirs(os.path.join(folder, "config"))
        os.makedirs(help_copy)
        with open(os.path.join(folder, "config", "config.ini"), "w") as f:
            f.write("[dial]\nsmtpport=%d\n" % free_port())
        installed = self.at("share/vantelo/qovin help")
        shipped_time = os.stat(os.path.join(installed, "index.html")).st_mtime_ns
        hour = 3600 * 10**9

        def place(name, text, age):
            path = os.path.join(help_copy, name)
            with open(path, "w") as f:
                f.write(text)
            os.utime(path, ns=(shipped_time - age, shipped_time - age))
            return path

        # The help of an older version, a page the user edited since, one
        # the user made a link to a page of their own, and a page of their own.
        place("index.html", "the old contents\n", hour)
        place("log.html", "edited by the user\n", -hour)
        own = os.path.join(home, "own.html")
        with open(own, "w") as f:
            f.write("the user's page\n")
        os.utime(own, ns=(shipped_time - hour, shipped_time - hour))
        os.symlink(own, os.path.join(help_copy, "tips.html"))
        notes = place("notes.html", "the user's notes\n", hour)
        before = os.stat(notes)

        env = dict(os.environ, HOME=home, XDG_DATA_HOME=os.path.join(home, "data"),
                   XDG_CONFIG_HOME=os.path.join(home, "xdg"), XDG_RUNTIME_DIR=home,
                   QT_QPA_PLATFORM="offscreen",
                   DBUS_SYSTEM_BUS_ADDRESS="unix:path=/nonexistent", PATH="/usr/bin:/bin")
        exe = os.path.realpath(self.at("bin/vantelo"))

        def became_vantelo(app):
            try:
                return os.readlink("/proc/%d/exe" % app.pid) == exe
            except OSError:
                return False

        for start in ("after the update", "once more"):
            # The launcher has done its work once it has become Vantelo.
            app = subprocess.Popen([self.at("bin/vantelo-start")], cwd="/", env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
            try:
                started = wait_until(lambda: became_vantelo(app))
            finally:
                end_process(app, timeout=20)
                errors = app.stderr.read()
                app.stderr.close()
            self.assertTrue(started, errors)
            self.assertNotIn("vantelo-start", errors, start)
            compare = filecmp.dircmp(help_copy, installed)
            self.assertEqual((sorted(compare.left_only), compare.right_only,
                              sorted(compare.diff_files)),
                             (["notes.html"], [], ["log.html", "tips.html"]), start)
            index = os.stat(os.path.join(help_copy, "index.html"))
            self.assertEqual((index.st_mtime_ns, index.st_mode & 0o777), (shipped_time, 0o644))
            with open(os.path.join(help_copy, "log.html")) as f:
                self.assertEqual(f.read(), "edited by the user\n")
            self.assertEqual(os.readlink(os.path.join(help_copy, "tips.html")), own)
            with open(own) as f:
                self.assertEqual(f.read(), "the user's page\n")
            after = os.stat(notes)
            self.assertEqual((after.st_ino, after.st_mtime_ns, after.st_size),
                             (before.st_ino, before.st_mtime_ns, before.st_size))
            self.assertEqual(sorted(n for n in os.listdir(help_copy) if n.startswith(".")), [])


class InstallDeps(unittest.TestCase):
    """scripts/install-deps.sh: ./run.sh asks only for what builds and runs
    Vantelo, ./test.sh (--for-tests) for the rest too; without sudo a normal
    user is told what to run instead. Debian's tools are stand-ins here that
    note what they are asked."""

    def run_script(self, *args, missing=(), uid=1000):
        tools = tempfile.mkdtemp(prefix="vantelo-deps-")
        self.addCleanup(shutil.rmtree, tools)
        asked = os.path.join(tools, "asked")
        fakes = {
            "dpkg-query": 'echo "$3" >> %s\ncase " $MISSING " in *" $3 "*) exit 1 ;; esac\n'
                          'printf "install ok installed"\n' % asked,
            "id": 'echo "$FAKE_UID"\n',
            "apt-get": 'echo "apt-get $*" >> %s\n' % asked,
        }
        for name, body in fakes.items():
            with open(os.path.join(tools, name), "w") as f:
                f.write("#!/bin/sh\n" + body)
            os.chmod(os.path.join(tools, name), 0o755)
        os.symlink(shutil.which("grep"), os.path.join(tools, "grep"))
        os.symlink(shutil.which("cat"), os.path.join(tools, "cat"))
        done = subprocess.run(
            ["/bin/bash", os.path.join(SOURCE, "scripts", "install-deps.sh"), *args],
            env={"PATH": tools, "MISSING": " ".join(missing), "FAKE_UID": str(uid)},
            capture_output=True, text=True, timeout=60)
        with open(asked) if os.path.exists(asked) else open(os.devnull) as f:
            return done, f.read().split("\n")

    def test_the_program_alone_asks_for_less_than_its_tests(self):
        done, asked = self.run_script()
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, "", ""))
        self.assertIn("qt6-base-dev", asked)
        for test_only in ("libgtest-dev", "lintian", "haproxy", "xvfb", "python3-aiosmtpd"):
            self.assertNotIn(test_only, asked)
        done, asked = self.run_script("--for-tests")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("qt6-base-dev", asked)
        self.assertIn("lintian", asked)
        self.assertEqual(self.run_script("--bogus")[0].returncode, 2)

    def test_without_sudo_it_says_what_to_run_instead(self):
        done, asked = self.run_script("--for-tests", missing=("lintian", "swaks"))
        self.assertEqual(done.returncode, 1, done.stderr)
        self.assertIn("Install them as root once", done.stderr)
        self.assertIn("apt-get install --no-install-recommends swaks lintian\n", done.stderr)
        self.assertFalse([line for line in asked if line.startswith("apt-get")])
        # As root it installs them itself.
        done, asked = self.run_script("--for-tests", missing=("lintian",), uid=0)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("apt-get install -y --no-install-recommends lintian", asked)


if __name__ == "__main__":
    VERSION = sys.argv.pop(4)
    HOME_PAGE = sys.argv.pop(3)
    SOURCE = os.path.abspath(sys.argv.pop(2))
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
