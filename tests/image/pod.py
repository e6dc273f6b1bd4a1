#!/usr/bin/env python3
"""Helpers of the image stage (tests/image/run.sh).

  pod.py run-args OBJECTS.json CONTAINER NODE INTERVAL POD_DIR
      The `podman run` options and the arguments that run CONTAINER (an init
      container or a container) of the rendered DaemonSet as a kubelet would
      on a node whose root is NODE: its user, security settings, limits,
      args and volumes, the interval set to INTERVAL seconds. hostPath
      volumes are NODE's directories; emptyDir volumes are directories of
      the pod beneath POD_DIR, shared by its containers (a tmpfs of the
      volume's size for medium Memory). NUL-separated: options, IMAGE, args.
      A field the translation does not know fails it, so that the manifest
      cannot gain a setting the test silently leaves out.
  pod.py read-only OBJECTS.json CONTAINER
      The paths CONTAINER mounts read-only, one a line.
  pod.py user OBJECTS.json CONTAINER
      UID:GID that CONTAINER runs as.
  pod.py nodes DIR
      Lays out node roots beneath DIR as a node's really are, with the
      writable file systems a node mounts beneath /sys and /proc standing in
      as tmpfs mounts in the first.
  pod.py digest DIR
      One line per file beneath DIR (its path, type, mode, owner and
      contents' hash), mounts beneath it included, links not followed.
  pod.py platforms OBJECTS.json OCI_DIR
      Fails unless the DaemonSet selects Linux nodes of exactly the
      platforms of the image index in OCI_DIR, a variant (arm/v7) by its
      architecture alone, as kubernetes.io/arch names it.
  pod.py index OCI_DIR
      The platforms of the image index in OCI_DIR (linux/arm/v7), one a
      line, in the index's order.
  pod.py admitted OBJECTS.json [--without KIND]
      Admits the DaemonSet's pods as a kube-apiserver does whose
      ResourceQuota admission limits the critical priority classes to
      namespaces with a quota for them; fails if they would be refused.
      --without KIND drops the objects of that kind first.
  pod.py layer OCI_DIR PLATFORM OUT
      Unpacks the layer of the image index's PLATFORM (linux/arm64)
      manifest into OUT; prints the names it holds."""
import hashlib
import json
import os
import stat
import subprocess
import sys
import tarfile

# Pod-level fields and what running the container under podman makes of
# them. Scheduling and API-side fields have no part in what the process
# sees; the node selection is checked by `platforms`.
POD_FIELDS = {"priorityClassName", "affinity", "tolerations", "automountServiceAccountToken",
              "enableServiceLinks", "hostNetwork", "hostPID", "hostIPC",
              "terminationGracePeriodSeconds", "securityContext", "initContainers",
              "containers", "volumes"}
CONTAINER_FIELDS = {"name", "image", "imagePullPolicy", "args", "resources", "securityContext",
                    "volumeMounts"}
SECURITY_FIELDS = {"runAsUser", "runAsGroup", "runAsNonRoot", "seccompProfile", "privileged",
                   "allowPrivilegeEscalation", "readOnlyRootFilesystem", "capabilities"}


def fail(message):
    sys.exit("pod.py: " + message)


def known(fields, allowed, where):
    unknown = set(fields) - allowed
    if unknown:
        fail(f"{where}: no translation for {sorted(unknown)}")


def load(objects_file, kind="DaemonSet"):
    with open(objects_file, encoding="utf-8") as f:
        return next(o for o in json.load(f) if o["kind"] == kind)


def container_of(objects_file, name):
    pod = load(objects_file)["spec"]["template"]["spec"]
    known(pod, POD_FIELDS, "pod template")
    every = pod.get("initContainers", []) + pod["containers"]
    container = next((c for c in every if c["name"] == name), None)
    if container is None:
        fail(f"no container {name}")
    known(container, CONTAINER_FIELDS, "container " + name)
    return pod, container


def security_of(pod, container):
    """The container's settings over the pod's, as the kubelet merges them."""
    merged = dict(pod.get("securityContext", {}))
    merged.update(container.get("securityContext", {}))
    known(merged, SECURITY_FIELDS, "securityContext of " + container["name"])
    return merged


def user(objects_file, name):
    security = security_of(*container_of(objects_file, name))
    # An image without a user runs as root, and so does the kubelet then.
    uid, gid = security.get("runAsUser", 0), security.get("runAsGroup", 0)
    if security.get("runAsNonRoot") and uid == 0:
        fail(name + ": runAsNonRoot with user 0 would not start")
    return uid, gid


def quantity(text):
    units = {"Ki": 1 << 10, "Mi": 1 << 20, "Gi": 1 << 30}
    for unit, factor in units.items():
        if text.endswith(unit):
            return int(text[:-2]) * factor
    return int(text)


def run_args(objects_file, name, node, interval, pod_dir):
    pod, container = container_of(objects_file, name)

    # No service-account token, no host namespaces: the defaults of podman
    # too, apart from the network, which a test run does without.
    if pod.get("automountServiceAccountToken") is not False:
        fail("the pod would get a service-account token")
    if pod.get("hostNetwork") or pod.get("hostPID") or pod.get("hostIPC"):
        fail("a host namespace")
    options = ["--network=none", "--pid=private", "--ipc=private",
               "--stop-timeout=%d" % pod.get("terminationGracePeriodSeconds", 30)]

    security = security_of(pod, container)
    if security.get("seccompProfile") != {"type": "RuntimeDefault"}:
        fail("a seccomp profile other than the runtime's default")  # podman's default
    options.append("--user=%d:%d" % user(objects_file, name))
    if security.get("privileged"):
        options.append("--privileged")
    if security.get("allowPrivilegeEscalation") is not False:
        fail(name + ": privilege escalation allowed")
    options.append("--security-opt=no-new-privileges")
    if security.get("readOnlyRootFilesystem"):
        # Kubernetes adds no tmpfs where podman would by default.
        options += ["--read-only", "--read-only-tmpfs=false"]
    capabilities = security.get("capabilities", {})
    known(capabilities, {"drop", "add"}, "capabilities")
    options += ["--cap-drop=" + c.lower() for c in capabilities.get("drop", [])]
    options += ["--cap-add=" + c.lower() for c in capabilities.get("add", [])]

    limits = container.get("resources", {}).get("limits", {})
    known(limits, {"cpu", "memory"}, "limits")
    if "memory" in limits:
        options.append("--memory=%d" % quantity(limits["memory"]))
    if "cpu" in limits:
        cpu = limits["cpu"]
        options.append("--cpus=%g" % (int(cpu[:-1]) / 1000 if cpu.endswith("m") else float(cpu)))

    volumes = {v["name"]: v for v in pod.get("volumes", [])}
    for mount in container.get("volumeMounts", []):
        known(mount, {"name", "mountPath", "readOnly"}, "volumeMount")
        volume = volumes[mount["name"]]
        known(volume, {"name", "hostPath", "emptyDir"}, "volume " + mount["name"])
        if "hostPath" in volume:
            host = volume["hostPath"]
            source = node + host["path"]
            if host.get("type") == "DirectoryOrCreate":
                os.makedirs(source, exist_ok=True)
            elif host.get("type") != "Directory" or not os.path.isdir(source):
                fail(f"hostPath {host['path']}: {host.get('type')} is not a directory on the node")
        else:
            source = os.path.join(pod_dir, mount["name"])
            empty = volume["emptyDir"]
            known(empty, {"medium", "sizeLimit"}, "emptyDir " + mount["name"])
            if not os.path.isdir(source):
                os.makedirs(source)
                if empty.get("medium") == "Memory":
                    size = quantity(empty.get("sizeLimit", "64Mi"))
                    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size},mode=0777",
                                    "vmd-emptydir", source], check=True)
                os.chmod(source, 0o777)  # as the kubelet makes an emptyDir
        # A bind mount as the kubelet's: recursive, read-only at its top.
        options.append("--volume=%s:%s:%s" % (source, mount["mountPath"],
                                              "ro" if mount.get("readOnly") else "rw"))

    args = [a if not a.startswith("--interval=") else "--interval=%s" % interval
            for a in container["args"]]
    return options, container["image"], args


def read_only(objects_file, name):
    _, container = container_of(objects_file, name)
    return [m["mountPath"] for m in container.get("volumeMounts", []) if m.get("readOnly")]


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


# The file systems a node mounts beneath /sys and /proc that stay writable
# to root beneath a read-only hostPath, with files as their owner, root,
# has them: a cgroup's limits, an EFI variable, the binfmt_misc registry.
SUBMOUNTS = {
    "/sys/fs/cgroup": {"cgroup.procs": 0o644, "kubepods.slice/memory.max": 0o644,
                       "memory.max": 0o644},
    "/sys/firmware/efi/efivars": {"Boot0000-8be4df61-93ca-11d2-aa0d-00e098032b8c": 0o644},
    "/proc/sys/fs/binfmt_misc": {"register": 0o200, "status": 0o644},
}


def submounts(root):
    for at, files in SUBMOUNTS.items():
        os.makedirs(root + at)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m,mode=0755", "vmd-standin",
                        root + at], check=True)
        for name, mode in files.items():
            put(root, f"{at}/{name}", b"max\n" if name.endswith("max") else b"1\n", mode)


def nodes(top):
    # A QEMU guest: DMI through the class directory's relative link, the raw
    # SMBIOS BIOS Information structure readable by root only, and the
    # writable file systems beneath /sys and /proc.
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
    submounts(vm)

    # An arm64 guest: the device tree through /proc's absolute link.
    arm = os.path.join(top, "arm64")
    base = "/sys/firmware/devicetree/base/"
    put(arm, base + "compatible", b"linux,dummy-virt\0")
    put(arm, base + "model", b"linux,dummy-virt\0")
    put(arm, base + "hypervisor/compatible", b"linux,kvm\0")
    link(arm, "/proc/device-tree", "/sys/firmware/devicetree/base")
    proc(arm, b"6.1.0-18-arm64\n", b"processor\t: 0\nBogoMIPS\t: 50.00\n")

    # The image's other platforms' guests: a PowerVM partition (its device
    # tree's HMC entries), a QEMU riscv64 machine (its device tree's model)
    # and a KVM guest on IBM Z (the control program in /proc/sysinfo).
    power = os.path.join(top, "ppc64le")
    put(power, base + "compatible", b"IBM,9009-42A\0")
    put(power, base + "model", b"IBM,9009-42A\0")
    put(power, base + "ibm,partition-name", b"node-7\0")
    put(power, base + "hmc-managed?", b"")
    link(power, "/proc/device-tree", "/sys/firmware/devicetree/base")
    proc(power, b"6.1.0-18-powerpc64le\n",
         b"processor\t: 0\ncpu\t\t: POWER9 (architected), altivec supported\n")
    riscv = os.path.join(top, "riscv64")
    put(riscv, base + "compatible", b"riscv-virtio\0")
    put(riscv, base + "model", b"riscv-virtio,qemu\0")
    link(riscv, "/proc/device-tree", "/sys/firmware/devicetree/base")
    proc(riscv, b"6.1.0-18-riscv64\n", b"processor\t: 0\nhart\t\t: 0\nisa\t\t: rv64imafdc\n")
    z = os.path.join(top, "s390x")
    put(z, "/proc/sysinfo", b"Manufacturer:         IBM\nType:                 8561\n"
        b"VM00 Name:            node-7\nVM00 Control Program: KVM/Linux\n")
    proc(z, b"6.1.0-18-s390x\n", b"vendor_id       : IBM/S390\n# processors    : 1\n")
    os.makedirs(z + "/sys/firmware")  # no DMI, no device tree

    # A Xen guest whose feature word is written 64 bits wide, its control
    # domain bit clear: a 32-bit tool reading it as a long would see the
    # word saturated, every bit set, and call the guest the host.
    xen = os.path.join(top, "xen")
    put(xen, "/sys/hypervisor/type", b"xen\n")
    put(xen, "/sys/hypervisor/properties/features", b"ffffffff000003ff\n")
    proc(xen, b"6.1.0-18-amd64\n")
    put(xen, "/proc/xen/capabilities", b"")

    # Hostile: links that try to leave the node's root for files the pod
    # has (its own /proc, the image's notices), a loop, odd bytes, a FIFO,
    # a socket and a device node at probe paths.
    hostile = os.path.join(top, "hostile")
    put(hostile, dmi + "sys_vendor", b'VMware"} 1\\\n\xff\xfe')
    link(hostile, "/sys/class/dmi/id", "../../../../../../../../../sys/devices/virtual/dmi/id")
    link(hostile, dmi + "product_name", "/usr/share/doc/libc6/copyright")
    link(hostile, dmi + "board_vendor", "../../../../../../../../../../proc/self/status")
    link(hostile, "/sys/hypervisor/type", "/proc/sys/kernel/osrelease/../../../../../etc/hostname")
    link(hostile, "/proc/device-tree", "/proc/device-tree")
    os.makedirs(hostile + "/sys/firmware/dmi/entries/0-0")
    os.mkfifo(hostile + "/sys/firmware/dmi/entries/0-0/raw")
    os.mknod(hostile + dmi + "bios_vendor", 0o644 | stat.S_IFCHR, os.makedev(1, 3))
    proc(hostile, b'6.1.0-microsoft-standard-WSL2"\\\xff\n')
    os.mknod(hostile + "/proc/sysinfo", 0o644 | stat.S_IFSOCK)
    link(hostile, "/proc/xen", "/host")
    for name in ("vm", "arm64", "ppc64le", "riscv64", "s390x", "xen", "hostile"):
        print(os.path.join(top, name))


def digest(top):
    out = []
    for directory, folders, files in os.walk(top):
        folders.sort()
        for name in sorted(folders + files):
            path = os.path.join(directory, name)
            st = os.lstat(path)
            line = f"{os.path.relpath(path, top)} {stat.filemode(st.st_mode)} {st.st_uid}:{st.st_gid}"
            if stat.S_ISREG(st.st_mode):
                with open(path, "rb") as f:
                    line += " " + hashlib.sha256(f.read()).hexdigest()
            elif stat.S_ISLNK(st.st_mode):
                line += " -> " + os.readlink(path)
            out.append(line)
    print("\n".join(out))


def index_of(oci):
    def blob(digest_):
        return os.path.join(oci, "blobs", "sha256", digest_.split(":")[1])

    with open(os.path.join(oci, "index.json"), encoding="utf-8") as f:
        top = json.load(f)["manifests"][0]
    with open(blob(top["digest"]), encoding="utf-8") as f:
        return json.load(f), blob


def platform_name(platform):
    return "/".join([platform["os"], platform["architecture"]] +
                    ([platform["variant"]] if "variant" in platform else []))


def index_platforms(oci):
    index, _ = index_of(oci)
    return [platform_name(m["platform"]) for m in index["manifests"]]


def platforms(objects_file, oci):
    pod = load(objects_file)["spec"]["template"]["spec"]
    if "nodeSelector" in pod:
        fail("a nodeSelector beside the affinity: one list selects the nodes")
    terms = pod["affinity"]["nodeAffinity"]["requiredDuringSchedulingIgnoredDuringExecution"][
        "nodeSelectorTerms"]
    if len(terms) != 1:
        fail("the node selection is not one term")
    selected = {}
    for expression in terms[0]["matchExpressions"]:
        if expression["operator"] != "In":
            fail(f"{expression['key']}: {expression['operator']}, not In")
        selected[expression["key"]] = sorted(expression["values"])
    image = index_platforms(oci)
    if len(set(image)) != len(image):
        fail(f"the image holds a platform twice: {image}")
    # A node's kubernetes.io/arch is its kubelet's GOARCH, which names no
    # variant: an arm/v7 node is "arm", and the runtime picks the variant
    # from the index. So one architecture may stand for several variants,
    # but never for two operating systems' builds.
    pairs = sorted({tuple(p.split("/")[:2]) for p in image})
    wanted = {"kubernetes.io/os": sorted({os_ for os_, _ in pairs}),
              "kubernetes.io/arch": sorted({arch for _, arch in pairs})}
    if selected != wanted or len(pairs) != len(wanted["kubernetes.io/arch"]):
        fail(f"the DaemonSet selects {selected}, the image holds {image}")
    print(" ".join(image))


# What a cluster that limits the critical classes gives its ResourceQuota
# admission (an AdmissionConfiguration's limitedResources).
LIMITED = [{"resource": "pods", "matchScopes": [
    {"scopeName": "PriorityClass", "operator": "In",
     "values": ["system-node-critical", "system-cluster-critical"]}]}]


def scope_matches(selector, pod):
    """Whether one scopeSelector expression holds for the pod (for the
    PriorityClass scope, the only one a pod's class bears on)."""
    if selector["scopeName"] != "PriorityClass":
        fail("a quota scope this check does not know: " + selector["scopeName"])
    name = pod.get("priorityClassName")
    operator = selector["operator"]
    if operator == "In":
        return name in selector["values"]
    if operator == "NotIn":
        return name is not None and name not in selector["values"]
    if operator == "Exists":
        return name is not None
    if operator == "DoesNotExist":
        return name is None
    fail("an unknown operator " + operator)
    return False


def admitted(objects_file, without=None):
    with open(objects_file, encoding="utf-8") as f:
        objects = [o for o in json.load(f) if o["kind"] != without]
    daemonset = next(o for o in objects if o["kind"] == "DaemonSet")
    namespace = daemonset["metadata"]["namespace"]
    pod = daemonset["spec"]["template"]["spec"]
    quotas = [o for o in objects if o["kind"] == "ResourceQuota"
              and o["metadata"].get("namespace") == namespace]
    for limit in LIMITED:
        limited = [s for s in limit["matchScopes"] if scope_matches(s, pod)]
        if not limited:
            continue
        # A quota covers the pod when every expression of its selector
        # matches it and one of them is on a limited scope.
        covered = any(
            expressions and all(scope_matches(e, pod) for e in expressions)
            and any(e["scopeName"] == s["scopeName"] for e in expressions for s in limited)
            for expressions in (q["spec"].get("scopeSelector", {}).get("matchExpressions", [])
                                for q in quotas))
        if not covered:
            fail(f"pods with {pod.get('priorityClassName')} in {namespace}: insufficient quota "
                 "to match these scopes")
    print(f"admitted in {namespace} with {pod.get('priorityClassName')}")


def layer(oci, platform, out):
    index, blob = index_of(oci)
    manifest = next((m for m in index["manifests"] if platform_name(m["platform"]) == platform),
                    None)
    if manifest is None:
        fail(f"the image has no {platform}")
    with open(blob(manifest["digest"]), encoding="utf-8") as f:
        layers = json.load(f)["layers"]
    if len(layers) != 1:
        fail(f"{platform}: {len(layers)} layers, not one")
    with tarfile.open(blob(layers[0]["digest"])) as tar:
        names = sorted(tar.getnames())
        if hasattr(tarfile, "data_filter"):
            tar.extractall(out, filter="data")
        else:
            tar.extractall(out)
    print("\n".join(names))


if __name__ == "__main__":
    command, arguments = (sys.argv[1], sys.argv[2:]) if len(sys.argv) > 1 else ("", [])
    if command == "run-args" and len(arguments) == 5:
        opts, image, args_ = run_args(*arguments)
        sys.stdout.write("\0".join(opts + [image] + args_) + "\0")
    elif command == "read-only" and len(arguments) == 2:
        print("\n".join(read_only(*arguments)))
    elif command == "user" and len(arguments) == 2:
        print("%d:%d" % user(*arguments))
    elif command == "nodes" and len(arguments) == 1:
        nodes(*arguments)
    elif command == "digest" and len(arguments) == 1:
        digest(*arguments)
    elif command == "platforms" and len(arguments) == 2:
        platforms(*arguments)
    elif command == "index" and len(arguments) == 1:
        print("\n".join(index_platforms(*arguments)))
    elif command == "admitted" and len(arguments) in (1, 3) and arguments[1:2] in ([], ["--without"]):
        admitted(arguments[0], *arguments[2:])
    elif command == "layer" and len(arguments) == 3:
        layer(*arguments)
    else:
        sys.exit(__doc__)
