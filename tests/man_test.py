#!/usr/bin/env python3
"""The manual pages: vmd-detect(1) documents exactly the options that
`vmd-detect --help` lists, and mandoc's lint finds nothing in any page.

usage: man_test.py VMD_DETECT MAN_DIR"""
import pathlib
import re
import shutil
import subprocess
import sys
import unittest

TOOL = sys.argv[1]
PAGES = pathlib.Path(sys.argv[2])
OPTION = re.compile(r"(?<![\w-])(--?[A-Za-z][\w-]*)")


def page_options(source):
    """Every option the page names (`Fl x` is -x), and for each `.It` line
    the options it names together (an option and its aliases)."""
    named, items = set(), []
    for line in source.splitlines():
        found = {"-" + flag for flag in re.findall(r"\bFl +(-?[A-Za-z][\w-]*)", line)}
        named |= found
        if line.startswith(".It ") and found:
            items.append(found)
    return named, items


class ManualPages(unittest.TestCase):
    def test_page_and_help_name_the_same_options(self):
        help_text = subprocess.run([TOOL, "--help"], capture_output=True, text=True, check=True).stdout
        listed = set(OPTION.findall(help_text))
        self.assertIn("--root", listed, "the help lists no options")
        named, items = page_options((PAGES / "vmd-detect.1").read_text())
        self.assertEqual(listed - named, set(), "options of --help missing from vmd-detect.1")
        # A short alias may be documented beside its long option; anything
        # else the page names must be in the help.
        aliases = {o for item in items if item & listed for o in item}
        self.assertEqual(named - listed - aliases, set(), "vmd-detect.1 names options that do not exist")

    def test_lint_finds_nothing(self):
        mandoc = shutil.which("mandoc")
        if mandoc is None:
            self.fail("mandoc is not installed: run scripts/deps.sh")
        pages = sorted(str(p) for p in PAGES.iterdir() if re.search(r"\.[1-8]$", p.name))
        self.assertGreaterEqual(len(pages), 2)
        done = subprocess.run([mandoc, "-Tlint", *pages], capture_output=True, text=True)
        # The pages refer to each other, and mandoc looks for them only among
        # the installed ones: not there, or there (our package installed)
        # but not yet in mandoc's database.
        ours = re.compile(r"referenced manual not found: Xr (vmd-detect 1|libvm_detection 3)"
                          r"|outdated mandoc\.db lacks (vmd-detect\(1\)|libvm_detection\(3\)) entry")
        messages = [m for m in done.stderr.splitlines() + done.stdout.splitlines() if not ours.search(m)]
        self.assertEqual(messages, [])


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
