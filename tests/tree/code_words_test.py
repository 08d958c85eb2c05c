"""The code's comments speak of this program only: none of them points at some
other program or platform as the one this program follows (WORD). Comments
are read in every C++, Python, shell and CMake file of the tree (strings are
not comments).

Usage: /usr/bin/python3 code_words_test.py SOURCE_TREE
"""
import io
import os
import re
import subprocess
import sys
import tokenize
import unittest

TREE = None
WORD = re.compile(r"\boriginal(s|ly)?\b", re.IGNORECASE)


def cpp_comments(text):
    """The comments of C++ text, each with its line, skipping string and
    character literals."""
    found = []
    i, line, n = 0, 1, len(text)
    while i < n:
        c = text[i]
        if c == "\n":
            line += 1
        elif text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            found.append((line, text[i:end]))
            i = end
            continue
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            found.append((line, text[i:end]))
            line += text.count("\n", i, end)
            i = end
            continue
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            i = j + 1
            continue
        i += 1
    return found


def python_comments(text):
    found = []
    previous = tokenize.INDENT
    for token in tokenize.generate_tokens(io.StringIO(text).readline):
        if token.type == tokenize.COMMENT:
            found.append((token.start[0], token.string))
        elif token.type == tokenize.STRING and previous in (tokenize.INDENT, tokenize.NEWLINE,
                                                            tokenize.DEDENT, tokenize.NL):
            found.append((token.start[0], token.string))  # a docstring
        if token.type not in (tokenize.COMMENT,):
            previous = token.type
    return found


def hash_comments(text):
    """Shell and CMake: what follows a # that starts a word, outside quotes."""
    found = []
    for number, line in enumerate(text.splitlines(), 1):
        quoted = None
        for i, c in enumerate(line):
            if quoted:
                if c == quoted:
                    quoted = None
            elif c in "\"'":
                quoted = c
            elif c == "#" and (i == 0 or line[i - 1] in " \t;("):
                found.append((number, line[i:]))
                break
    return found


def code_files():
    listed = subprocess.run(["git", "-C", TREE, "ls-files", "-co", "--exclude-standard"], check=True, capture_output=True,
                            text=True).stdout.splitlines()
    for path in listed:
        name = os.path.basename(path)
        if path.endswith((".cpp", ".h")):
            yield path, cpp_comments
        elif path.endswith(".py"):
            yield path, python_comments
        elif path.endswith((".sh", ".cmake")) or name == "CMakeLists.txt" or (
                path.startswith(("scripts/", ".ci/")) and "." not in name) or name in (
                "run.sh", "test.sh"):
            yield path, hash_comments


class CodeWords(unittest.TestCase):
    def test_the_readers_find_comments_and_skip_strings(self):
        self.assertEqual(cpp_comments('s = "// no"; // yes\n/* two\nlines */ c = \'"\'; // x'),
                         [(1, "// yes"), (2, "/* two\nlines */"), (3, "// x")])
        self.assertEqual(python_comments('"""doc"""\nx = "# no"  # yes\n'),
                         [(1, '"""doc"""'), (2, "# yes")])
        self.assertEqual(hash_comments('echo "# no" # yes\n# two'), [(1, "# yes"), (2, "# two")])

    def test_no_comment_calls_anything_the_original(self):
        faults = []
        for path, reader in code_files():
            with open(os.path.join(TREE, path), encoding="utf-8", errors="replace") as f:
                text = f.read()
            try:
                comments = reader(text)
            except (tokenize.TokenError, SyntaxError, IndentationError) as error:
                faults.append(f"{path}: cannot be read: {error}")
                continue
            for line, comment in comments:
                if WORD.search(comment):
                    faults.append(f"{path}:{line}: {comment.strip()[:100]}")
        self.assertEqual(faults, [], "say what the code does in this program's own terms")


if __name__ == "__main__":
    TREE = sys.argv.pop(1)
    unittest.main()
