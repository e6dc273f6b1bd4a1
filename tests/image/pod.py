#!/usr/bin/env python3
"""Helpers of the image stage (scripts/test-image.sh).

  pod.py run-args OBJECTS.json CONTAINER NODE INTERVAL
      The `podman run` options and the arguments that run CONTAINER of the
      rendered DaemonSet as a kubelet would on a node whose root is NODE:
      its user, security settings, limits, args and hostPath mounts, the
      interval set to INTERVAL seconds. NUL-separated: options, IMAGE, args.
      A field the translation does not know fails it, so that the manifest
      cannot gain a setting the test silently leaves out.
  pod.py nodes DIR
      Lays out node roots beneath DIR as a node's really are.
  pod.py layer OCI_DIR ARCH OUT
      Unpacks the layer of the image index's ARCH manifest into OUT."""
import json
import os
import sys
import tarfile

# Pod-level fields and what running the container under podman makes of
# them. Scheduling and API-side fields have no part in what the process sees.
POD_FIELDS = {"priorityClassName", "tolerations", "automountServiceAccountToken",
              "enableServiceLinks", "hostNetwork", "hostPID", "hostIPC",
              "terminationGracePeriodSeconds", "securityContext", "containers", "volumes"}
CONTAINER_FIELDS = {"name", "image", "imagePullPolicy", "args", "resources", "securityContext",
                    "volumeMounts"}


def fail(message):
    sys.exit("pod.py: " + message)


def known(fields, allowed, where):
    unknown = set(fields) - allowed
    if unknown:
        fail(f"{where}: no translation for {sorted(unknown)}")


def run_args(objects_file, name, node, interval):
    with open(objects_file, encoding="utf-8") as f:
        daemonset = next(o for o in json.load(f) if o["kind"] == "DaemonSet")
    pod = daemonset["spec"]["template"]["spec"]
    known(pod, POD_FIELDS, "pod template")
    container = next(c for c in pod["containers"] if c["name"] == name)
    known(container, CONTAINER_FIELDS, "container " + name)

    # No service-account token, no host namespaces: the defaults of podman
    # too, apart from the network, which a test run does without.
    if pod.get("automountServiceAccountToken") is not False:
        fail("the pod would get a service-account token")
    if pod.get("hostNetwork") or pod.get("hostPID") or pod.get("hostIPC"):
        fail("a host namespace")
    options = ["--network=none", "--pid=private", "--ipc=private",
               "--stop-timeout=%d" % pod.get("terminationGracePeriodSeconds", 30)]

    security = pod.get("securityContext", {})
    known(security, {"runAsUser", "runAsGroup", "runAsNonRoot", "seccompProfile"},
          "pod securityContext")
    if security.get("seccompProfile") != {"type": "RuntimeDefault"}:
        fail("a seccomp profile other than the runtime's default")  # podman's default
    if "runAsUser" in security:
        options.append("--user=%d:%d" % (security["runAsUser"], security.get("runAsGroup", 0)))

    own = container.get("securityContext", {})
    known(own, {"privileged", "allowPrivilegeEscalation", "readOnlyRootFilesystem",
                "capabilities"}, "container securityContext")
    if own.get("privileged"):
        options.append("--privileged")
    if own.get("allowPrivilegeEscalation") is False:
        options.append("--security-opt=no-new-privileges")
    if own.get("readOnlyRootFilesystem"):
        # Kubernetes adds no tmpfs where podman would by default.
        options += ["--read-only", "--read-only-tmpfs=false"]
    capabilities = own.get("capabilities", {})
    known(capabilities, {"drop", "add"}, "capabilities")
    options += ["--cap-drop=" + c.lower() for c in capabilities.get("drop", [])]
    options += ["--cap-add=" + c.lower() for c in capabilities.get("add", [])]

    limits = container.get("resources", {}).get("limits", {})
    known(limits, {"cpu", "memory"}, "limits")
    if "memory" in limits:
        options.append("--memory=" + limits["memory"].replace("Mi", "m").replace("Gi", "g"))
    if "cpu" in limits:
        cpu = limits["cpu"]
        options.append("--cpus=%g" % (int(cpu[:-1]) / 1000 if cpu.endswith("m") else float(cpu)))

    volumes = {v["name"]: v for v in pod.get("volumes", [])}
    for mount in container.get("volumeMounts", []):
        known(mount, {"name", "mountPath", "readOnly"}, "volumeMount")
        volume = volumes[mount["name"]]
        known(volume, {"name", "hostPath"}, "volume " + mount["name"])
        host = volume["hostPath"]
        source = node + host["path"]
        if host.get("type") == "DirectoryOrCreate":
            os.makedirs(source, exist_ok=True)
        elif host.get("type") != "Directory" or not os.path.isdir(source):
            fail(f"hostPath {host['path']}: {host.get('type')} is not a directory on the node")
        options.append("--volume=%s:%s:%s" % (source, mount["mountPath"],
                                              "ro" if mount.get("readOnly") else "rw"))

    args = [a if not a.startswith("--interval=") else "--interval=%s" % interval
            for a in container["args"]]
    return options, container["image"], args


def put(root, path, data, mode=0o644):
    full = root + path
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "wb") as f:
        f.write(data)
    os.chmod(full, mode)


def link(root, path, target):
    os.makedirs(os.path.dirname(root + path), exist_ok=True)
    os.symlink(target, root + path)


def proc(root, release, cpuinfo=b"processor\t: 0\nflags\t\t: fpu hypervisor\n"):
    """The node's /proc as far as the probes go: /proc/self is a link to the
    reader's process directory."""
    put(root, "/proc/cpuinfo", cpuinfo)
    put(root, "/proc/sys/kernel/osrelease", release)
    put(root, "/proc/1/cgroup", b"0::/init.scope\n")
    link(root, "/proc/self", "1")


def nodes(top):
    # A QEMU guest: DMI through the class directory's relative link, the raw
    # SMBIOS BIOS Information structure readable by root only.
    vm = os.path.join(top, "vm")
    dmi = "/sys/devices/virtual/dmi/id/"
    put(vm, dmi + "sys_vendor", b"QEMU\n")
    put(vm, dmi + "product_name", b"Standard PC (Q35 + ICH9, 2009)\n")
    put(vm, dmi + "bios_vendor", b"SeaBIOS\n")
    link(vm, "/sys/class/dmi/id", "../../devices/virtual/dmi/id")
    bios = (b"\x00\x18\x00\x00\x01\x02\x00\xe8\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01\x14"
            b"\x00\x00\x00\x00SeaBIOS\x001.0\x0004/01/2014\x00\x00")
    put(vm, "/sys/firmware/dmi/entries/0-0/raw", bios, 0o400)
    proc(vm, b"6.1.0-18-amd64\n")

    # An arm64 guest: the device tree through /proc's absolute link.
    arm = os.path.join(top, "arm64")
    base = "/sys/firmware/devicetree/base/"
    put(arm, base + "compatible", b"linux,dummy-virt\0")
    put(arm, base + "model", b"linux,dummy-virt\0")
    put(arm, base + "hypervisor/compatible", b"linux,kvm\0")
    link(arm, "/proc/device-tree", "/sys/firmware/devicetree/base")
    proc(arm, b"6.1.0-18-arm64\n", b"processor\t: 0\nBogoMIPS\t: 50.00\n")

    # Hostile: links that try to leave the node's root for files the pod
    # has (its own /proc, the image's notices), a loop, odd bytes, a FIFO.
    hostile = os.path.join(top, "hostile")
    put(hostile, dmi + "sys_vendor", b'VMware"} 1\\\n\xff\xfe')
    link(hostile, "/sys/class/dmi/id", "../../../../../../../../../sys/devices/virtual/dmi/id")
    link(hostile, dmi + "product_name", "/usr/share/doc/libc6/copyright")
    link(hostile, dmi + "board_vendor", "../../../../../../../../../../proc/self/status")
    link(hostile, "/sys/hypervisor/type", "/proc/sys/kernel/osrelease/../../../../../etc/hostname")
    link(hostile, "/proc/device-tree", "/proc/device-tree")
    os.makedirs(hostile + "/sys/firmware/dmi/entries/0-0")
    os.mkfifo(hostile + "/sys/firmware/dmi/entries/0-0/raw")
    proc(hostile, b'6.1.0-microsoft-standard-WSL2"\\\xff\n')
    link(hostile, "/proc/xen", "/host")
    for name in ("vm", "arm64", "hostile"):
        print(os.path.join(top, name))


def layer(oci, arch, out):
    def blob(digest):
        return os.path.join(oci, "blobs", "sha256", digest.split(":")[1])

    with open(os.path.join(oci, "index.json"), encoding="utf-8") as f:
        index = json.load(f)["manifests"][0]
    with open(blob(index["digest"]), encoding="utf-8") as f:
        manifest = next(m for m in json.load(f)["manifests"]
                        if m["platform"]["architecture"] == arch)
    with open(blob(manifest["digest"]), encoding="utf-8") as f:
        layers = json.load(f)["layers"]
    if len(layers) != 1:
        fail(f"{arch}: {len(layers)} layers, not one")
    with tarfile.open(blob(layers[0]["digest"])) as tar:
        names = sorted(tar.getnames())
        if hasattr(tarfile, "data_filter"):
            tar.extractall(out, filter="data")
        else:
            tar.extractall(out)
    print("\n".join(names))


if __name__ == "__main__":
    command = sys.argv[1] if len(sys.argv) > 1 else ""
    if command == "run-args" and len(sys.argv) == 6:
        opts, image, arguments = run_args(*sys.argv[2:])
        sys.stdout.write("\0".join(opts + [image] + arguments) + "\0")
    elif command == "nodes" and len(sys.argv) == 3:
        nodes(sys.argv[2])
    elif command == "layer" and len(sys.argv) == 5:
        layer(*sys.argv[2:])
    else:
        sys.exit(__doc__)
