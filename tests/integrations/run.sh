#!/usr/bin/env bash
# The fleet side of vmd-detect against the real clients: node_exporter's
# textfile collector (scraped on 127.0.0.1) and promtool for --format
# prometheus, kubectl for --format nfd, Ansible and Facter for the facts,
# systemd-analyze for the units, and the script the service runs. Builds
# vmd-detect in build-integrations and installs it into a scratch prefix,
# so that the installed units and facts name the scratch binary. Every
# client runs under a timeout; node_exporter is stopped by its PID on exit.
#
#   tests/integrations/run.sh
set -uo pipefail
cd "$(dirname "$0")/../.." || exit

# What the unit reached (systemd 252), as systemd-analyze's --threshold
# counts: exposure times ten. Lower it when the unit gets tighter.
exposure_limit=5

# shellcheck source=tests/check.sh
. tests/check.sh

scratch=$(mktemp -d /tmp/vmd-integrations-XXXXXX)
exporter=""
cleanup() {
  if [ -n "$exporter" ]; then
    kill "$exporter" 2>/dev/null
    wait "$exporter" 2>/dev/null
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "== build and install into $scratch/prefix"
prefix=$scratch/prefix
# Configured for the default prefix and installed with --prefix, as the
# README's recipe does: the units and facts must name the scratch binary.
if ! { cmake -S . -B build-integrations -DVMD_BUILD_TESTS=OFF -DVMD_BUILD_BENCHMARKS=OFF \
         -DVMD_WARNINGS_AS_ERRORS=ON -UCMAKE_INSTALL_PREFIX >/dev/null &&
       cmake --build build-integrations -j"$(nproc)" >/dev/null &&
       cmake --install build-integrations --prefix "$prefix" >/dev/null; }; then
  echo "integrations: the build failed" >&2
  exit 1
fi
vmd_bin=$prefix/bin/vmd-detect
vmd=(timeout 30 "$vmd_bin")  # a run takes milliseconds; the timeout only guards a hang
share=$prefix/share/vmd-detect
units=("$prefix/lib/systemd/system/vmd-detect.service" "$prefix/lib/systemd/system/vmd-detect.timer")
# The clients get a home of their own, and no configuration of this machine.
export HOME=$scratch/home
mkdir -p "$HOME"

# Probe trees. put ROOT PATH TEXT writes TEXT (printf escapes) beneath ROOT.
put() {
  mkdir -p "$(dirname "$1/$2")"
  printf "$3" >"$1/$2"
}
vm=$scratch/vm  # a QEMU guest with SeaBIOS
put "$vm" sys/class/dmi/id/sys_vendor 'QEMU\n'
put "$vm" sys/class/dmi/id/product_name 'Standard PC (Q35 + ICH9, 2009)\n'
put "$vm" sys/class/dmi/id/bios_vendor 'SeaBIOS\n'
put "$vm" proc/sys/kernel/osrelease '6.1.0-18-amd64\n'
put "$vm" proc/self/cgroup '0::/\n'
# SMBIOS BIOS Information: SeaBIOS, "virtual machine" among its
# characteristics; root-only (0400) as in sysfs.
put "$vm" sys/firmware/dmi/entries/0-0/raw \
  '\x00\x18\x00\x00\x01\x02\x00\xe8\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x01\x14\x00\x00\x00\x00SeaBIOS\x001.0\x0004/01/2014\x00\x00'
chmod 0400 "$vm/sys/firmware/dmi/entries/0-0/raw"
# Firmware strings with quotes, backslashes, newlines, "} 1" and bytes that
# are not UTF-8, wherever the probes read text.
hostile=$scratch/hostile
put "$hostile" sys/class/dmi/id/sys_vendor 'QEMU"} 1\\\n\xff\xfe'
put "$hostile" sys/class/dmi/id/product_name 'Standard PC "\\ \n} 1 \xc3\xa9\x80'
put "$hostile" sys/class/dmi/id/bios_vendor 'Amazon EC2 \\"\n'
put "$hostile" sys/class/dmi/id/board_vendor 'Amazon EC2"} 1\n\xff'
put "$hostile" sys/class/dmi/id/chassis_asset_tag 'Amazon EC2"} 1\n\x80\xff'
put "$hostile" proc/device-tree/model 'linux,dummy-virt\x00"}\\\n\xff'
put "$hostile" proc/self/cgroup '0::/docker/"} 1\\\n\xff\n1:name=x:/lxc/a\xfe"\n'
put "$hostile" run/systemd/container 'lxc"} 1\\\n\xff'
put "$hostile" proc/sys/kernel/osrelease '6.1.0-microsoft-standard-WSL2"\\\xff\n'
trees=(live vm hostile)
root_args() { [ "$1" = live ] || printf '%s\n' --root "$scratch/$1"; }

echo "== node_exporter's textfile collector"
textfile=$scratch/textfile
mkdir "$textfile"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
timeout 100 prometheus-node-exporter --collector.disable-defaults --collector.textfile \
  --collector.textfile.directory="$textfile" --web.listen-address="127.0.0.1:$port" \
  >"$scratch/exporter.log" 2>&1 &
exporter=$!
scrape() { curl -sf --max-time 5 "http://127.0.0.1:$port/metrics" >"$scratch/scrape"; }
for _ in $(seq 50); do scrape && break; sleep 0.2; done
check "node_exporter answers on 127.0.0.1:$port" scrape

has() { grep -qxF "$1" "$scratch/scrape" || { echo "  not in the scrape: $1"; return 1; }; }
family() { grep -q "^$1[{ ]" "$scratch/scrape" || { echo "  no $1 in the scrape"; return 1; }; }
scraped_cleanly() {  # tree
  local tree=$1 score args
  mapfile -t args < <(root_args "$tree")
  "${vmd[@]}" "${args[@]}" --format prometheus --output "$textfile/vm_detection.prom" && scrape &&
    has 'node_textfile_scrape_error 0' && family vm_detection_info &&
    family vm_detection_vm_score && family vm_detection_probes &&
    family vm_detection_duration_seconds || return 1
  # The scraped score is the report's.
  score=$("${vmd[@]}" "${args[@]}" | python3 -c 'import json, sys; print(json.load(sys.stdin)["vm_score"])')
  has "vm_detection_vm_score $score"
}
for tree in "${trees[@]}"; do
  check "node_exporter reads the $tree metrics without a scrape error" scraped_cleanly "$tree"
done
vm_metrics() {
  "${vmd[@]}" --root "$vm" --format prometheus --output "$textfile/vm_detection.prom" && scrape &&
    has 'vm_detection_environment{kind="hypervisor",vendor="qemu"} 1' &&
    has 'vm_detection_info{likelihood="very_likely",module_version="1.0.0"} 1' &&
    has 'vm_detection_probes{status="error"} 0'
}
check "the QEMU guest's hypervisor and verdict in the scrape" vm_metrics

promtool_clean() {  # tree
  local out args
  mapfile -t args < <(root_args "$1")
  out=$("${vmd[@]}" "${args[@]}" --format prometheus | timeout 30 promtool check metrics 2>&1) &&
    [ -z "$out" ] || { echo "  $out"; return 1; }
}
for tree in "${trees[@]}"; do
  check "promtool check metrics: the $tree metrics, no complaint" promtool_clean "$tree"
done

echo "== Node Feature Discovery labels through kubectl"
printf 'apiVersion: v1\nkind: Node\nmetadata:\n  name: vmd-integrations\n' >"$scratch/node.yaml"
labels_apply() {  # tree
  local nfd=$scratch/nfd-$1 vm_label=false args labels
  mapfile -t args < <(root_args "$1")
  "${vmd[@]}" "${args[@]}" --format nfd --output "$nfd" || return 1
  mapfile -t labels <"$nfd"
  ((${#labels[@]} >= 3)) || { echo "  only ${#labels[@]} labels"; return 1; }
  KUBECONFIG=$scratch/no-kubeconfig timeout 30 kubectl label --local -f "$scratch/node.yaml" \
    -o json "${labels[@]}" >"$nfd.json" || return 1
  # Every line is on the node as it was written, and vm=true agrees with
  # --check vm.
  "${vmd[@]}" "${args[@]}" --check vm && vm_label=true
  python3 - "$nfd" "$nfd.json" "$vm_label" <<'EOF'
import json, sys
wanted = dict(line.rstrip("\n").split("=", 1) for line in open(sys.argv[1]))
labels = json.load(open(sys.argv[2]))["metadata"].get("labels", {})
vm = wanted.get("vm-detection.feature.node.kubernetes.io/vm")
if labels != wanted or vm != sys.argv[3]:
    sys.exit(f"  labels {labels}, written {wanted}, --check vm says {sys.argv[3]}")
EOF
}
for tree in "${trees[@]}"; do
  check "kubectl applies the $tree labels, vm= as --check vm says" labels_apply "$tree"
done
check "the QEMU guest is labelled hypervisor.qemu" \
  grep -qx 'vm-detection.feature.node.kubernetes.io/hypervisor.qemu=true' "$scratch/nfd-vm"

echo "== the facts"
fleet_files_name_the_prefix() {
  local configured stray
  configured=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' build-integrations/CMakeCache.txt)
  stray=$(grep -l "$configured/" "$share/refresh" "$share/ansible/vm_detection.fact" \
            "$share/facter/vm_detection" "${units[0]}")
  [ -z "$stray" ] || { echo "  name $configured: $stray"; return 1; }
  grep -q "^vmd=$vmd_bin\$" "$share/refresh" && grep -q "^ExecStart=$share/refresh\$" "${units[0]}"
}
check "the units, the refresh and the facts of an install with --prefix name its paths" \
  fleet_files_name_the_prefix
likelihood() { python3 -c 'import json, sys; print(json.load(sys.stdin)["vm_likelihood"])'; }
own=$("${vmd[@]}" | likelihood)
facts=$scratch/facts.d
mkdir "$facts"
ln -s "$share/ansible/vm_detection.fact" "$share/facter/vm_detection" "$facts/"
ansible_fact() {
  local got
  printf '' >"$scratch/ansible.cfg"
  got=$(ANSIBLE_CONFIG=$scratch/ansible.cfg ANSIBLE_HOME=$HOME/.ansible ANSIBLE_NOCOLOR=1 \
          ANSIBLE_LOCALHOST_WARNING=False timeout 90 ansible localhost -i localhost, -c local \
          -m setup -a "filter=ansible_local fact_path=$facts" 2>&1 |
        python3 -c '
import json, sys
text = sys.stdin.read()
print(json.loads(text[text.index("{"):])["ansible_facts"]["ansible_local"]["vm_detection"]["vm_likelihood"])
') && [ "$got" = "$own" ] || { echo "  Ansible: ${got:-nothing}, vmd-detect: $own"; return 1; }
}
check "ansible_local.vm_detection.vm_likelihood is vmd-detect's" ansible_fact
facter_fact() {
  local got
  got=$(timeout 60 facter --no-custom-facts --external-dir "$facts" --json vm_detection |
        python3 -c 'import json, sys; print(json.load(sys.stdin)["vm_detection"]["vm_likelihood"])') &&
    [ "$got" = "$own" ] || { echo "  Facter: ${got:-nothing}, vmd-detect: $own"; return 1; }
}
check "Facter's structured vm_detection fact is vmd-detect's" facter_fact
facter_failure() {
  # The same fact over a vmd-detect that prints half a report and fails.
  local out
  printf '#!/bin/sh\nprintf "{\\"partial"\nexit 3\n' >"$scratch/failing"
  chmod +x "$scratch/failing"
  sed "s|$vmd_bin|$scratch/failing|" "$share/facter/vm_detection" >"$scratch/facter-fact"
  ! out=$(timeout 30 sh "$scratch/facter-fact") && [ -z "$out" ]
}
check "the Facter fact prints nothing and fails when vmd-detect fails" facter_failure

echo "== the units"
verify_units() {
  local out
  out=$(MANPATH=$prefix/share/man timeout 60 systemd-analyze verify "${units[@]}" 2>&1) &&
    [ -z "$out" ] || { echo "$out"; return 1; }
}
check "systemd-analyze verify: no complaint" verify_units
exposure() {
  local out
  out=$(timeout 60 systemd-analyze security --offline=yes --threshold="$exposure_limit" \
          "${units[0]}" 2>&1)
  local status=$?
  echo "  ${out##*→ }"
  return $status
}
check "systemd-analyze security: exposure at most 0.$exposure_limit" exposure

echo "== the service's refresh script"
refresh() {  # prometheus directory, NFD directory
  VMD_PROMETHEUS_DIR=$1 VMD_NFD_DIR=$2 timeout 30 "$share/refresh" 2>"$scratch/refresh.err"
}
only_prometheus() {
  mkdir -p "$scratch/r1" && refresh "$scratch/r1" "$scratch/r1/missing" &&
    grep -q '^vm_detection_info{' "$scratch/r1/vm_detection.prom"
}
check "refresh without NFD: the metrics written, exit 0" only_prometheus
only_nfd() {
  mkdir -p "$scratch/r2" && refresh "$scratch/r2/missing" "$scratch/r2" &&
    grep -q '^vm-detection.feature.node.kubernetes.io/vm=' "$scratch/r2/vm-detection"
}
check "refresh without node_exporter: the labels written, exit 0" only_nfd
failed_write() {
  # The metrics file cannot be replaced (a directory is in its place): the
  # run fails, but only after the labels were written.
  mkdir -p "$scratch/r3/prom/vm_detection.prom" "$scratch/r3/nfd"
  ! refresh "$scratch/r3/prom" "$scratch/r3/nfd" && [ -s "$scratch/r3/nfd/vm-detection" ]
}
check "refresh with a failed write: the other file written, exit non-zero" failed_write
if [ "$(id -u)" -eq 0 ]; then
  # The unit's privileges, as far as they can be had outside systemd: root
  # without any capability, no new privileges, no network.
  unit_like() { unshare -n setpriv --bounding-set=-all --inh-caps=-all --no-new-privs "$@"; }
  same_without_privileges() {
    local tree args
    for tree in live vm; do
      mapfile -t args < <(root_args "$tree")
      cmp -s <("${vmd[@]}" "${args[@]}" --format prometheus | grep -v duration_seconds) \
        <(unit_like "${vmd[@]}" "${args[@]}" --format prometheus | grep -v duration_seconds) ||
        { echo "  the $tree report differs without privileges"; return 1; }
    done
    mkdir -p "$scratch/r4" &&
      VMD_PROMETHEUS_DIR=$scratch/r4 VMD_NFD_DIR=$scratch/r4 unit_like timeout 30 "$share/refresh" &&
      [ -s "$scratch/r4/vm_detection.prom" ] && [ -s "$scratch/r4/vm-detection" ]
  }
  check "the probes and the refresh as root without capabilities or network" same_without_privileges
fi
# The unit's system-call filter cannot be applied outside systemd, so the
# calls the refresh makes (traced) are held against the sets the unit names:
# a call outside them would fail with EPERM and a probe would quietly read
# "error" or "unavailable".
syscall_set() {  # @group: its calls, groups expanded
  systemd-analyze syscall-filter "$1" | awk 'NR > 1 && !/^ *#/ && NF { print $1 }' |
    while read -r call; do
      case $call in @*) syscall_set "$call" ;; *) echo "$call" ;; esac
    done
}
filter_allows_refresh() {
  local line allowed=$scratch/allowed denied=$scratch/denied
  : >"$allowed"
  : >"$denied"
  while read -r line; do
    if [[ $line == "~"* ]]; then
      for group in ${line#"~"}; do syscall_set "$group" >>"$denied"; done
    else
      for group in $line; do syscall_set "$group" >>"$allowed"; done
    fi
  done < <(sed -n 's/^SystemCallFilter=//p' "${units[0]}")
  mkdir -p "$scratch/r5"
  VMD_PROMETHEUS_DIR=$scratch/r5 VMD_NFD_DIR=$scratch/r5 timeout 60 \
    strace -f -qq -o "$scratch/calls" "$share/refresh" || return 1
  sed -n 's/^[0-9]* *\([a-z0-9_]*\)(.*/\1/p' "$scratch/calls" | sort -u >"$scratch/used"
  local outside
  outside=$(grep -vxF -f <(sort -u "$allowed" | grep -vxF -f "$denied") "$scratch/used")
  [ -z "$outside" ] || { echo "  refused by the unit's filter:" $outside; return 1; }
}
check "every system call of the refresh passes the unit's filter" filter_allows_refresh

echo "== --output over an existing file"
old=$scratch/out/vm_detection.prom
mkdir -p "$scratch/out"
printf 'old contents\n' >"$old"
output_fails() {  # FILE [RUNNER...]; exit 3, old file untouched, no temporary file left
  local status
  "${@:2}" "${vmd[@]}" --format prometheus --output "$1" 2>/dev/null
  status=$?
  [ $status -eq 3 ] || { echo "  exit $status"; return 1; }
  [ "$(cat "$old")" = "old contents" ] && [ -z "$(find "$scratch/out" -name '.*')" ]
}
check "--output into a missing directory: exit 3" output_fails "$scratch/out/missing/vm_detection.prom"
mkdir "$scratch/out/target"
check "--output onto a directory: exit 3, the old file untouched" output_fails "$scratch/out/target"
if [ "$(id -u)" -eq 0 ]; then
  read_only() {
    chmod 0555 "$scratch/out"
    output_fails "$old" unit_like
    local status=$?
    chmod 0755 "$scratch/out"
    return $status
  }
  check "--output in a directory it may not write: exit 3, the old file byte for byte" read_only
fi
replaced() {
  (umask 077 && "${vmd[@]}" --format prometheus --output "$old") &&
    [ "$(stat -c %a "$old")" = 644 ] && grep -q '^vm_detection_info{' "$old"
}
check "--output replaces the file, mode 0644 under umask 077" replaced

# What is not a regular file is refused and stays exactly as it was, also
# behind a link; a link to a regular file has that file replaced and stays.
odd=$scratch/odd
mkdir "$odd"
mkfifo "$odd/fifo"
python3 -c 'import socket, sys; socket.socket(socket.AF_UNIX).bind(sys.argv[1])' "$odd/socket"
kinds=(fifo socket)
if [ "$(id -u)" -eq 0 ]; then
  mknod "$odd/device" c 1 3  # /dev/null's numbers, made here
  kinds+=(device)
fi
for kind in "${kinds[@]}"; do ln -s "$kind" "$odd/link-to-$kind"; done
left_as_it_was() {  # NAME
  local before status
  before=$(stat -c '%F %t:%T %Y' "$odd/${1#link-to-}")
  "${vmd[@]}" --format nfd --output "$odd/$1" 2>/dev/null
  status=$?
  [ $status -eq 3 ] || { echo "  exit $status"; return 1; }
  [ "$(stat -c '%F %t:%T %Y' "$odd/${1#link-to-}")" = "$before" ] &&
    { [[ $1 != link-to-* ]] || [ -L "$odd/$1" ]; } && [ -z "$(find "$odd" -name '.*')" ]
}
for kind in "${kinds[@]}"; do
  check "--output onto a $kind: exit 3, the $kind as it was" left_as_it_was "$kind"
  check "--output onto a link to a $kind: exit 3, both as they were" left_as_it_was "link-to-$kind"
done
through_links() {
  # Each relative link leads on from its own directory.
  mkdir -p "$odd/real" "$odd/links" && printf 'old\n' >"$odd/real/labels" &&
    ln -s ../real/labels "$odd/links/inner" && ln -s links/inner "$odd/outer-link" &&
    "${vmd[@]}" --format nfd --output "$odd/outer-link" &&
    [ -L "$odd/outer-link" ] && [ -L "$odd/links/inner" ] &&
    grep -q '^vm-detection.feature.node.kubernetes.io/vm=' "$odd/real/labels" &&
    [ -z "$(find "$odd" -name '.*')" ]
}
check "--output through two links: the file replaced in its own directory, the links kept" \
  through_links
longest_name() {
  local name
  name=$(printf 'n%.0s' $(seq 255))
  "${vmd[@]}" --format nfd --output "$odd/$name" && [ -s "$odd/$name" ] && rm "$odd/$name"
}
check "--output FILE with a 255-byte name" longest_name
# A stop signal while the file is written (its fsync held back for 10 s by
# strace) removes the temporary file and leaves FILE as it was.
stopped_mid_write() {  # signal
  local timer pid="" status
  printf 'old contents\n' >"$odd/stopped"
  timeout 30 strace -f -qq -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=10000000:when=1 \
    "$vmd_bin" --format nfd --output "$odd/stopped" 2>/dev/null &
  timer=$!
  for _ in $(seq 100); do
    [ -n "$(find "$odd" -name '.stopped.*')" ] &&
      pid=$(pgrep -x vmd-detect -P "$(pgrep -d, -P "$timer")") && break
    sleep 0.1
  done
  [ -n "$pid" ] || { echo "  no temporary file appeared"; kill "$timer"; return 1; }
  kill "-$1" "$pid"
  { wait "$timer"; } 2>/dev/null
  status=$?
  # strace ends by the signal that ended vmd-detect, and timeout says so.
  [ $status -eq $((128 + $(kill -l "$1"))) ] || { echo "  exit $status"; return 1; }
  [ "$(cat "$odd/stopped")" = "old contents" ] && [ -z "$(find "$odd" -name '.stopped.*')" ]
}
for signal in TERM INT HUP; do
  check "SIG$signal mid-write: no temporary file left, FILE as it was" stopped_mid_write "$signal"
done

checks_done integrations
