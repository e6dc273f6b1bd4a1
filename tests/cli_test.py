#!/usr/bin/env python3
"""Tests of the vmd-detect command line: options and exit statuses, the
pretty and summary forms, --check, --capture with its round trips, a live
system's root, and repeat mode.

usage: cli_test.py VMD_DETECT TOOL_DOC (docs/vmd-detect.md)"""
import calendar
import contextlib
import datetime
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import schema_test  # noqa: E402  (the probe trees)

TOOL = ""
TOOL_DOC = ""
OPTIONS = ["--root", "--host-root", "--format", "--pretty", "--summary", "--output",
           "--interval", "--check", "--capture", "--help", "--version"]


def run(*args):
    done = subprocess.run([TOOL, *args], capture_output=True, check=False)
    return done.returncode, done.stdout.decode("ascii", "backslashreplace"), done.stderr


def without_duration(text):
    return re.sub(r',"duration_us":[0-9]+}$', "}", text.rstrip("\n"))


def compact(pretty):
    """Drops the whitespace outside strings."""
    out, in_string, escaped = [], False, False
    for c in pretty:
        if in_string:
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == '"':
                in_string = False
        elif c in " \n":
            continue
        else:
            in_string = c == '"'
        out.append(c)
    return "".join(out)


@contextlib.contextmanager
def started(*args, **options):
    """vmd-detect in the background; killed by its id if the test leaves it
    running."""
    process = subprocess.Popen([TOOL, *args], **options)
    try:
        yield process
    finally:
        if process.poll() is None:
            process.kill()
        process.wait(timeout=10)


def stopped(process, stop=signal.SIGTERM):
    """Sends `stop` to a running vmd-detect and returns its exit status."""
    process.send_signal(stop)
    return process.wait(timeout=10)


def tree_state(root):
    """Every entry beneath `root`: its kind and inode, and the bytes of a
    file or the target of a link."""
    state = {}
    for folder, dirs, names in os.walk(root):
        for name in dirs + names:
            full = os.path.join(folder, name)
            st = os.lstat(full)
            if os.path.islink(full):
                what = os.readlink(full)
            elif os.path.isfile(full):
                with open(full, "rb") as f:
                    what = f.read()
            else:
                what = None
            state[full[len(root):]] = (st.st_mode, st.st_ino, what)
    return state


def files_beneath(root):
    found = {}
    for folder, _, names in os.walk(root):
        for name in names:
            full = os.path.join(folder, name)
            with open(full, "rb") as f:
                found[full[len(root):]] = f.read()
    return found


class Tool(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="vmd-cli-")

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def tree(self, name, contents=None):
        root = os.path.join(self.scratch, name)
        os.mkdir(root)
        schema_test.build(root, schema_test.TREES[name] if contents is None else contents)
        return root

    def unprivileged(self, *paths):
        """Keyword arguments for subprocess that run vmd-detect as a user
        whom permissions bind (as root: nobody, owning `paths`)."""
        if os.geteuid() != 0:
            return {}
        nobody = {"user": 65534, "group": 65534, "extra_groups": []}
        try:  # the build may lie where nobody cannot reach it
            subprocess.run([TOOL, "--version"], capture_output=True, check=True, **nobody)
        except (OSError, subprocess.SubprocessError) as e:
            self.skipTest("cannot run vmd-detect as an unprivileged user: %s" % e)
        os.chmod(self.scratch, 0o755)
        for path in paths:
            for folder, dirs, names in os.walk(path):
                for name in [folder, *(os.path.join(folder, n) for n in dirs + names)]:
                    os.lchown(name, 65534, 65534)
        return nobody

    def test_help_and_tool_doc_list_every_option_and_exit_status(self):
        status, out, _ = run("--help")
        self.assertEqual(status, 0)
        with open(TOOL_DOC, encoding="utf-8") as f:
            doc = f.read()
        for option in OPTIONS:
            self.assertIn(option, out)
            self.assertTrue(("`vmd-detect " + option) in doc, option)
        for word in ("vm", "container", "compat", "cloud", "host", "machine identifiers"):
            self.assertIn(word, out)
        for code in "0123":
            self.assertRegex(out, r"\b%s\b" % code)
        version = json.loads(run()[1])["module_version"]
        for option in ("--version", "-V"):
            self.assertEqual(run(option), (0, "vmd-detect %s\n" % version, b""))

    def test_usage_errors_exit_2(self):
        file = os.path.join(self.scratch, "file")
        open(file, "w").close()
        for args in (["--bogus"], ["stray"], ["--root"], ["--root", file],
                     ["--root", os.path.join(self.scratch, "missing")], ["--check"],
                     ["--check", "vms"], ["--pretty", "--summary"], ["--pretty", "--pretty"],
                     ["--check", "vm", "--capture", self.scratch], ["--root", "/", "--root", "/"],
                     ["--root=" + file], ["--pretty=yes"], ["--", "--pretty"],
                     ["--format", "json", "--pretty"], ["--format", "nfd", "--format", "nfd"],
                     ["--output", file, "--check", "vm"], ["--output"], ["--output", ""],
                     ["--host-root", file], ["--host-root", ""], ["--root", "/", "--host-root", "/"],
                     ["--interval", "5"], ["--interval", "5", "--check", "vm"],
                     *(["--output", file, "--interval", n]
                       for n in ("0", "-1", "+5", "1.5", "5s", "", " 5", "2147483648"))):
            status, out, err = run(*args)
            self.assertEqual(status, 2, args)
            self.assertEqual(out, "", args)
            self.assertIn(b"vmd-detect:", err, args)
        # An unknown format is named, with the known ones.
        err = run("--format", "yaml")[2]
        for word in (b"yaml", b"json", b"prometheus", b"nfd", b"pretty", b"summary"):
            self.assertIn(word, err)

    def test_output_that_cannot_be_written_exits_3(self):
        for args in (["--help"], ["--version"], [], ["--format", "summary"]):
            with open("/dev/full", "wb") as full:
                done = subprocess.run([TOOL, *args], stdout=full, stderr=subprocess.PIPE)
            self.assertEqual(done.returncode, 3, args)
            self.assertIn(b"cannot write", done.stderr, args)

    def test_fleet_formats_say_what_the_report_says(self):
        sample = re.compile(r'^([a-z_]+)(?:\{(.*)\})? (\S+)$')
        prefix = "vm-detection.feature.node.kubernetes.io/"
        kinds = {"hypervisors": "hypervisor", "containers": "container",
                 "compatibility_layers": "compatibility_layer",
                 "host_hypervisors": "host_hypervisor", "cloud_providers": "cloud_provider"}
        heads = {"hypervisors": "hypervisor.", "cloud_providers": "cloud.",
                 "compatibility_layers": "compatibility-layer.",
                 "host_hypervisors": "host-hypervisor."}
        for name in schema_test.TREES:
            root = self.tree(name)
            report = json.loads(run("--root", root)[1])
            series = [sample.match(line).groups("")
                      for line in run("--root", root, "--format", "prometheus")[1].splitlines()
                      if not line.startswith("#")]
            self.assertIn(("vm_detection_info", 'likelihood="%s",module_version="1.0.0"'
                           % report["vm_likelihood"], "1"), series)
            self.assertIn(("vm_detection_vm_score", "", str(report["vm_score"])), series)
            self.assertEqual(
                [s[1] for s in series if s[0] == "vm_detection_environment"],
                ['kind="%s",vendor="%s"' % (kinds[k], v) for k in kinds for v in report[k]])
            statuses = [p["status"] for p in report["probes"]]
            self.assertEqual([s for s in series if s[0] == "vm_detection_probes"],
                             [("vm_detection_probes", 'status="%s"' % w, str(statuses.count(w)))
                              for w in ("ok", "unavailable", "error")])

            lines = run("--root", root, "--format", "nfd")[1].splitlines()
            self.assertTrue(all(line.startswith(prefix) for line in lines), lines)
            labels = dict(line[len(prefix):].split("=", 1) for line in lines)
            expected = {"vm": "true" if report["vm_likelihood"] in ("likely", "very_likely")
                        else "false",
                        "vm-likelihood": report["vm_likelihood"],
                        "vm-score": str(report["vm_score"])}
            expected.update({heads[k] + v: "true" for k in heads for v in report[k]})
            self.assertEqual(labels, expected, name)

    def test_output_holds_what_would_be_printed(self):
        root = self.tree("odd_bytes")
        target = os.path.join(self.scratch, "out", "vm_detection.prom")
        os.mkdir(os.path.dirname(target))
        with open(target, "w", encoding="ascii") as f:
            f.write("old contents, longer than any report would be\n" * 200)
        strip = lambda t: re.sub(r"(duration\S*[ :]+)[0-9.]+", r"\1", t)
        for args in (["--format", "prometheus"], ["--format", "nfd"], ["--pretty"],
                     ["--format", "summary"], []):
            self.assertEqual(run("--root", root, *args, "--output", target)[:2], (0, ""), args)
            with open(target, encoding="ascii", errors="backslashreplace") as f:
                self.assertEqual(strip(f.read()), strip(run("--root", root, *args)[1]), args)
            self.assertEqual(os.listdir(os.path.dirname(target)), ["vm_detection.prom"])

    def test_pretty_is_the_report_indented(self):
        root = self.tree("odd_bytes")
        status, plain, _ = run("--root", root)
        self.assertEqual(status, 0)
        status, pretty, _ = run("--root", root, "--pretty")
        self.assertEqual(status, 0)
        self.assertIn('\n  "vm_score": ', pretty)
        self.assertIn('"containers": [],', pretty)
        self.assertEqual(without_duration(compact(pretty)), without_duration(plain))
        status, live, _ = run("--pretty")
        self.assertEqual(status, 0)
        self.assertEqual(list(json.loads(live)), list(json.loads(plain)))

    def test_summary(self):
        status, out, _ = run("--root", self.tree("odd_bytes"), "--summary")
        self.assertEqual(status, 0)
        lines = out.split("\n")
        self.assertEqual(lines[0], "virtual machine: very likely (score 90): qemu")
        # Control bytes, DEL, bytes above 0x7f and backslashes come out escaped.
        self.assertIn(r'we"ird\\\x09\x1b[31m\x7f\xc3\xa9\x0a', out)
        self.assertTrue(all(0x20 <= ord(c) < 0x7f for c in out.replace("\n", "")))
        header = next(line for line in lines if line.lstrip().startswith("source"))
        rows = lines[lines.index(header) + 1:lines.index("probes:") - 1]
        self.assertEqual(len(rows), 2)
        for row in rows:  # aligned: each detail starts under its heading
            self.assertEqual(row[header.index("detail") - 1], " ", row)
            self.assertNotEqual(row[header.index("detail")], " ", row)
        self.assertIn("  system       error", out)

        out = run("--root", self.tree("podman_kubernetes"), "--summary")[1]
        self.assertIn("\ncontainers: podman, kubepods\n", out)
        out = run("--root", self.tree("empty"), "--summary")[1]
        self.assertTrue(out.startswith("virtual machine: unknown (score 0)\nprocessor: not captured;"
                                       " only the platform probes ran\n\nevidence: none\n"), out)

    def test_check(self):
        expected = {  # tree: the kinds found
            "kvm_guest": {"vm"}, "xen_dom0": {"host"}, "xen_domu_no_role": set(),
            "docker": {"container"}, "wsl2": {"vm", "compat"}, "aws": {"cloud"},
            "empty": set(),
        }
        for name, kinds in expected.items():
            root = self.tree(name)
            for kind in ("vm", "container", "compat", "cloud", "host"):
                status, out, _ = run("--root", root, "--check", kind)
                self.assertEqual(out, "")
                self.assertEqual(status, 0 if kind in kinds else 1, (name, kind))

    def capture(self, *args):
        target = os.path.join(self.scratch, "capture")
        return run(*args, "--capture", target), target

    def test_links_in_a_replayed_tree_stay_inside_it(self):
        """A stranger's capture must not make the report show this machine's
        files: an absolute link resolves as if the tree were /."""
        root = self.tree("links", {"/elsewhere/type": b"inside\n", "/sys/hypervisor": None})
        with open(os.path.join(self.scratch, "bait"), "wb") as f:
            f.write(b"outside\n")
        os.symlink(os.path.join(self.scratch, "bait"), root + "/sys/hypervisor/type")
        self.assertNotIn("outside", run("--root", root)[1])
        os.remove(root + "/sys/hypervisor/type")
        os.symlink("/elsewhere/type", root + "/sys/hypervisor/type")
        self.assertIn('"detail":"inside', run("--root", root)[1])

    def test_capture_refuses_unusable_targets(self):
        busy = os.path.join(self.scratch, "busy")
        os.mkdir(busy)
        open(os.path.join(busy, "keep"), "w").close()
        empty = os.path.join(self.scratch, "empty")
        os.mkdir(empty)
        link = os.path.join(self.scratch, "link")
        os.symlink(empty, link)
        for target in (busy, link, os.path.join(self.scratch, "no", "parent")):
            status, _, _ = run("--capture", target)
            self.assertEqual(status, 2, target)
        self.assertEqual(os.listdir(busy), ["keep"])
        self.assertEqual(os.listdir(empty), [])
        # An existing empty directory is used.
        self.assertEqual(run("--root", self.tree("docker"), "--capture", empty)[0], 0)
        self.assertIn(".dockerenv", os.listdir(empty))

    def test_capture_taken_again_replaces_the_earlier_one(self):
        """An init container may run again over its own output: a capture
        replaces an earlier one in the same directory, and nothing of the
        earlier one is left."""
        first = self.tree("kvm_guest")
        os.remove(first + "/proc/cpuinfo")
        os.mkdir(first + "/proc/cpuinfo")  # captured as a folder
        again = self.tree("docker")
        (status, _, _), target = self.capture("--root", first)
        self.assertEqual(status, 0)
        self.assertTrue(os.path.isdir(target + "/proc/cpuinfo"))
        (status, _, err), _ = self.capture("--root", again)
        self.assertEqual(status, 0, err)
        self.assertEqual(without_duration(run("--root", target)[1]),
                         without_duration(run("--root", again)[1]))
        fresh = os.path.join(self.scratch, "fresh")
        self.assertEqual(run("--root", again, "--capture", fresh)[0], 0)
        kinds = lambda state: {path: mode for path, (mode, _, _) in state.items()}
        self.assertEqual(kinds(tree_state(target)), kinds(tree_state(fresh)))
        # Not over the tree being captured: that would empty it first.
        before = tree_state(target)
        for source in (target, target + "/proc/self/", fresh + "/../capture"):
            status, _, err = run("--root", source, "--capture", target)
            self.assertEqual(status, 2, source)
            self.assertIn(b"holds the tree being captured", err)
        self.assertEqual(tree_state(target), before)

    def test_capture_refuses_a_directory_that_is_not_only_a_capture(self):
        """One entry that no capture writes, anywhere in the tree, and the
        directory is refused as not empty, left exactly as it was."""
        source = self.tree("kvm_guest")
        target = os.path.join(self.scratch, "capture")
        vendor = "/sys/class/dmi/id/sys_vendor"

        def instead(path, make):  # `make` in place of a file of the capture
            os.remove(target + path)
            make(target + path)

        for change in (lambda: open(target + "/notes", "w").close(),
                       lambda: open(target + "/sys/class/dmi/id/notes", "w").close(),
                       lambda: os.mkdir(target + "/sys/class/dmi/id/notes"),
                       lambda: instead("/proc/cpuinfo", lambda at: os.makedirs(at + "/notes")),
                       lambda: instead("/report.json", os.mkdir),
                       lambda: os.mkdir(target + "/.dockerenv"),  # a marker is a file
                       lambda: instead("/proc/sys/kernel/osrelease", os.mkfifo),
                       lambda: instead(vendor, lambda at: os.symlink("/report.json", at)),
                       lambda: os.symlink(target + vendor, target + "/sys/class/dmi/id/link")):
            self.assertEqual(self.capture("--root", source)[0][0], 0)
            change()
            before = tree_state(target)
            (status, _, err), _ = self.capture("--root", source)
            self.assertEqual(status, 2, sorted(before))
            self.assertIn(b"exists and is not empty", err)
            self.assertEqual(tree_state(target), before)
            shutil.rmtree(target)

    def test_capture_refuses_a_folder_it_cannot_read(self):
        """A folder of the earlier capture that cannot be listed or looked
        into may hold anything: refused, nothing removed, the folder named."""
        source = self.tree("kvm_guest")
        (status, _, _), target = self.capture("--root", source)
        self.assertEqual(status, 0)
        as_user = self.unprivileged(target)
        folder = target + "/sys/class/dmi"
        before, usual = tree_state(target), os.stat(folder).st_mode
        for mode in (0o000, 0o400):  # no listing; a listing but no look inside
            os.chmod(folder, mode)
            done = subprocess.run([TOOL, "--root", source, "--capture", target],
                                  capture_output=True, check=False, **as_user)
            os.chmod(folder, usual)
            self.assertEqual(done.returncode, 2, done.stderr)
            self.assertEqual(tree_state(target), before)
            self.assertRegex(done.stderr.decode(), r"\Avmd-detect: cannot read %s(/id)?: "
                             r"Permission denied\n\Z" % re.escape(folder))

    def test_capture_on_a_full_file_system_leaves_nothing(self):
        """A write that fails (no space left) fails the capture, and what it
        wrote goes, since a capture cut short would replay as some other
        machine; --output leaves no temporary file there either."""
        if os.geteuid() != 0 or shutil.which("unshare") is None:
            self.skipTest("a small file system of its own needs root and unshare")
        source = self.tree("kvm_guest")
        with open(source + "/proc/cpuinfo", "wb") as f:
            f.write(b"flags\t\t: fpu hypervisor\n" * 20000)  # 500 KB, under the limit
        small = os.path.join(self.scratch, "small")
        os.mkdir(small)
        # A tmpfs of 256 KiB in a mount namespace of its own, gone with it.
        script = ('mount -t tmpfs -o size=256k vmd-small "$1" || exit 77\n'
                  '"$2" --root "$3" --capture "$1/capture"; echo "capture $?"; ls -A "$1/capture"\n'
                  'head -c 1M /dev/zero >"$1/fill" 2>/dev/null\n'
                  '"$2" --root "$3" --output "$1/out"; echo "output $?"; ls -A "$1"\n')
        done = subprocess.run(["unshare", "-m", "sh", "-c", script, "sh", small, TOOL, source],
                              capture_output=True, timeout=60, check=False)
        if done.returncode != 0:
            self.skipTest("no tmpfs in a mount namespace here: %r" % done.stderr[-200:])
        self.assertEqual(done.stdout.decode().split("\n"),
                         ["capture 3", "output 3", "capture", "fill", ""], done.stderr)
        lines = done.stderr.decode().splitlines()
        self.assertEqual(len(lines), 2, lines)
        self.assertRegex(lines[0], "^vmd-detect: cannot write %s/capture/.*: No space left"
                         % re.escape(small))
        self.assertRegex(lines[1], "^vmd-detect: cannot write %s/out: No space left"
                         % re.escape(small))

    def test_capture_round_trips_every_tree(self):
        for name in schema_test.TREES:
            source = self.tree(name)
            target = os.path.join(self.scratch, name + "-capture")
            self.assertEqual(run("--root", source, "--capture", target)[0], 0, name)
            report = without_duration(run("--root", source)[1])
            self.assertEqual(without_duration(run("--root", target)[1]), report, name)
            captured = files_beneath(target)
            self.assertEqual(without_duration(captured.pop("/report.json").decode()), report)
            for path, contents in schema_test.TREES[name].items():
                if path in ("/proc/device-tree/ibm,partition-name", "/.dockerenv",
                            "/proc/device-tree/hmc-managed?", "/run/.containerenv"):
                    self.assertEqual(captured.pop(path), b"", path)  # markers only
                elif len(contents) > 1048576:  # kept one byte past the limit
                    self.assertEqual(captured.pop(path), contents[:1048577], path)
                else:
                    self.assertEqual(captured.pop(path), contents, path)
            self.assertEqual(captured, {}, name)  # no processor facts where there were none

    def test_capture_keeps_unreadable_files_unreadable(self):
        source = self.tree("kvm_guest")
        os.remove(source + "/sys/class/dmi/id/product_name")
        os.mkdir(source + "/sys/class/dmi/id/product_name")
        os.remove(source + "/proc/sys/kernel/osrelease")
        os.mkfifo(source + "/proc/sys/kernel/osrelease")
        os.remove(source + "/proc/cpuinfo")  # absent stays absent
        (status, _, _), target = self.capture("--root", source)
        self.assertEqual(status, 0)
        self.assertTrue(os.path.isdir(target + "/proc/sys/kernel/osrelease"))
        self.assertFalse(os.path.lexists(target + "/proc/cpuinfo"))
        self.assertTrue(os.path.isfile(target + "/sys/class/dmi/id/sys_vendor"))
        report = json.loads(run("--root", source)[1])
        self.assertIn("error", [p["status"] for p in report["probes"]])
        self.assertEqual(without_duration(run("--root", target)[1]),
                         without_duration(json.dumps(report, separators=(",", ":"))))

    def test_capture_holds_every_file_the_probes_touch(self):
        """Traces which files the probes open or test over a tree holding
        every probe file, and requires each of them in the capture."""
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        full = {}
        for tree in schema_test.TREES.values():
            if "/proc/cpuinfo" in tree and len(tree["/proc/cpuinfo"]) > 1048576:
                continue
            full.update(tree)
        full["/proc/device-tree/hypervisor/compatible"] = b"linux,dummy-virt\0"
        full["/proc/device-tree/chosen/qemu,graphic-width"] = b"\0\0\x04\0"
        source = self.tree("full", full)
        trace = os.path.join(self.scratch, "trace")
        # The probes open a tree one name at a time, or whole with openat2
        # (its links must not lead out): -y gives the directory of each.
        done = subprocess.run(["strace", "-f", "-qq", "-y", "-e", "trace=%file", "-o", trace, TOOL,
                               "--root", source], capture_output=True, check=False)
        if done.returncode != 0:
            self.skipTest("strace cannot trace here: %r" % done.stderr[-200:])
        with open(trace, encoding="utf-8", errors="replace") as f:
            opened = re.findall(r'at2?\(\d+<(%s(?:/[^>]*)?)>, "([^"]*)"' % re.escape(source),
                                f.read())
        # openat2 resolves a name that starts with "/" in the directory as root.
        touched = {os.path.join(d, name.lstrip("/"))[len(source):] for d, name in opened if name}
        touched = {path for path in touched if not os.path.isdir(source + path)}
        self.assertGreater(len(touched), 20)
        touched.discard("/processor")  # the capture's own record, not a probe file
        self.assertEqual(touched - set(full), set(), "probe files the test tree lacks; add them "
                         "to it and to src/linux/probe_files.h")
        (status, _, _), target = self.capture("--root", source)
        self.assertEqual(status, 0)
        self.assertEqual(touched - set(files_beneath(target)), set())

    def test_capture_of_this_machine_replays_its_report(self):
        # Twice, as an init container that runs again: the second replaces
        # the first, processor facts and all.
        for _ in range(2):
            (status, _, err), target = self.capture()
            self.assertEqual(status, 0, err)
        with open(os.path.join(target, "report.json"), encoding="ascii") as f:
            stored = f.read()
        self.assertEqual(without_duration(run("--root", target)[1]), without_duration(stored))
        live = json.loads(run()[1])
        self.assertEqual([p["source"] for p in json.loads(stored)["probes"]],
                         [p["source"] for p in live["probes"]])

    def test_hand_written_processor_files(self):
        root = self.tree("empty")
        processor = os.path.join(root, "processor")

        def replay(text, *args):
            with open(processor, "w", encoding="ascii") as f:
                f.write(text)
            return run("--root=" + root, *args)

        # A Hyper-V root partition: the hypervisor bit, "Microsoft Hv" with the
        # privilege leaf in range, CreatePartitions and CpuManagement.
        hyperv_root = ("vmd-processor 1\n# a Windows host\n\n"
                       "cpuid 0x1 0x0 0x000906ea 0x00100800 0xfffa3203 0x1f8bfbff\n"
                       "cpuid 0x40000000 0x0 0x4000000c 0x7263694d 0x666f736f 0x76482074\n"
                       "cpuid 0x40000003 0x0 0x00002fff 0x003b9031 0x00000002 0x00bed7b2\n")
        status, out, _ = replay(hyperv_root, "--")
        report = json.loads(out)
        self.assertEqual(status, 0)
        self.assertEqual(report["host_hypervisors"], ["hyperv"])
        self.assertEqual((report["probes"][0], report["probes"][-1]),
                         ({"source": "cpu", "status": "ok"},
                          {"source": "timing", "status": "unavailable"}))
        self.assertEqual(replay("vmd-processor 1\ntiming 1 1 5000\n", "--check", "vm")[0], 1)

        for text, line in (("vmd-processor 2\n", 1), ("", 1),
                           (hyperv_root + "cpuid 0x1 0x0 0x0 0x0 0x0 0x0\n", 7),
                           ("vmd-processor 1\ncpuid 0x1 0x0 0x1 0x1 0x1\n", 2),
                           ("vmd-processor 1\ncpuid 0x100000000 0x0 0x0 0x0 0x0 0x0\n", 2),
                           ("vmd-processor 1\n\ntiming 1 1 18446744073709551616\n", 3),
                           ("vmd-processor 1\ntiming 0 1 5\n", 2)):
            status, out, err = replay(text)
            self.assertEqual((status, out), (2, ""), text)
            self.assertIn(("%s:%d: " % (processor, line)).encode(), err, text)
            self.assertEqual(err.count(b"\n"), 1, err)

    def test_host_root_is_a_live_systems_root(self):
        # A node's root: an absolute link for the device tree, a relative one
        # for the DMI class, and a link that tries to leave.
        node = self.tree("node", {"/sys/devices/virtual/dmi/id/sys_vendor": b"QEMU\n",
                                  "/sys/firmware/devicetree/base/compatible": b"linux,dummy-virt\0"})
        os.makedirs(node + "/sys/class/dmi")
        os.symlink("../../devices/virtual/dmi/id", node + "/sys/class/dmi/id")
        os.makedirs(node + "/proc")
        os.symlink("/sys/firmware/devicetree/base", node + "/proc/device-tree")
        os.symlink("../../../../../../../../" + self.scratch + "/outside", node + "/.dockerenv")
        open(os.path.join(self.scratch, "outside"), "w").close()
        report = json.loads(run("--host-root", node)[1])
        self.assertEqual([(p["source"], p["status"]) for p in report["probes"]][1:4],
                         [("firmware", "ok"), ("firmware", "unavailable"), ("device_tree", "ok")])
        self.assertEqual(report["hypervisors"][-1:], ["qemu"])
        self.assertEqual(report["containers"], [])
        # The processor is asked, as on the system itself: its probes come
        # first and last, as in a live run.
        live = json.loads(run()[1])["probes"]
        self.assertEqual((report["probes"][0], report["probes"][-1]), (live[0], live[-1]))

    def wait_for(self, what, condition):
        for _ in range(300):
            if condition():
                return
            time.sleep(0.05)
        self.fail("waited 15 s for " + what)

    def test_expiry_needs_no_time_zone(self):
        """The C library's time functions read $TZ on first use: a FIFO
        there would block the writer. The longest interval puts the expiry
        two centuries on, past 2038."""
        root = self.tree("kvm_guest")
        fifo = os.path.join(self.scratch, "zone")
        os.mkfifo(fifo)
        target = os.path.join(self.scratch, "vm-detection")
        interval = 2147483647
        # time(2) reads the kernel's coarse clock, which may still show the
        # last second for a tick after time.time() has passed it.
        before = int(time.time()) - 1
        with started("--root", root, "--format", "nfd", "--interval", str(interval),
                     "--output", target, env=dict(os.environ, TZ=fifo)) as writer:
            self.wait_for("the file", lambda: os.path.exists(target))
            after = int(time.time()) + 1
            self.assertEqual(stopped(writer), 0)
        with open(target, encoding="ascii") as f:
            first = f.readline()
        epoch = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
        expected = [(epoch + datetime.timedelta(seconds=t + 3 * interval))
                    .strftime("# +expiry-time=%Y-%m-%dT%H:%M:%SZ\n")
                    for t in range(before, after + 1)]
        self.assertIn(first, expected)

    def test_interval_rewrites_until_stopped(self):
        root = self.tree("kvm_guest")
        folder = os.path.join(self.scratch, "features.d")
        os.mkdir(folder)
        target = os.path.join(folder, "vm-detection")
        once = run("--root", root, "--format", "nfd")[1]
        wait_for = self.wait_for
        complaints = os.path.join(self.scratch, "stderr")
        for stop in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with open(complaints, "wb") as err:
                writer = subprocess.Popen([TOOL, "--root", root, "--format", "nfd",
                                           "--interval", "1", "--output", target], stderr=err)
            try:
                wait_for("the file", lambda: os.path.exists(target))
                with open(target, encoding="ascii") as f:
                    first, rest = f.read().split("\n", 1)
                written = os.stat(target).st_mtime
                expiry = calendar.timegm(time.strptime(first, "# +expiry-time=%Y-%m-%dT%H:%M:%SZ"))
                self.assertTrue(written + 1 < expiry <= written + 3, (first, written))
                self.assertEqual(rest, once)
                if stop == signal.SIGTERM:
                    # A round that cannot write is told, and the next one writes again.
                    shutil.rmtree(folder)
                    wait_for("the complaint", lambda: os.path.getsize(complaints) > 0)
                    os.mkdir(folder)
                    wait_for("the file again", lambda: os.path.exists(target))
            finally:
                writer.send_signal(stop)
                self.assertEqual(writer.wait(timeout=10), 0, stop)
            with open(complaints, "rb") as f:
                err = f.read()
            self.assertEqual(err.count(b"cannot write"), err.count(b"\n"), err)
            self.assertEqual(os.listdir(folder), ["vm-detection"])  # labels that expire stay
            os.remove(target)

    def test_repeat_mode_gives_up_when_rounds_fail(self):
        """Exit 3 at once when the first round fails, since nothing was ever
        written, and after three failed rounds in a row once something was;
        one failed round is told and the next writes again. Giving up
        removes nothing."""
        root = self.tree("kvm_guest")
        blocker = os.path.join(self.scratch, "not-a-directory")
        open(blocker, "w").close()
        # A parent that is a regular file: no user, root included, writes there.
        for target in (os.path.join(blocker, "vm_detection.prom"),
                       os.path.join(self.scratch, "missing", "vm_detection.prom")):
            with started("--root", root, "--format", "prometheus", "--interval", "1",
                         "--output", target, stderr=subprocess.PIPE) as writer:
                err = writer.communicate(timeout=10)[1]
            self.assertEqual(writer.returncode, 3, err)
            self.assertEqual(err.count(b"cannot write"), 1, err)

        real = os.path.join(self.scratch, "real")
        os.mkdir(real)
        file = os.path.join(real, "vm_detection.prom")
        link = os.path.join(self.scratch, "vm_detection.prom")

        def point(to):  # the link, replaced at once
            os.symlink(to, link + ".new")
            os.replace(link + ".new", link)

        def complaints():
            with open(errors, "rb") as f:
                return f.read()

        point(file)
        errors = os.path.join(self.scratch, "stderr")
        with open(errors, "wb") as err, \
                started("--root", root, "--format", "prometheus", "--interval", "1",
                        "--output", link, stderr=err) as writer:
            self.wait_for("the file", lambda: os.path.exists(file))
            point(os.path.join(self.scratch, "missing", "vm_detection.prom"))
            self.wait_for("the complaint", lambda: b"cannot write" in complaints())
            inode = os.stat(file).st_ino
            point(file)
            self.wait_for("the file again", lambda: os.stat(file).st_ino != inode)
            told = complaints().count(b"cannot write")
            # A count of failures that the good round did not reset would
            # end the writer sooner.
            point(os.path.join(self.scratch, "missing", "vm_detection.prom"))
            self.assertEqual(writer.wait(timeout=20), 3)
        self.assertEqual(complaints().count(b"cannot write"), told + 3, complaints())
        self.assertIn(b"giving up", complaints())
        self.assertTrue(os.path.isfile(file))

    def test_stop_removes_only_its_own_file_without_expiry(self):
        """A stop removes the last file written unless it carries an expiry
        (nfd), so that a writer that is gone leaves nothing reporting: the
        file that a link led to, not the link, and not a file that another
        writer put in its place meanwhile; none of this, nor a file already
        gone, is worth a word."""
        root = self.tree("kvm_guest")
        real = os.path.join(self.scratch, "real")
        os.mkdir(real)
        file = os.path.join(real, "vm_detection.prom")
        link = os.path.join(self.scratch, "vm_detection.prom")
        os.symlink(file, link)

        def write(format, interval="1", meanwhile=lambda: None):
            with started("--root", root, "--format", format, "--interval", interval,
                         "--output", link, stderr=subprocess.PIPE) as writer:
                self.wait_for("the file", lambda: os.path.exists(file))
                meanwhile()
                writer.send_signal(signal.SIGTERM)
                self.assertEqual(writer.communicate(timeout=10)[1], b"")
                self.assertEqual(writer.returncode, 0)

        for format in ("prometheus", "json"):
            write(format)
            self.assertEqual(os.listdir(real), [], format)
            self.assertTrue(os.path.islink(link))
        write("nfd")
        self.assertEqual(os.listdir(real), ["vm_detection.prom"])

        def newer_writer():  # the interval is long: the first writer writes no more
            with open(file + ".new", "w", encoding="ascii") as f:
                f.write("newer\n")
            os.replace(file + ".new", file)

        os.remove(file)
        write("prometheus", "3600", lambda: os.remove(file))
        write("prometheus", "3600", newer_writer)
        with open(file, encoding="ascii") as f:
            self.assertEqual(f.read(), "newer\n")

    def test_stop_names_a_file_it_cannot_remove(self):
        """A file the stop finds and cannot remove (a folder not writable,
        or not even searchable) stays and is named; the exit is still 0."""
        root = self.tree("kvm_guest")
        folder = os.path.join(self.scratch, "out")
        os.mkdir(folder)
        file = os.path.join(folder, "vm_detection.prom")
        as_user = self.unprivileged(folder)
        for mode in (0o555, 0o444):
            with started("--root", root, "--format", "prometheus", "--interval", "3600",
                         "--output", file, stderr=subprocess.PIPE, **as_user) as writer:
                self.wait_for("the file", lambda: os.path.exists(file))
                os.chmod(folder, mode)
                writer.send_signal(signal.SIGTERM)
                err = writer.communicate(timeout=10)[1]
            os.chmod(folder, 0o755)
            self.assertEqual((writer.returncode, err),
                             (0, b"vmd-detect: cannot remove %s: Permission denied\n"
                              % file.encode()), mode)
            os.remove(file)

if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    TOOL, TOOL_DOC = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=1)
