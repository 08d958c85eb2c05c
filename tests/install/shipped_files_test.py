"""The files shipped in data/: the help reads offline and every link in it
leads somewhere, the tips file holds real tips in its format, and the pictures
have the sizes the windows and the icon theme expect.

Usage: /usr/bin/python3 shipped_files_test.py DATA_FOLDER
"""
import html.parser
import os
import re
import struct
import sys
import unittest
import urllib.parse
import xml.etree.ElementTree as ElementTree

DATA = None


class Page(html.parser.HTMLParser):
    """What one help page holds: its ids, its links and its headings."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.ids = []
        self.links = []      # (tag, attribute, value)
        self.handlers = []   # on... attributes
        self.h1 = 0
        self.title = ""
        self._in_title = False

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if name in ("id", "name") and value is not None:
                self.ids.append(value)
            if name in ("href", "src", "action", "srcset", "data", "poster"):
                self.links.append((tag, name, value or ""))
            if name.startswith("on"):
                self.handlers.append((tag, name))
        if tag == "h1":
            self.h1 += 1
        self._in_title = tag == "title"

    def handle_endtag(self, tag):
        if tag == "title":
            self._in_title = False

    def handle_data(self, data):
        if self._in_title:
            self.title += data


def help_folder():
    return os.path.join(DATA, "qovin help")


def read_pages():
    pages = {}
    for name in sorted(os.listdir(help_folder())):
        if name.endswith(".html"):
            with open(os.path.join(help_folder(), name), encoding="utf-8") as f:
                text = f.read()
            page = Page()
            page.feed(text)
            page.close()
            pages[name] = (text, page)
    return pages


class ShippedHelp(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pages = read_pages()

    def test_contents_page_and_every_page_has_a_title_and_one_heading(self):
        self.assertIn("index.html", self.pages)
        for name, (_, page) in self.pages.items():
            self.assertTrue(page.title.strip(), name)
            self.assertEqual(page.h1, 1, name)

    def test_no_script_and_nothing_from_the_network(self):
        for name, (text, page) in self.pages.items():
            self.assertNotRegex(text.lower(), r"<script", name)
            self.assertNotIn("javascript:", text.lower(), name)
            self.assertEqual(page.handlers, [], name)
            for tag, attribute, value in page.links:
                parts = urllib.parse.urlsplit(value)
                self.assertFalse(parts.scheme or parts.netloc or value.startswith("/"),
                                 "%s: %s %s=%r is not a shipped file" % (name, tag, attribute, value))
        with open(os.path.join(help_folder(), "help.css"), encoding="utf-8") as f:
            css = f.read()
        self.assertNotRegex(css, r"url\(|@import", "the style sheet loads nothing else")

    def test_every_link_and_anchor_resolves_to_a_shipped_file(self):
        ids = {name: set(page.ids) for name, (_, page) in self.pages.items()}
        broken = []
        for name, (_, page) in self.pages.items():
            for tag, attribute, value in page.links:
                parts = urllib.parse.urlsplit(value)
                target = urllib.parse.unquote(parts.path) or name
                path = os.path.normpath(os.path.join(help_folder(), target))
                inside = path.startswith(os.path.normpath(help_folder()) + os.sep)
                if not inside or not os.path.isfile(path):
                    broken.append("%s: %s" % (name, value))
                elif parts.fragment and parts.fragment not in ids.get(os.path.basename(path), set()):
                    broken.append("%s: %s (no such anchor)" % (name, value))
        self.assertEqual(broken, [])

    def test_ids_are_unique_within_a_page(self):
        for name, (_, page) in self.pages.items():
            duplicates = {i for i in page.ids if page.ids.count(i) > 1}
            self.assertEqual(duplicates, set(), name)

    def test_contents_list_every_page_and_every_file_is_used(self):
        _, index = self.pages["index.html"]
        listed = {urllib.parse.urlsplit(v).path for _, _, v in index.links}
        self.assertEqual(set(self.pages) - listed - {"index.html"}, set(),
                         "pages missing from the contents")
        used = set()
        for _, page in self.pages.values():
            used |= {urllib.parse.unquote(urllib.parse.urlsplit(v).path) for _, _, v in page.links}
        unused = set(os.listdir(help_folder())) - used - {"index.html"}
        self.assertEqual(unused, set(), "files nothing links to")

    def test_written_for_users_only(self):
        for name, (text, _) in self.pages.items():
            self.assertNotRegex(text, r"(?i)\bspec(ification)?s?\b|\bPart \d\.\d|\bissues? \d", name)


def parse_tips(data):
    """The tips file as the tip window reads it."""
    text = data.split(b"\0", 1)[0]
    tips, current = [], b""
    for line in re.split(rb"\r\n|\n|\r", text):
        if line == b"#":
            tips.append(current)
            current = b""
        elif line:
            current += line + b"\n"
    return tips, current


class ShippedTips(unittest.TestCase):
    def setUp(self):
        with open(os.path.join(DATA, "tip.cfg"), "rb") as f:
            self.data = f.read()

    def test_a_dozen_or_more_tips_and_nothing_lost(self):
        tips, after_last = parse_tips(self.data)
        self.assertGreaterEqual(len(tips), 12)
        self.assertTrue(all(t.strip() for t in tips), "an empty tip")
        self.assertEqual(after_last, b"", "text after the last # is never shown")
        self.assertEqual(len(set(tips)), len(tips), "a tip twice")

    def test_plain_text_that_fits_the_window(self):
        self.data.decode("utf-8")
        self.assertNotIn(b"\0", self.data)
        for line in re.split(rb"\r\n|\n|\r", self.data):
            # A separator with a blank is tip text, which is never meant.
            if line.strip() == b"#":
                self.assertEqual(line, b"#")
        for tip in parse_tips(self.data)[0]:
            self.assertLessEqual(len(tip), 320, tip)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR", path
    return struct.unpack(">II", head[16:24])


class ShippedPictures(unittest.TestCase):
    SIZES = (16, 22, 24, 32, 48, 64, 128, 256)

    def test_resource_file_lists_every_picture_with_its_size(self):
        root = ElementTree.parse(os.path.join(DATA, "pictures.qrc")).getroot()
        files = {f.get("alias"): f.text for f in root.iter("file")}
        expected = {"icons/vantelo-%d.png" % s: (s, s) for s in self.SIZES}
        expected.update({"about.png": (49, 49), "bulb.png": (39, 44)})
        self.assertEqual(set(files), set(expected))
        for alias, path in files.items():
            self.assertEqual(png_size(os.path.join(DATA, path)), expected[alias], alias)

    def test_drawings_are_well_formed(self):
        for path in ("icons/vantelo.svg", "icons/vantelo-16.svg", "icons/vantelo-24.svg",
                     "pictures/bulb.svg"):
            root = ElementTree.parse(os.path.join(DATA, path)).getroot()
            self.assertEqual(root.tag, "{http://www.w3.org/2000/svg}svg", path)
        self.assertEqual(png_size(os.path.join(help_folder(), "vantelo.png")), (48, 48))


if __name__ == "__main__":
    DATA = os.path.abspath(sys.argv.pop(1))
    unittest.main()
