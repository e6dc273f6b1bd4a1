#!/usr/bin/env python3
"""The oldest glibc an ELF file loads on: reads each file's NEEDED libraries
and the glibc symbol versions it requires (from its own ELF headers, so that
no binutils of the right architecture is needed) and prints, one line a file,

    FILE: glibc X.Y (NEEDED lib1, lib2, ...)
    FILE: static (no NEEDED library, no glibc version)

X.Y being the highest GLIBC_X.Y required, the floor (a wheel's tag is
manylinux_X_Y of it). Fails (exit 1), naming the symbols and their versions,
when a file needs a glibc above --max, needs GLIBC_PRIVATE, or needs a shared
library that is not glibc's own (libc, libm, libdl, libpthread, librt, the
dynamic loader): such a library differs from system to system, or is absent.
Exit 2 for a file that is no ELF.

    scripts/glibc-floor.py [--max X.Y] FILE...
"""
import argparse
import re
import struct
import sys

GLIBC_OWN = re.compile(r"^(libc\.so\.6|libm\.so\.6|libdl\.so\.2|libpthread\.so\.0|librt\.so\.1|"
                       r"ld-linux[-.a-z0-9_]*\.so\.[0-9]+|ld64\.so\.[12])$")
SHT_DYNSYM, SHT_DYNAMIC = 11, 6
SHT_GNU_VERNEED, SHT_GNU_VERSYM = 0x6ffffffe, 0x6fffffff
DT_NEEDED = 1


class NotElf(Exception):
    pass


def parse(data):
    """NEEDED names, {version: set of symbols} of the versions required."""
    if data[:4] != b"\x7fELF":
        raise NotElf("not an ELF file")
    wide = {1: False, 2: True}.get(data[4])
    order = {1: "<", 2: ">"}.get(data[5])
    if wide is None or order is None:
        raise NotElf("unknown ELF class or byte order")
    word = "Q" if wide else "I"

    def unpack(fmt, offset):
        return struct.unpack_from(order + fmt, data, offset)

    if wide:
        shoff, = unpack("Q", 0x28)
        shentsize, shnum = unpack("HH", 0x3A)
    else:
        shoff, = unpack("I", 0x20)
        shentsize, shnum = unpack("HH", 0x2E)
    sections = []
    for i in range(shnum):
        at = shoff + i * shentsize
        if wide:
            _, kind, _, _, offset, size, link, _, _, entsize = unpack("IIQQQQIIQQ", at)
        else:
            _, kind, _, _, offset, size, link, _, _, entsize = unpack("IIIIIIIIII", at)
        sections.append((kind, offset, size, link, entsize))

    def string(table, at):
        start = sections[table][1] + at
        return data[start:data.index(b"\0", start)].decode()

    needed, versions, names = [], {}, {}
    for kind, offset, size, link, entsize in sections:
        if kind == SHT_DYNAMIC:
            step = 16 if wide else 8
            for at in range(offset, offset + size, step):
                tag, value = unpack(word * 2, at)
                if tag == DT_NEEDED:
                    needed.append(string(link, value))
        elif kind == SHT_GNU_VERNEED:
            at = offset
            while True:
                _, count, _, aux, following = unpack("HHIII", at)
                a = at + aux
                for _ in range(count):
                    _, _, other, name, nxt = unpack("IHHII", a)
                    names[other] = string(link, name)
                    versions.setdefault(names[other], set())
                    a += nxt
                if not following:
                    break
                at += following
    # Which symbol needs which version: .gnu.version holds a version index
    # for each .dynsym entry.
    for kind, offset, size, link, entsize in sections:
        if kind != SHT_GNU_VERSYM:
            continue
        _, symoff, symsize, strtab, symentsize = sections[link]
        for i in range((size // 2)):
            index, = unpack("H", offset + 2 * i)
            index &= 0x7FFF
            if index in names:
                name, = unpack("I", symoff + i * symentsize)
                versions[names[index]].add(string(strtab, name))
    return needed, versions


def glibc(version):
    m = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.(\d+))?", version)
    return tuple(int(x or 0) for x in m.groups()) if m else None


def main():
    parser = argparse.ArgumentParser(description="The glibc floor of ELF files.")
    parser.add_argument("--max", help="the newest glibc allowed, X.Y")
    parser.add_argument("files", nargs="+", metavar="FILE")
    args = parser.parse_args()
    limit = tuple(int(x) for x in args.max.split(".")) + (0,) if args.max else None
    status = 0
    for path in args.files:
        try:
            with open(path, "rb") as f:
                needed, versions = parse(f.read())
        except (OSError, NotElf, struct.error, ValueError, IndexError) as e:
            print(f"{path}: {e}", file=sys.stderr)
            return 2
        problems = [f"needs {lib}, not one of glibc's own libraries"
                    for lib in needed if not GLIBC_OWN.match(lib)]
        if "GLIBC_PRIVATE" in versions:
            problems.append("needs GLIBC_PRIVATE: " + ", ".join(sorted(versions["GLIBC_PRIVATE"])))
        numbered = {v: glibc(v) for v in versions if glibc(v)}
        if not needed and not versions:
            print(f"{path}: static (no NEEDED library, no glibc version)")
        else:
            floor = max(numbered.values(), default=(2, 0, 0))
            shown = ".".join(str(x) for x in (floor if floor[2] else floor[:2]))
            print(f"{path}: glibc {shown} (NEEDED {', '.join(needed) or 'none'})")
            if limit:
                above = sorted((n, v) for v, n in numbered.items() if n > limit)
                for _, v in above:
                    problems.append(f"needs {v} above {args.max}: " + ", ".join(sorted(versions[v])))
        for problem in problems:
            print(f"FAIL: {path}: {problem}", file=sys.stderr)
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
