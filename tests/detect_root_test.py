#!/usr/bin/env python3
"""Runs `vmd-detect --root DIR` over captured probe trees and checks the JSON
report it prints."""
import json
import os
import subprocess
import sys
import tempfile

EXPECTED_KEYS = ["schema_version", "module_version", "vm_score", "vm_likelihood",
                 "hypervisors", "containers", "compatibility_layers", "host_hypervisors",
                 "cloud_providers", "evidence", "probes", "duration_us"]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)


def write(root, path, data):
    full = os.path.join(root, path.lstrip("/"))
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as out:
        out.write(data)


def bios_information(vendor, ext2):
    """A 24-byte SMBIOS BIOS Information structure with its strings."""
    formatted = bytes([0, 0x18, 0, 0, 1, 2, 0, 0xE8, 3, 0]) + bytes(8) + bytes([1, ext2]) + bytes(4)
    return formatted + vendor + b"\0" + b"1.0\0" + b"04/01/2014\0\0"


def detect(tool, root):
    # The timeout only guards against a hang; a run takes milliseconds.
    run = subprocess.run([tool, "--root", root], capture_output=True, timeout=60)
    check(run.returncode == 0, f"exit status {run.returncode}: {run.stderr!r}")
    text = run.stdout.decode("ascii")
    check(text.endswith("}\n") and text.count("\n") == 1, f"not one line: {text!r}")
    report = json.loads(text)
    check(list(report) == EXPECTED_KEYS, f"keys {list(report)}")
    check(report["schema_version"] == 1 and report["module_version"] == "1.0.0", "versions")
    check(isinstance(report["duration_us"], int) and report["duration_us"] >= 0, "duration")
    return report


def probes(report, source):
    return [p["status"] for p in report["probes"] if p["source"] == source]


def main(tool):
    with tempfile.TemporaryDirectory() as root:
        # A KVM guest of QEMU with SeaBIOS, plus a FIFO where a field belongs:
        # the run must not wait for a writer.
        dmi = "/sys/class/dmi/id/"
        write(root, dmi + "sys_vendor", b"QEMU\n")
        write(root, dmi + "product_name", b"Standard PC (i440FX + PIIX, 1996)\n")
        write(root, dmi + "bios_vendor", b"SeaBIOS\n")
        os.mkfifo(os.path.join(root, "sys/class/dmi/id/board_name"))
        write(root, "/sys/firmware/dmi/entries/0-0/raw", bios_information(b"SeaBIOS", 0x14))
        os.makedirs(os.path.join(root, "proc/device-tree"))
        os.mkfifo(os.path.join(root, "proc/device-tree/model"))
        report = detect(tool, root + "/")
        check(report["vm_score"] == 90, f"score {report['vm_score']}")
        check(report["vm_likelihood"] == "very_likely", report["vm_likelihood"])
        check(report["hypervisors"] == ["qemu"], f"hypervisors {report['hypervisors']}")
        check(probes(report, "firmware") == ["error", "ok"],
              f"firmware {probes(report, 'firmware')}")
        check(probes(report, "device_tree") == ["error"], "device_tree")
        check({"source": "firmware", "category": "guest", "vendor": "unknown", "weight": 90,
               "detail": "SMBIOS virtual-machine characteristic"} in report["evidence"],
              "characteristic evidence")

    with tempfile.TemporaryDirectory() as root:
        # An Azure guest on Hyper-V.
        dmi = "/sys/class/dmi/id/"
        write(root, dmi + "sys_vendor", b"Microsoft Corporation\n")
        write(root, dmi + "product_name", b"Virtual Machine\n")
        write(root, dmi + "chassis_asset_tag", b"7783-7084-3265-9085-8269-3286-77\n")
        report = detect(tool, root)
        check(report["vm_likelihood"] == "likely", report["vm_likelihood"])
        check(report["hypervisors"] == [], "azure hypervisors")
        check(report["cloud_providers"] == ["azure"], f"clouds {report['cloud_providers']}")

    with tempfile.TemporaryDirectory() as root:
        # A bare-metal server.
        dmi = "/sys/class/dmi/id/"
        write(root, dmi + "sys_vendor", b"Dell Inc.\n")
        write(root, dmi + "product_name", b"PowerEdge R650\n")
        write(root, dmi + "bios_vendor", b"Dell Inc.\n")
        write(root, "/sys/firmware/dmi/entries/0-0/raw", bios_information(b"Dell Inc.", 0x0F))
        report = detect(tool, root)
        check(report["vm_score"] == 0 and report["vm_likelihood"] == "not_detected",
              f"bare metal {report['vm_score']} {report['vm_likelihood']}")
        check(report["evidence"] == [], f"evidence {report['evidence']}")
        check(probes(report, "firmware") == ["ok", "ok"], "bare metal firmware")
        order = [p["source"] for p in report["probes"]][:3]
        check(order == ["firmware", "firmware", "device_tree"], f"probe order {order}")

    for message in failures:
        print("FAIL:", message)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
