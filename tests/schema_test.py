#!/usr/bin/env python3
"""Validates real reports against the report's JSON Schema: this machine's
live report, the report of `vmd-detect --root` over a set of realistic
probe trees, and any JSON files named on the command line.

usage: schema_test.py VMD_DETECT SCHEMA [REPORT.json ...]

The trees are also used by cli_test.py."""
import json
import os
import subprocess
import sys
import tempfile

import jsonschema


def need_draft_2020_12():
    """jsonschema before 4 (Debian 11 has 3.2) cannot read the schema: the
    test skips (ctest's SKIP_RETURN_CODE) and says why."""
    if not hasattr(jsonschema, "Draft202012Validator"):
        print(f"SKIP: jsonschema {getattr(jsonschema, '__version__', '?')} has no "
              "Draft202012Validator (draft 2020-12: jsonschema 4 or later)")
        sys.exit(77)


CONTAINER_ID = "3f1c9a0e5b7d2c4a6e8f0b1d3c5a7e9f2b4d6c8a0e1f3b5d7c9a2e4f6b8d0c1a"

CPUINFO = (b"processor\t: 0\nvendor_id\t: GenuineIntel\nmodel name\t: Intel Xeon Processor\n"
           b"flags\t\t: fpu vme de pse tsc msr pae hypervisor\n\n")


def smbios_bios(vendor):
    """A BIOS Information structure naming `vendor`, then the end of table."""
    bios = bytes([0, 0x18, 0, 0, 1, 2, 0, 0xE8, 0x03, 0]) + bytes(14) + vendor + b"\0" + b"1.16\0\0"
    return bios + bytes([127, 4, 1, 0]) + b"\0\0"


# Probe trees: path beneath the root -> contents (None makes a directory).
TREES = {
    "empty": {},
    "kvm_guest": {
        "/sys/class/dmi/id/sys_vendor": b"QEMU\n",
        "/sys/class/dmi/id/product_name": b"Standard PC (Q35 + ICH9, 2009)\n",
        "/sys/class/dmi/id/product_version": b"pc-q35-7.2\n",
        "/sys/class/dmi/id/board_vendor": b"\n",
        "/sys/class/dmi/id/board_name": b"\n",
        "/sys/class/dmi/id/bios_vendor": b"SeaBIOS\n",
        "/sys/class/dmi/id/chassis_asset_tag": b"\n",
        "/sys/firmware/dmi/entries/0-0/raw": smbios_bios(b"SeaBIOS"),
        "/proc/cpuinfo": CPUINFO,
        "/proc/sys/kernel/osrelease": b"6.1.0-13-amd64\n",
        "/proc/self/cgroup": b"0::/user.slice/user-1000.slice/session-2.scope\n",
    },
    "xen_dom0": {
        "/sys/class/dmi/id/sys_vendor": b"Dell Inc.\n",
        "/sys/hypervisor/type": b"xen\n",
        "/proc/xen/capabilities": b"control_d\n",
        "/sys/hypervisor/properties/features": b"00000c05\n",
        "/proc/cpuinfo": CPUINFO,
        "/proc/sys/kernel/osrelease": b"6.1.0-13-amd64\n",
    },
    "xen_domu_no_role": {
        "/sys/hypervisor/type": b"xen\n",
        "/proc/sys/kernel/osrelease": b"5.10.0-26-amd64\n",
    },
    "docker": {
        "/.dockerenv": b"",
        "/proc/self/cgroup": ("12:cpu,cpuacct:/docker/%s\n0::/\n" % CONTAINER_ID).encode(),
        "/proc/cpuinfo": CPUINFO,
        "/proc/sys/kernel/osrelease": b"6.5.0-1015-azure\n",
    },
    "podman_kubernetes": {
        "/run/.containerenv": b"engine=\"podman-4.3.1\"\n",
        "/run/systemd/container": b"podman\n",
        "/proc/self/cgroup": ("0::/kubepods.slice/kubepods-burstable.slice/"
                              "cri-containerd-%s.scope\n" % CONTAINER_ID).encode(),
    },
    "wsl2": {
        "/proc/sys/kernel/osrelease": b"5.15.133.1-microsoft-standard-WSL2\n",
        "/proc/cpuinfo": CPUINFO,
        "/proc/self/cgroup": b"0::/\n",
    },
    "aws": {
        "/sys/class/dmi/id/sys_vendor": b"Amazon EC2\n",
        "/sys/class/dmi/id/product_name": b"m5.large\n",
        "/sys/class/dmi/id/board_vendor": b"Amazon EC2\n",
        "/sys/class/dmi/id/board_name": b"\n",
        "/sys/class/dmi/id/bios_vendor": b"Amazon EC2\n",
        "/sys/class/dmi/id/chassis_asset_tag": b"Amazon EC2\n",
        "/sys/firmware/dmi/entries/0-0/raw": smbios_bios(b"Amazon EC2"),
    },
    "powervm": {
        "/proc/device-tree/compatible": b"IBM,9009-42A\0",
        "/proc/device-tree/model": b"IBM,9009-42A\0",
        "/proc/device-tree/ibm,partition-name": b"lpar1\0",
        "/proc/device-tree/hmc-managed?": b"",
        "/proc/sysinfo": b"Manufacturer:         IBM\n",
    },
    "odd_bytes": {
        "/sys/hypervisor/type": b"we\"ird\\\t\x1b[31m\x7f\xc3\xa9\n",
        "/sys/class/dmi/id/sys_vendor": b"QEMU\r\n",
        "/proc/cpuinfo": b"x" * (1048576 + 10),
        "/proc/sys/kernel/osrelease": b"",
    },
}


def build(root, tree):
    for path, contents in tree.items():
        full = root + path
        if contents is None:
            os.makedirs(full, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as out:
            out.write(contents)


def reject_float(text):
    raise ValueError("a number with a fraction or exponent: " + text)


def load(text):
    """A report, refusing numbers that are not integers."""
    return json.loads(text, parse_float=reject_float)


def run(tool, *args):
    done = subprocess.run([tool, *args], capture_output=True, check=False)
    if done.returncode != 0:
        raise AssertionError(f"{tool} {args} exited {done.returncode}: {done.stderr!r}")
    return done.stdout.decode("ascii")


def main(tool, schema_path, files):
    need_draft_2020_12()
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)

    reports = {"live": run(tool)}
    with tempfile.TemporaryDirectory() as scratch:
        for name, tree in TREES.items():
            root = os.path.join(scratch, name)
            os.mkdir(root)
            build(root, tree)
            reports["tree " + name] = run(tool, "--root", root)
    for path in files:
        with open(path, encoding="ascii") as f:
            reports[path] = f.read()

    failures = 0
    for name, text in reports.items():
        try:
            validator.validate(load(text))
        except (ValueError, jsonschema.ValidationError) as e:
            failures += 1
            print(f"FAIL {name}: {e}\n{text}")
    # The schema must also refuse what a report can never hold.
    sample = load(reports["tree kvm_guest"])
    for broken in ({**sample, "extra": 1}, {**sample, "vm_likelihood": "maybe"},
                   {**sample, "evidence": [{**sample["evidence"][0], "weight": "85"}]},
                   {**sample, "hypervisors": ["qemu", "qemu"]}):
        if validator.is_valid(broken):
            failures += 1
            print(f"FAIL: the schema accepts {broken}")
    print(f"{len(reports)} reports checked, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(main(sys.argv[1], sys.argv[2], sys.argv[3:]))
