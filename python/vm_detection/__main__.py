"""python3 -m vm_detection [--library PATH]: prints this machine's report,
one line of JSON as the library wrote it."""
from __future__ import annotations

import argparse
import sys

from . import LibraryNotFoundError, VmDetectionError, load


def main() -> int:
    parser = argparse.ArgumentParser(prog="python3 -m vm_detection",
                                     description="Prints libvm_detection's report.")
    parser.add_argument("--library", metavar="PATH",
                        help="the shared library to load (default: $VMD_LIBRARY, else the "
                             "copy the package carries, else libvm_detection.so.1 found by "
                             "the dynamic loader)")
    args = parser.parse_args()
    try:
        print(load(args.library).detect_json())
    except (LibraryNotFoundError, VmDetectionError) as e:
        print(f"vm_detection: {e}", file=sys.stderr)
        return 3
    return 0


if __name__ == "__main__":
    sys.exit(main())
