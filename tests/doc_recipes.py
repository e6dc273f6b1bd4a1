#!/usr/bin/env python3
"""Runs the documentation's recipes as a reader would copy them: every
fenced block of a Markdown file, in order, from the checkout, on a machine
where nothing of the project is installed yet (tests/bundled/recipes.sh
runs it in a clean root). A comment right before a block says what it is:

  (none)                          a `sh` block is run with bash -e from the
                                  checkout; blocks of other languages are
                                  data, but a program (c, cpp, python, go,
                                  rust, js) must be marked as one of these
  <!-- recipe: file PATH -->      the block is written to PATH
  <!-- recipe: stdin COMMAND -->  the block is fed to COMMAND (bash -c)
  <!-- recipe: in DIR -->         a `sh` block run from DIR instead
  <!-- recipe: cleanup -->        a `sh` block run after every other block of
                                  every document, the last one first
  <!-- recipe: skip: REASON -->   not run, for REASON (a cluster, a registry,
                                  systemd as PID 1, root on the host ...)
  <!-- recipe: in DIR; cleanup --> both

`/path/to/libvm_detection` in a block stands for the checkout. A failed
block stops the run, naming its document, number and line.

usage: doc_recipes.py [--lint] [--between COMMAND] [--after COMMAND] DOCUMENT...
  --lint      only check that every program is run, written or skipped
  --between   a check (bash -c) after the blocks and before the clean-ups
  --after     a check after the clean-ups"""
import argparse
import os
import re
import subprocess
import sys
import time

BLOCK = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)
MARK = re.compile(r"<!-- recipe: (.*?) -->\s*\Z", re.S)
PART = re.compile(r"(file|stdin|in|cleanup|skip)\b:? ?(.*)", re.S)
PROGRAMS = {"c", "cpp", "python", "go", "rust", "js"}


class Block:
    def __init__(self, document, number, line, language, text, marks):
        self.document, self.number, self.line = document, number, line
        self.language, self.text, self.marks = language, text, marks
        # What is done with the block, and its argument; a clean-up may also
        # name the folder it runs in.
        self.kind = next((k for k in ("skip", "file", "stdin", "cleanup", "in") if k in marks), None)
        self.argument = marks.get(self.kind, "")
        self.folder = marks.get("in", "")

    def __str__(self):
        return f"{self.document} block {self.number} (line {self.line}, {self.language or 'text'})"


def blocks(document):
    """The blocks of DOCUMENT, each with the mark before it."""
    with open(document, encoding="utf-8") as f:
        text = f.read()
    found = []
    for number, match in enumerate(BLOCK.finditer(text), 1):
        before = text[max(0, match.start() - 400):match.start()]
        # Only a comment that ends right before the fence marks the block.
        mark = MARK.search(before[before.rfind("<!--"):]) if "<!--" in before else None
        marks = {}
        # A reason may hold a ';' of its own.
        parts = [] if not mark else [mark[1]] if mark[1].startswith("skip") else mark[1].split(";")
        for part in parts:
            known = PART.fullmatch(part.strip())
            marks[known[1] if known else "?" + part.strip()] = known[2].strip() if known else ""
        found.append(Block(document, number, text.count("\n", 0, match.start()) + 1,
                           match[1], match[2], marks))
    return found


def problems(block):
    """What is wrong with how BLOCK is marked, or None."""
    unknown = [m[1:] for m in block.marks if m.startswith("?")]
    if unknown:
        return f"unknown mark {unknown[0]!r}"
    if len(set(block.marks) - {"in", "cleanup"}) > 1 or ("in" in block.marks and len(block.marks) > 1
                                                         and "cleanup" not in block.marks):
        return f"marks that do not go together: {', '.join(block.marks)}"
    if block.kind == "skip" and not block.argument:
        return "skipped without a reason"
    if any(k in block.marks and not block.marks[k] for k in ("file", "stdin", "in")):
        return "a mark names nothing"
    if block.kind in ("in", "cleanup") and block.language != "sh":
        return f"'{block.kind}' marks a {block.language or 'text'} block, not sh"
    if block.language in PROGRAMS and block.kind not in ("file", "stdin", "skip"):
        return "a program neither written to a file, run nor skipped"
    return None


def run(block, checkout):
    text = block.text.replace("/path/to/libvm_detection", checkout)
    if block.kind == "file":
        path = os.path.join(checkout, block.argument)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return True
    if block.kind == "stdin":
        command, stdin = ["bash", "-e", "-o", "pipefail", "-c", block.argument], text
    elif block.language == "sh":
        command, stdin = ["bash", "-e", "-o", "pipefail", "-c", text], None
    else:
        return True
    cwd = os.path.join(checkout, block.folder)
    start = time.monotonic()
    print(f"--- {block}", flush=True)
    done = subprocess.run(command, input=stdin, text=True, cwd=cwd)
    print(f"--- {block}: status {done.returncode} in {time.monotonic() - start:.0f} s", flush=True)
    return done.returncode == 0


def check(command, checkout, what):
    if command and subprocess.run(["bash", "-e", "-o", "pipefail", "-c", command], cwd=checkout).returncode:
        sys.exit(f"FAIL: the check {what} failed: {command}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lint", action="store_true")
    parser.add_argument("--between")
    parser.add_argument("--after")
    parser.add_argument("documents", nargs="+")
    args = parser.parse_args()
    checkout = os.getcwd()
    every = [b for d in args.documents for b in blocks(d)]
    wrong = [f"{b}: {p}" for b in every if (p := problems(b))]
    if wrong:
        sys.exit("FAIL: " + "\nFAIL: ".join(wrong))
    if args.lint:
        print(f"{len(every)} blocks, {sum(b.kind == 'skip' for b in every)} skipped")
        return
    for block in [b for b in every if b.kind not in ("skip", "cleanup")]:
        if not run(block, checkout):
            sys.exit(f"FAIL: {block}")
    check(args.between, checkout, "before the clean-ups")
    for block in reversed([b for b in every if b.kind == "cleanup"]):
        if not run(block, checkout):
            sys.exit(f"FAIL: {block} (a clean-up)")
    check(args.after, checkout, "after the clean-ups")
    skipped = [b for b in every if b.kind == "skip"]
    print(f"recipes: {len(every) - len(skipped)} blocks run or written, {len(skipped)} skipped:")
    for block in skipped:
        print(f"  {block}: {block.argument}")


if __name__ == "__main__":
    main()
