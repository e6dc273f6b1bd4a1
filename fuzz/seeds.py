#!/usr/bin/env python3
"""Writes the committed seed corpora under fuzz/corpus/<target>/: machines
and containers as their files really look, plus a few hostile trees. Run it
after changing a target's input format:  python3 fuzz/seeds.py"""
import os
import random
import re

HERE = os.path.dirname(os.path.abspath(__file__))
ID = "0123456789abcdef" * 4


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def structure(kind, formatted, strings):
    """One SMBIOS structure: header, formatted area, string set."""
    s = bytes([kind, 4 + len(formatted), 1, 0]) + formatted
    return s + (b"".join(x + b"\0" for x in strings) + b"\0" if strings else b"\0\0")


def bios(vendor, vm_bit):
    formatted = bytearray(20)
    formatted[0] = 1
    formatted[15] = 0x10 if vm_bit else 0
    return structure(0, bytes(formatted), [vendor])


def probe_files():
    """The library's table of probe files, (path, limit) in table order."""
    with open(os.path.join(HERE, "..", "src", "linux", "probe_files.h"), encoding="utf-8") as f:
        header = f.read()
    rows = {name: (path, int(limit)) for name, path, limit in re.findall(
        r'inline constexpr ProbeFile (\w+)\{"([^"]+)", (\d+), (?:read|exists)\};', header)}
    listed = header[header.index("probe_files[] = {"):]
    return [rows[name] for name in re.findall(r"&files::(\w+)", listed[:listed.index("};")])]


# The places of fuzz_detect_linux, in its order: the probe files with their
# size limits, then every folder on their way.
READS = probe_files()
FOLDERS = []
for _path, _ in READS:
    for _k in range(1, _path.count("/")):
        _folder = "/".join(_path.split("/")[:_k + 1])
        if _folder not in FOLDERS:
            FOLDERS.append(_folder)
PLACES = [p for p, _ in READS] + FOLDERS


class Tree:
    """Encodes entries as FuzzedDataProvider hands them out: integers and
    booleans from the end of the input, strings from its front, each string
    ended by a backslash and another byte (a doubled backslash is one)."""

    def __init__(self):
        self.front = bytearray()
        self.back = []  # in the order consumed

    def _entry(self, path, kind):
        self.back += [PLACES.index(path), kind]

    def _string(self, data):
        if isinstance(data, str):
            data = data.encode("latin-1")
        self.front += data.replace(b"\\", b"\\\\") + b"\\."

    def file(self, path, data):
        self._entry(path, 0)
        self._string(data)
        return self

    def full(self, path, unit, over=False):
        self._entry(path, 1)
        self._string(unit)
        self.back.append(1 if over else 0)
        return self

    def folder(self, path):
        self._entry(path, 2)
        return self

    def fifo(self, path):
        self._entry(path, 3)
        return self

    def link(self, path, target):
        self._entry(path, 4)
        self.back.append(PLACES.index(target))
        return self

    def device(self, path, null=True):
        self._entry(path, 5)
        self.back.append(1 if null else 0)
        return self

    def proc_file(self, path):
        self._entry(path, 6)
        return self

    def node_link(self, path, target, absolute=True, tail=0):
        """tail: 0 none, then "/", "/.", "/.." or "//" after the text."""
        self._entry(path, 8)
        self.back += [PLACES.index(target), 1 if absolute else 0, tail]
        return self

    def escape(self, path, target, absolute=True):
        self._entry(path, 9)
        self.back += [PLACES.index(target), 1 if absolute else 0]
        return self

    def bytes(self):
        return bytes(self.front) + bytes(reversed(self.back))


def detect_linux_seeds():
    dmi = "/sys/class/dmi/id/"
    put("detect_linux", "kvm_guest", Tree()
        .file(dmi + "sys_vendor", "QEMU\n")
        .file(dmi + "product_name", "Standard PC (Q35 + ICH9, 2009)\n")
        .file(dmi + "bios_vendor", "SeaBIOS\n")
        .file("/sys/firmware/dmi/entries/0-0/raw", bios(b"SeaBIOS", True))
        .file("/proc/cpuinfo", "processor\t: 0\nflags\t\t: fpu hypervisor\n")
        .file("/proc/sys/kernel/osrelease", "6.1.0-18-amd64\n")
        .file("/proc/self/cgroup", "0::/\n").bytes())
    put("detect_linux", "xen_guest", Tree()
        .file("/sys/hypervisor/type", "xen\n")
        .file("/proc/xen/capabilities", "")
        .file("/sys/hypervisor/properties/features", "00000705\n")
        .file(dmi + "product_version", "4.11.amazon\n")
        .file(dmi + "sys_vendor", "Xen\n").bytes())
    put("detect_linux", "xen_dom0", Tree()
        .file("/sys/hypervisor/type", "xen\n")
        .file("/proc/xen/capabilities", "control_d\n")
        .file("/sys/hypervisor/properties/features", "801\n").bytes())
    put("detect_linux", "wsl2_docker", Tree()
        .file("/proc/sys/kernel/osrelease", "5.15.153.1-microsoft-standard-WSL2\n")
        .file("/proc/self/cgroup", f"0::/system.slice/docker-{ID}.scope\n")
        .file("/.dockerenv", "")
        .file("/run/systemd/container", "docker\n").bytes())
    put("detect_linux", "kubernetes_podman", Tree()
        .file("/proc/self/cgroup",
              f"12:pids:/kubepods/besteffort/pod1/{ID}\n"
              f"0::/kubepods.slice/kubepods-burstable.slice/cri-containerd-{ID}.scope\n"
              f"1:memory:/machine.slice/libpod-{ID}.scope\n2:cpu:/lxc/web\n")
        .file("/run/.containerenv", "engine=\"podman\"\n").bytes())
    put("detect_linux", "powervm_s390_uml", Tree()
        .file("/proc/device-tree/ibm,partition-name", "lpar1\0")
        .file("/proc/device-tree/hmc-managed?", "\1")
        .file("/proc/device-tree/compatible", "IBM,9009-42A\0linux,dummy-virt\0")
        .file("/proc/sysinfo", "VM00 Control Program: z/VM    7.2.0\n")
        .file("/proc/cpuinfo", "vendor_id\t: User Mode Linux\n").bytes())
    put("detect_linux", "azure_hyperv", Tree()
        .file(dmi + "sys_vendor", "Microsoft Corporation\n")
        .file(dmi + "product_name", "Virtual Machine\n")
        .file(dmi + "chassis_asset_tag", "7783-7084-3265-9085-8269-3286-77\n")
        .file(dmi + "bios_vendor", "Hyper-V UEFI Release v4.1\n").bytes())
    put("detect_linux", "hostile", Tree()
        .fifo("/proc/cpuinfo")
        .folder("/sys/hypervisor/type")
        .link(dmi + "sys_vendor", dmi + "board_name")
        .link(dmi + "board_name", dmi + "sys_vendor")
        .device("/proc/self/cgroup", null=False)
        .device("/run/systemd/container")
        .proc_file("/proc/sys/kernel/osrelease")
        .full("/proc/sysinfo", "z/VM\n", over=True)
        .full(dmi + "product_name", "QEMU ")
        .file("/sys/firmware/dmi/entries/0-0/raw", bios(b"VMware", True)[:-3]).bytes())
    # A node's links, and links that try to leave the tree.
    put("detect_linux", "node_links", Tree()
        .file("/sys/hypervisor/type", "xen\n")
        .node_link("/proc/device-tree", "/sys/hypervisor", absolute=True)
        .node_link(dmi + "sys_vendor", "/sys/hypervisor/type", absolute=False)
        .node_link("/run/systemd/container", "/sys/hypervisor/type", tail=1)
        .node_link("/proc/sys/kernel/osrelease", "/sys/hypervisor", absolute=False, tail=3)
        .escape(dmi + "product_name", dmi + "product_name", absolute=False)
        .escape("/proc/xen", "/proc/xen", absolute=True)
        .escape("/.dockerenv", "/.dockerenv", absolute=False).bytes())
    put("detect_linux", "file_in_the_way", Tree()
        .file("/proc", "not a folder")
        .file("/sys/class/dmi/id", "")
        .fifo("/run/.containerenv").bytes())


def other_seeds():
    put("smbios", "bios_vm_bit", bios(b"innotek GmbH", True))
    put("smbios", "table", bios(b"SeaBIOS", True)
        + structure(1, b"\x01\x02\x03\x00", [b"QEMU", b"Standard PC", b"pc-q35"])
        + structure(2, b"\x01\x02\x00", [b"Xen", b"HVM domU"])
        + structure(3, b"\0\0\0\0\x01", [b"7783-7084-3265-9085-8269-3286-77"])
        + structure(127, b"", []))
    put("smbios", "no_strings", structure(1, b"\x01\x02\x03", []))
    put("smbios", "truncated", bios(b"VMware", False)[:-1])

    put("cgroup_markers", "docker_v1", "".join(f"{n}:cpu:/docker/{ID}\n" for n in range(3)))
    put("cgroup_markers", "scopes", f"0::/system.slice/docker-{ID}.scope\n"
        f"1:pids:/machine.slice/libpod-{ID}.scope/container\n")
    put("cgroup_markers", "kubepods", "0::/kubepods.slice/kubepods-burstable.slice/"
        f"kubepods-burstable-pod1.slice/cri-containerd-{ID}.scope\n"
        f"2:blkio:/kubepods/besteffort/pod2/{ID}\n")
    put("cgroup_markers", "lxc", "0::/lxc.payload.web\n1:memory:/lxc/db\n3:cpu:\n0::/\n")

    for name, text in [("qemu", "QEMU"), ("vmware", "VMware, Inc."),
                       ("virtualbox", "innotek GmbH"), ("apple", "VirtualMac2,1"),
                       ("unknown", "Virtual Machine"), ("openstack", "OpenStack Nova"),
                       ("xen", "HVM domU"), ("hyperv", "Hyper-V UEFI Release v4.1"),
                       ("cloud_hypervisor", "Cloud Hypervisor"),
                       ("device_tree", "linux,dummy-virt\0qemu,virt\0")]:
        put("firmware_marker", name, text)
    for name, text in [("aws", "Amazon EC2"), ("gcp", "Google Compute Engine"),
                       ("azure", "7783-7084-3265-9085-8269-3286-77"),
                       ("alibaba", "Alibaba Cloud ECS"), ("openstack", "OpenStack Foundation")]:
        put("firmware_cloud_marker", name, text)

    r = random.Random(7)
    for k in range(4):
        put("to_json", f"random{k}", bytes(r.randrange(256) for _ in range(64 * (k + 1))))
    put("to_json", "escapes", b'\x00\x10"\\\t\x7f\xc3\xa9' * 8)

    kvm = "cpuid 0x40000000 0x00000000 0x40000001 0x4b4d564b 0x564b4d56 0x0000004d\n"
    put("processor_file", "kvm", "vmd-processor 1\n# a KVM guest\n"
        "cpuid 0x00000001 0x00000000 0x000806f8 0x00010800 0xfffa3203 0x178bfbff\n"
        + kvm + "timing 1 1 3066\n")
    put("processor_file", "hyperv_root", "vmd-processor 1\r\n\r\n"
        "cpuid 0x1 0x0 0x000906ea 0x00100800 0xfffa3203 0x1f8bfbff\r\n"
        "cpuid 0x40000000 0x0 0x4000000C 0x7263694D 0x666F736F 0x76482074\r\n"
        "\tcpuid 0x40000003 0x0 0x00002fff 0x003b9031 0x2 0x00bed7b2\r\n"
        "cpuid 0x40000100 0x0 0x40000101 0x4b4d564b 0x564b4d56 0x4d\r\ntiming 1 0 0")
    put("processor_file", "no_instruction", "vmd-processor 1\ntiming 0 0 0\n")
    put("processor_file", "duplicate", "vmd-processor 1\n" + kvm + "timing 1 1 1\n" + kvm)
    put("processor_file", "bad_numbers", "vmd-processor 1\ncpuid 0x123456789 0x0 0x0 0x0 0x0 0x0\n"
        "timing 1 1 18446744073709551616\n")


if __name__ == "__main__":
    other_seeds()
    detect_linux_seeds()
