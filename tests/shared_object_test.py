#!/usr/bin/env python3
"""Loads the built shared object as a host program would and checks its
exported interface and a real report."""
import ctypes
import json
import subprocess
import sys

EXPECTED_KEYS = ["schema_version", "module_version", "vm_score", "vm_likelihood",
                 "hypervisors", "containers", "compatibility_layers", "host_hypervisors",
                 "cloud_providers", "evidence", "probes", "duration_us"]


def fail(message):
    print("FAIL:", message)
    sys.exit(1)


def main(path):
    symbols = subprocess.run(["nm", "-D", "--defined-only", path], check=True,
                             capture_output=True, text=True).stdout.split("\n")
    names = sorted(line.split()[-1] for line in symbols if line.strip())
    if names != ["vmd_detect_json", "vmd_free", "vmd_version"]:
        fail(f"exported symbols are {names}")

    lib = ctypes.CDLL(path)  # dlopen
    lib.vmd_version.restype = ctypes.c_char_p
    lib.vmd_detect_json.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
    lib.vmd_detect_json.restype = ctypes.c_int
    lib.vmd_free.argtypes = [ctypes.c_void_p]
    lib.vmd_free.restype = None

    if lib.vmd_version() != b"1.0.0":
        fail(f"version {lib.vmd_version()!r}")
    if lib.vmd_detect_json(None) != 1:
        fail("null out pointer is not status 1")
    lib.vmd_free(None)

    out = ctypes.c_void_p()
    status = lib.vmd_detect_json(ctypes.byref(out))
    if status != 0 or not out.value:
        fail(f"status {status}, pointer {out.value}")
    raw = ctypes.string_at(out.value)  # up to the first NUL
    lib.vmd_free(out)

    if not all(b < 0x80 for b in raw):
        fail("report is not pure ASCII")
    text = raw.decode("ascii")
    if "\n" in text or text != text.strip():
        fail("report is not one bare line")
    order = json.loads(text, object_pairs_hook=lambda p: [k for k, _ in p])
    if order != EXPECTED_KEYS:
        fail(f"member order {order}")
    report = json.loads(text)
    # A re-encoding in compact form must give back the same bytes.
    compact = json.dumps(json.loads(text), separators=(",", ":"))
    if compact != text:
        fail("report is not compact JSON")
    if report["schema_version"] != 1 or report["module_version"] != "1.0.0":
        fail("fixed members are wrong")
    if not isinstance(report["duration_us"], int) or report["duration_us"] < 0:
        fail("duration_us is not a non-negative integer")
    for probe in report["probes"]:
        if [k for k in probe] != ["source", "status"]:
            fail(f"probe members {list(probe)}")
    for item in report["evidence"]:
        if list(item) != ["source", "category", "vendor", "weight", "detail"]:
            fail(f"evidence members {list(item)}")
    print("shared object: 1 passed, 0 failed")


if __name__ == "__main__":
    main(sys.argv[1])
