#!/usr/bin/python3
"""Fails on any C++ include from a folder in a later row of README's Layout table.

The table under "### Layout" lists the folders from the bottom layer up: a
folder may include from itself and from the folders in rows above it, never
from one in a row below. Folders named in one row are one layer. Every C++
file must lie in a folder of the table, so that a new folder is placed in it
before it is used.

Usage: /usr/bin/python3 scripts/check-layers.py [SOURCE_TREE]
Prints one line per fault and exits 1 when there is any, 0 otherwise.
"""
import os
import re
import subprocess
import sys

# Quoted, or in angle brackets: the tree's top is on the include path, so
# <app/x.h> would find the tree's file too.
INCLUDE = re.compile(r'^\s*#\s*include\s+(?:"([^"]+)"|<([^>]+)>)', re.MULTILINE)


def layout_table(readme):
    """The table's folders, each with the number of its row (0 at the bottom)."""
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    start = text.find("### Layout")
    if start < 0:
        raise SystemExit(f"{readme}: no '### Layout' section")
    ranks = {}
    row = 0
    in_table = False
    for line in text[start:].splitlines()[1:]:
        if line.startswith("#"):
            break
        if not line.startswith("|"):
            if in_table:
                break
            continue
        in_table = True
        first_cell = line.split("|")[1]
        folders = re.findall(r"`([^`]+/)`", first_cell)
        if not folders:
            continue  # the heading and its rule
        for folder in folders:
            ranks[folder] = row
        row += 1
    if not ranks:
        raise SystemExit(f"{readme}: the Layout table names no folder")
    return ranks


def folder_of(path, ranks):
    """The table's longest folder that holds path, or None."""
    best = None
    for folder in ranks:
        if path.startswith(folder) and (best is None or len(folder) > len(best)):
            best = folder
    return best


def sources(tree):
    try:
        listed = subprocess.run(["git", "-C", tree, "ls-files", "-co", "--exclude-standard"],
                                check=True, capture_output=True, text=True).stdout.splitlines()
    except (OSError, subprocess.CalledProcessError):
        listed = [os.path.relpath(os.path.join(d, n), tree)
                  for d, _, names in os.walk(tree) for n in names]
    return sorted(p for p in listed
                  if p.endswith((".cpp", ".h")) and os.path.isfile(os.path.join(tree, p))
                  and not p.startswith("build"))


def faults(tree):
    ranks = layout_table(os.path.join(tree, "README.md"))
    found = []
    for path in sources(tree):
        folder = folder_of(path, ranks)
        if folder is None:
            found.append(f"{path}: its folder is not in README's Layout table")
            continue
        with open(os.path.join(tree, path), encoding="utf-8", errors="replace") as f:
            text = f.read()
        for match in INCLUDE.finditer(text):
            name = match.group(1) or match.group(2)
            # "x.h" beside the file, or a path from the tree's top.
            beside = os.path.normpath(os.path.join(os.path.dirname(path), name))
            target = beside if os.path.isfile(os.path.join(tree, beside)) else name
            if not os.path.isfile(os.path.join(tree, target)):
                continue  # generated (moc), or a system or library header
            to = folder_of(target, ranks)
            if to is None:
                found.append(f"{path}: includes {name}, whose folder is not in the Layout table")
            elif ranks[to] > ranks[folder]:
                line = text.count("\n", 0, match.start()) + 1
                found.append(f"{path}:{line}: {folder} includes {name} from {to}, "
                             "which comes after it in the Layout table")
    return found


def main():
    tree = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(
        os.path.dirname(os.path.abspath(__file__)))
    found = faults(tree)
    for line in found:
        print(line)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
