#!/usr/bin/env bash
# Inside a clean Debian 11 root: the release library's live report as a C
# program linked against it and as Python's ctypes get it, and the
# tarball's vmd-detect's, each into OUT.
#
#   reports.sh TREE BIN OUT     TREE the unpacked tarball, BIN the C program
set -euo pipefail
tree=$1 bin=$2 out=$3
LD_LIBRARY_PATH=$tree/lib "$bin" >"$out/c.json"
python3 - "$tree/lib/libvm_detection.so.1" >"$out/ctypes.json" <<'PY'
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
lib.vmd_detect_json.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
lib.vmd_free.argtypes = [ctypes.c_void_p]
report = ctypes.c_void_p()
assert lib.vmd_detect_json(ctypes.byref(report)) == 0
print(ctypes.string_at(report).decode())
lib.vmd_free(report)
PY
"$tree/bin/vmd-detect" >"$out/tool.json"
# sed reads to the end: head would end ldd with SIGPIPE, a failure under pipefail.
ldd --version | sed -n 1p >"$out/glibc"
