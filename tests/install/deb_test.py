"""cpack -G DEB builds a Debian package that declares what it needs, holds
every installed file under /usr, sets no capability behind the user's back,
says one version everywhere, and passes lintian without a single tag, the
pedantic and informational ones included (hardening, stripping). Installing it
is checked by hand; this checks what dpkg-deb and lintian can tell.

Usage: /usr/bin/python3 deb_test.py BUILD_FOLDER
Ends with 77 (skipped) when cpack or dpkg-deb is missing.
"""
import glob
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

BUILD = None
SKIP = 77
PROGRAMS = ("vantelo", "vantelo-relay", "vantelo-dialup", "vantelo-initdb")


class DebianPackage(unittest.TestCase):
    @staticmethod
    def build(out):
        # As a builder would, without a SOURCE_DATE_EPOCH of its own.
        env = {k: v for k, v in os.environ.items() if k != "SOURCE_DATE_EPOCH"}
        subprocess.run(["cpack", "-G", "DEB", "-B", out,
                        "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                       check=True, stdout=subprocess.DEVNULL, timeout=600, env=env)
        found = glob.glob(os.path.join(out, "vantelo_*.deb"))
        assert len(found) == 1, found
        return found[0]

    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="vantelo-deb-")
        cls.deb = cls.build(cls.out)
        cls.built = time.time()
        cls.root = os.path.join(cls.out, "root")
        subprocess.run(["dpkg-deb", "--extract", cls.deb, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out)

    def at(self, path):
        return os.path.join(self.root, path)

    def field(self, name):
        return subprocess.run(["dpkg-deb", "--field", self.deb, name], check=True,
                              capture_output=True, text=True).stdout.strip()

    def test_a_second_build_is_the_same_byte_for_byte(self):
        while int(time.time()) == int(self.built):  # in another second
            time.sleep(0.1)
        again = self.build(os.path.join(self.out, "again"))
        with open(self.deb, "rb") as first, open(again, "rb") as second:
            self.assertTrue(first.read() == second.read(), "the two builds differ")

    def test_declares_what_it_needs(self):
        depends = self.field("Depends")
        for package in ("libqt6widgets6", "libqt6dbus6", "libsqlite3-0", "libc6",
                        "qt6-qpa-plugins", "libssl3"):
            self.assertIn(package, depends)
        self.assertEqual(self.field("Package"), "vantelo")
        self.assertTrue(self.field("Maintainer"))

    def test_holds_the_installed_files(self):
        listing = subprocess.run(["dpkg-deb", "--contents", self.deb], check=True,
                                 capture_output=True, text=True).stdout
        for path in ("./usr/bin/vantelo", "./usr/bin/vantelo-start", "./usr/bin/vantelo-initdb",
                     "./usr/bin/vantelo-relay", "./usr/bin/vantelo-dialup",
                     "./usr/share/vantelo/tip.cfg", "./usr/share/vantelo/qovin help/index.html",
                     "./usr/share/applications/vantelo.desktop",
                     "./usr/share/metainfo/org.example.vantelo.metainfo.xml",
                     "./usr/share/icons/hicolor/scalable/apps/vantelo.svg",
                     "./usr/share/icons/hicolor/16x16/apps/vantelo.png",
                     "./usr/share/man/man1/vantelo-relay.1.gz",
                     "./usr/lib/systemd/user/vantelo.service"):
            self.assertIn(" " + path + "\n", listing)
        self.assertNotIn(" ./usr/local/", listing)

    def test_no_capability_set_behind_the_users_back(self):
        control = tempfile.mkdtemp(prefix="vantelo-control-")
        try:
            subprocess.run(["dpkg-deb", "--control", self.deb, control], check=True)
            for script in ("preinst", "postinst", "prerm", "postrm", "triggers"):
                path = os.path.join(control, script)
                if os.path.exists(path):
                    with open(path) as f:
                        self.assertNotRegex(f.read(), r"setcap|cap_net_bind_service", script)
        finally:
            shutil.rmtree(control)

    def test_unpacked_programs_find_the_packaged_help(self):
        folder = tempfile.mkdtemp(prefix="vantelo-unpacked-")
        try:
            result = subprocess.run([self.at("usr/bin/vantelo-initdb"), folder],
                                    capture_output=True, text=True, timeout=30)
            self.assertEqual(result.returncode, 0, result.stderr)
            for path in ("qovin help/index.html", "config/tip.cfg", "config/log.mdb"):
                self.assertTrue(os.path.isfile(os.path.join(folder, path)), path)
        finally:
            shutil.rmtree(folder)

    def test_lintian_finds_nothing(self):
        self.assertTrue(shutil.which("lintian"), "lintian is missing (scripts/install-deps.sh)")
        result = subprocess.run(["lintian", "--pedantic", "--display-info",
                                 "--display-experimental", self.deb],
                                capture_output=True, text=True, timeout=600)
        tags = [line for line in result.stdout.splitlines() if re.match(r"[A-Z]: ", line)]
        self.assertEqual(tags, [], result.stdout)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_programs_have_a_stack_protector(self):
        # Lintian has no tag for it: built with -fstack-protector-strong, each
        # program calls the guard's failure handler.
        for program in PROGRAMS:
            symbols = subprocess.run(["readelf", "--wide", "--dyn-syms",
                                      self.at("usr/bin/" + program)],
                                     check=True, capture_output=True, text=True).stdout
            self.assertTrue("__stack_chk_fail" in symbols, program + ": no stack protector")

    def test_one_version_everywhere(self):
        with open(os.path.join(BUILD, "CMakeCache.txt")) as f:
            version = re.search(r"^CMAKE_PROJECT_VERSION:\w+=(.+)$", f.read(), re.M).group(1)
        self.assertEqual(self.field("Version"), version)
        changelog = self.at("usr/share/doc/vantelo/changelog.gz")
        shown = subprocess.run(["dpkg-parsechangelog", "-l", changelog, "--show-field", "Version"],
                               check=True, capture_output=True, text=True).stdout.strip()
        self.assertEqual(shown, version)
        with open(self.at("usr/share/metainfo/org.example.vantelo.metainfo.xml")) as f:
            self.assertEqual(re.search(r'<release version="([^"]*)"', f.read()).group(1), version)
        for page in glob.glob(self.at("usr/share/man/man1/*.1.gz")):
            with gzip.open(page, "rt") as f:
                title = re.search(r'^\.TH \S+ 1 "[^"]*" "([^"]*)"', f.read(), re.M).group(1)
            self.assertEqual(title, "Vantelo " + version, page)


if __name__ == "__main__":
    if not (shutil.which("cpack") and shutil.which("dpkg-deb")):
        print("cpack or dpkg-deb is missing: skipped")
        sys.exit(SKIP)
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
