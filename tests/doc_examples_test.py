#!/usr/bin/env python3
"""The documentation's example outputs are what vmd-detect prints: every
fenced block that follows a comment `<!-- vmd-detect ARGS -->` in a
Markdown file must be the output of `vmd-detect ARGS`, where the tree named
after --root is one of the probe trees below (durations aside). A block
whose last line is `...` shows the first lines only; lines starting with
`$ ` are the command; a JSON block may be wrapped differently. Every
program a document shows is run, written to a file or skipped with a reason
for tests/bundled/recipes.sh (doc_recipes.py).

usage: doc_examples_test.py VMD_DETECT DOCUMENT..."""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

import doc_recipes
import schema_test

TOOL = sys.argv[1]
DOCUMENTS = sys.argv[2:]
EXAMPLE = re.compile(r"<!-- vmd-detect ([^>]*?) -->\n+```(\w*)\n(.*?)```", re.S)
DURATION = re.compile(r"(duration\S*[ :]+)[0-9.]+")

# The identification leaves and timing figure recorded on a KVM guest (AMD EPYC).
KVM_PROCESSOR = b"""vmd-processor 1
cpuid 0x00000001 0x00000000 0x00a00f11 0x00020800 0xfffa3203 0x178bfbff
cpuid 0x40000000 0x00000000 0x40000001 0x4b4d564b 0x564b4d56 0x0000004d
cpuid 0x40000100 0x00000000 0x00000000 0x00000000 0x00000000 0x00000000
timing 1 1 2548
"""
KVM_SYSTEM = {path: contents for path, contents in schema_test.TREES["kvm_guest"].items()
              if path.startswith("/proc/")}


def hand_written_processor():
    """The processor file that capture.md writes by hand."""
    with open(next(d for d in DOCUMENTS if d.endswith("capture.md")), encoding="utf-8") as f:
        return re.search(r"cat > processor <<'EOF'\n(.*?)\nEOF\n", f.read(), re.S)[1].encode() + b"\n"


TREES = {
    "kvm_guest": {**schema_test.TREES["kvm_guest"], "/processor": KVM_PROCESSOR},
    "kvm_aws": {**schema_test.TREES["aws"], **KVM_SYSTEM, "/processor": KVM_PROCESSOR},
    "hyperv_host": {"/.dockerenv": b"", "/processor": hand_written_processor()},
}


class Examples(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="vmd-doc-")
        for name, tree in TREES.items():
            os.mkdir(os.path.join(self.scratch, name))
            schema_test.build(os.path.join(self.scratch, name), tree)

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def test_every_example_is_what_the_tool_prints(self):
        seen = 0
        for document in DOCUMENTS:
            with open(document, encoding="utf-8") as f:
                for args, language, block in EXAMPLE.findall(f.read()):
                    seen += 1
                    words = args.split()
                    if "--root" in words:
                        tree = words.index("--root") + 1
                        words[tree] = os.path.join(self.scratch, words[tree])
                    done = subprocess.run([TOOL, *words], capture_output=True, text=True)
                    self.assertEqual(done.returncode, 0, (document, args, done.stderr))
                    if language == "json":
                        shown, written = json.loads(done.stdout), json.loads(block)
                        del shown["duration_us"], written["duration_us"]
                        self.assertEqual(written, shown, (document, args))
                        continue
                    lines = [line for line in DURATION.sub(r"\1", block).splitlines()
                             if not line.startswith("$ ")]
                    shown = DURATION.sub(r"\1", done.stdout).splitlines()
                    if lines[-1] == "...":
                        lines.pop()
                        shown = shown[:len(lines)]
                    self.assertEqual(lines, shown, (document, args))
        self.assertGreaterEqual(seen, 5, "the examples were not found")

    def test_every_program_is_run_written_or_skipped(self):
        blocks = [b for document in DOCUMENTS for b in doc_recipes.blocks(document)]
        self.assertEqual([], [f"{b}: {p}" for b in blocks if (p := doc_recipes.problems(b))])
        # The README's own programs are run, not skipped.
        run = {b.language for b in blocks if b.document.endswith("README.md") and b.kind in ("file", "stdin")}
        self.assertLessEqual({"c", "python", "go", "rust", "js"}, run)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
