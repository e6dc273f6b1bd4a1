#!/usr/bin/env python3
"""Checks that the benchmark floor makes the same system calls as a run.

Traces `vmd_bench --trace=run` (one vmd_detect_json call) and
`vmd_bench --trace=floor` (the floor) with strace, keeps the calls between
the two markers and compares them. Memory-management calls are left out:
they are the allocator's, not the probes'; of a read only whether data or
the end of the file came back is compared. Also fails when a run opens
any probe file twice.

usage: trace_check.py VMD_BENCH      exit 0 same, 1 different, 77 no strace
"""
import collections
import difflib
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
ALLOCATOR = {"brk", "mmap", "munmap", "mremap", "mprotect", "madvise"}


def trace(bench, what):
    with tempfile.NamedTemporaryFile("r", suffix=".trace") as out:
        done = subprocess.run(["strace", "-qq", "-o", out.name, bench, "--trace=" + what],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            return None, done.stderr
        lines = out.read().splitlines()
    calls, inside = [], False
    for line in lines:
        if "/vmd-bench-trace-begin" in line:
            inside = True
        elif "/vmd-bench-trace-end" in line:
            break
        elif inside:
            calls.append(line)
    return calls, ""


def name(call):
    return call.split("(", 1)[0]


def normal(call):
    call = re.sub(r"0x[0-9a-f]+", "ADDR", call)
    if name(call) == "read":
        # What was asked and how much came back may differ between two
        # processes (a CPU's clock rate in /proc/cpuinfo); that data came, or
        # the end of the file, may not.
        m = re.match(r"read\((\d+),.*=\s*(-?\d+)(.*)$", call)
        if m:
            got = int(m.group(2))
            return f"read({m.group(1)}) = " + ("data" if got > 0 else str(got) + m.group(3))
    return re.sub(r"\s+", " ", call)


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    if shutil.which("strace") is None:
        print("strace not installed; skipped")
        return SKIP
    bench = sys.argv[1]
    run, err = trace(bench, "run")
    if run is None:
        print("cannot trace (" + err.strip() + "); skipped")
        return SKIP
    floor, err = trace(bench, "floor")
    if floor is None:
        print("cannot trace the floor: " + err.strip())
        return 1

    failed = False
    opened = collections.Counter(
        m.group(1) for c in run for m in [re.search(r'^open(?:at)?\([^"]*"([^"]+)"', c)] if m)
    if not opened:
        print("the run opened no file: the markers or the trace are wrong")
        failed = True
    for path, n in sorted(opened.items()):
        if n > 1:
            print(f"the run opens {path} {n} times")
            failed = True

    probes = [normal(c) for c in run if name(c) not in ALLOCATOR]
    ideal = [normal(c) for c in floor if name(c) not in ALLOCATOR]
    if probes != ideal:
        print("the floor's system calls differ from the run's (- run, + floor):")
        sys.stdout.writelines(l + "\n" for l in difflib.unified_diff(probes, ideal, "run", "floor",
                                                                    lineterm="", n=1))
        failed = True

    memory = collections.Counter(name(c) for c in run if name(c) in ALLOCATOR)
    print(f"{len(probes)} system calls in a run, {len(ideal)} in its floor"
          + "; allocator calls in the run: "
          + (", ".join(f"{k} x{v}" for k, v in sorted(memory.items())) or "none"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
