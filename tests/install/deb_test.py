"""cpack -G DEB builds a Debian package that declares what it needs, holds
every installed file under /usr, and sets no capability behind the user's
back. Installing it is checked by hand; this checks what dpkg-deb can tell.

Usage: /usr/bin/python3 deb_test.py BUILD_FOLDER
Ends with 77 (skipped) when cpack or dpkg-deb is missing.
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

BUILD = None
SKIP = 77


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.out = tempfile.mkdtemp(prefix="vantelo-deb-")
        subprocess.run(["cpack", "-G", "DEB", "-B", cls.out,
                        "--config", os.path.join(BUILD, "CPackConfig.cmake")],
                       check=True, stdout=subprocess.DEVNULL, timeout=600)
        found = glob.glob(os.path.join(cls.out, "vantelo_*.deb"))
        assert len(found) == 1, found
        cls.deb = found[0]

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.out)

    def field(self, name):
        return subprocess.run(["dpkg-deb", "--field", self.deb, name], check=True,
                              capture_output=True, text=True).stdout.strip()

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
                     "./usr/share/man/man1/vantelo-relay.1.gz"):
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
        root = tempfile.mkdtemp(prefix="vantelo-unpacked-")
        try:
            subprocess.run(["dpkg-deb", "--extract", self.deb, root], check=True)
            folder = os.path.join(root, "work")
            result = subprocess.run([os.path.join(root, "usr/bin/vantelo-initdb"), folder],
                                    capture_output=True, text=True, timeout=30)
            self.assertEqual(result.returncode, 0, result.stderr)
            for path in ("qovin help/index.html", "config/tip.cfg", "config/log.mdb"):
                self.assertTrue(os.path.isfile(os.path.join(folder, path)), path)
        finally:
            shutil.rmtree(root)


if __name__ == "__main__":
    if not (shutil.which("cpack") and shutil.which("dpkg-deb")):
        print("cpack or dpkg-deb is missing: skipped")
        sys.exit(SKIP)
    BUILD = os.path.abspath(sys.argv.pop(1))
    unittest.main()
