"""The layer check (scripts/check-layers.py): the tree keeps to README's
Layout table, and the check names an include that goes up the table and a
file outside every folder of it.

Usage: /usr/bin/python3 layers_test.py SOURCE_TREE
"""
import os
import subprocess
import sys
import tempfile
import unittest

TREE = None


def check(tree):
    run = subprocess.run(["/usr/bin/python3", os.path.join(TREE, "scripts", "check-layers.py"),
                          tree], capture_output=True, text=True, timeout=60)
    return run.returncode, run.stdout.splitlines()


class Layers(unittest.TestCase):
    def test_the_tree_keeps_its_layers(self):
        self.assertEqual(check(TREE), (0, []))

    def test_an_upward_include_and_an_unlisted_folder_are_named(self):
        files = {
            "README.md": "# x\n## For developers\n### Layout\n\nwords\n\n"
                         "| folder | what |\n|---|---|\n| `low/` | the bottom |\n"
                         "| `mid/`, `side/` | one layer |\n| `top/` | the top |\n\n### Next\n"
                         "| `ignored/` | after the table |\n",
            "low/a.h": '#include "mid/b.h"\n#include <vector>\n#include <top/d.h>\n',
            "low/a.cpp": '#include "a.h"\n#include "moc_a.cpp"\n',
            "mid/b.h": '#include "low/a.h"\n#include "side/c.h"\n',
            "side/c.h": '#include "mid/b.h"\n',
            "top/d.cpp": '#include "low/a.h"\n#include "top/d.h"\n  #  include "ignored/e.h"\n',
            "top/d.h": "",
            "ignored/e.h": "",
        }
        with tempfile.TemporaryDirectory() as tree:
            for name, text in files.items():
                os.makedirs(os.path.join(tree, os.path.dirname(name)), exist_ok=True)
                with open(os.path.join(tree, name), "w", encoding="utf-8") as f:
                    f.write(text)
            code, lines = check(tree)
        self.assertEqual(code, 1)
        self.assertEqual(sorted(lines), [
            "ignored/e.h: its folder is not in README's Layout table",
            "low/a.h:1: low/ includes mid/b.h from mid/, which comes after it in the Layout table",
            "low/a.h:3: low/ includes top/d.h from top/, which comes after it in the Layout table",
            "top/d.cpp: includes ignored/e.h, whose folder is not in the Layout table",
        ])


if __name__ == "__main__":
    TREE = sys.argv.pop(1)
    unittest.main()
