#!/usr/bin/env bash
# The image stage: the static vmd-detect, its OCI image and the Kubernetes
# manifests, tested for real.
#   - builds the static tools (amd64, arm64) and the image twice; the index
#     digests must agree, and no build path may reach a binary;
#   - the static tool prints what the same objects linked dynamically print,
#     over every probe tree, in every format;
#   - renders deploy/kubernetes (and its Prometheus component) with kubectl
#     kustomize and validates every object against the Kubernetes API's
#     schemas (npm's kubernetes-models) with unknown fields refused;
#   - runs the amd64 image under podman with runc as the kubelet would run
#     the DaemonSet, translated from the rendered manifest (user, security
#     settings, limits, args, hostPath mounts), over node roots laid out as
#     a node's are, and compares what the pod writes with the node's own
#     answer: the static tool run as root chrooted into that node root;
#     then checks the refresh, the expiry, flat memory and a clean stop;
#   - runs the arm64 binary taken from the image under qemu-user;
#   - runs the alerting rules' tests with promtool.
# podman's configuration and storage live in a scratch directory; every
# container is stopped and removed by its id, with timeouts, and the scratch
# directory goes at the end.
#
#   scripts/test-image.sh
set -uo pipefail
cd "$(dirname "$0")/.." || exit
# Root: podman, chroot, the node roots' root-only files; through sudo, as
# the other stages that need it.
if [ "$(id -u)" -ne 0 ]; then exec sudo "$0" "$@"; fi

# shellcheck source=scripts/check.sh
. scripts/check.sh

build="build-image"
scratch=$(mktemp -d /tmp/vmd-image-test-XXXXXX)
containers=()
# The containers' cgroups go beneath one of this run's own, removed at the
# end; so does podman's blob cache, which it keeps in /var/lib/containers
# whatever its storage options say, unless that was there before.
cgroup_parent=/${scratch##*/}
[ -e /var/lib/containers ] && keep_var_lib=1 || keep_var_lib=0
podman_() {
  timeout 60 podman --root "$scratch/storage" --runroot "$scratch/run" \
    --cgroup-manager=cgroupfs --events-backend=file "$@"
}
cleanup() {
  local id
  for id in "${containers[@]}"; do
    podman_ stop --time 2 "$id" >/dev/null 2>&1
    podman_ rm --force "$id" >/dev/null 2>&1
  done
  find /sys/fs/cgroup -depth -type d -path "*$cgroup_parent*" -exec rmdir {} + 2>/dev/null
  ((keep_var_lib)) || rm -rf /var/lib/containers
  # vfs keeps plain directories: nothing is mounted that would outlive this.
  rm -rf "$scratch"
}
trap cleanup EXIT

echo "== the image, twice"
images_agree() {
  scripts/image.sh "$build/oci-a" >"$scratch/image-a.log" &&
    scripts/image.sh "$build/oci-b" >"$scratch/image-b.log" || return 1
  cat "$scratch/image-a.log"
  cmp -s "$build/oci-a/index.json" "$build/oci-b/index.json" ||
    { echo "  the index digests differ"; return 1; }
}
rm -rf "$build/oci-a" "$build/oci-b"
check "two builds of the image have one index digest" images_agree
oci=$build/oci-a
version=$(sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
small() {
  python3 - "$oci" <<'EOF'
import json, os, sys
oci = sys.argv[1]
blob = lambda d: os.path.join(oci, "blobs", "sha256", d.split(":")[1])
index = json.load(open(blob(json.load(open(os.path.join(oci, "index.json")))["manifests"][0]["digest"])))
for m in index["manifests"]:
    size = sum(l["size"] for l in json.load(open(blob(m["digest"])))["layers"])
    if size > 1048576:
        sys.exit(f"  {m['platform']['architecture']}: {size} bytes")
EOF
}
check "each platform's layer is at most 1 MiB compressed" small
copies_whole() {  # as docs/kubernetes.md pushes it, into another layout
  local digest='"digest":"sha256:[0-9a-f]*"'
  timeout 120 skopeo copy --quiet --all "oci:$oci:$version" "oci:$scratch/copy:$version" &&
    [ "$(grep -o "$digest" "$scratch/copy/index.json")" = "$(grep -o "$digest" "$oci/index.json")" ]
}
check "skopeo copies both platforms, the index digest unchanged" copies_whole
static() {  # binary: no program interpreter, no dynamic section, no build path
  local out
  out=$(readelf -lW "$1" | grep -c INTERP; readelf -dW "$1" | grep -c NEEDED)
  [ "$out" = "$(printf '0\n0')" ] || { echo "  $1 is not static"; return 1; }
  ! grep -qF "$PWD" "$1" || { echo "  $1 holds the build path $PWD"; return 1; }
}
check "the amd64 tool is static and holds no build path" static "$build/amd64/vmd-detect"
check "the arm64 tool is static and holds no build path" static "$build/arm64/vmd-detect"

echo "== the static tool against the same objects linked dynamically"
static_bin=$build/amd64/vmd-detect
trees=$scratch/trees
same_as_dynamic() {
  local objects=$build/amd64/CMakeFiles/vmd-detect.dir/tools/vmd-detect.cpp.o tree args
  c++ -o "$scratch/vmd-detect-dynamic" "$objects" "$build/amd64/libvmd_tool.a" \
    "$build/amd64/libvmd_core.a" || return 1
  readelf -lW "$scratch/vmd-detect-dynamic" | grep -q INTERP || return 1
  python3 - "$trees" <<'EOF' || return 1
import os, sys
sys.path.insert(0, "tests")
import schema_test
for name, tree in schema_test.TREES.items():
    os.makedirs(os.path.join(sys.argv[1], name))
    schema_test.build(os.path.join(sys.argv[1], name), tree)
# Processor facts too, for the processor probes' output: a KVM guest's.
schema_test.build(os.path.join(sys.argv[1], "kvm_guest"), {"/processor": b"""vmd-processor 1
cpuid 0x00000001 0x00000000 0x00a00f11 0x00020800 0xfffa3203 0x178bfbff
cpuid 0x40000000 0x00000000 0x40000001 0x4b4d564b 0x564b4d56 0x0000004d
timing 1 1 2548
"""})
EOF
  strip_times() { sed -E 's/(duration[^ :]*[" :]+)[0-9.]+/\1/g'; }
  for tree in "$trees"/*; do
    for args in "" "--format=pretty" "--format=summary" "--format=prometheus" "--format=nfd" \
                "--check=vm" "--check=container" "--check=compat" "--check=cloud" "--check=host"; do
      local a b
      a=$(timeout 30 "$static_bin" --root "$tree" $args; echo "exit $?")
      b=$(timeout 30 "$scratch/vmd-detect-dynamic" --root "$tree" $args; echo "exit $?")
      [ "$(strip_times <<<"$a")" = "$(strip_times <<<"$b")" ] ||
        { echo "  ${tree##*/} $args differs"; return 1; }
    done
  done
}
check "static and dynamic print the same over every probe tree, in every format" same_as_dynamic

echo "== the manifests against the Kubernetes API's schemas"
npm_dir=$build/npm
if [ ! -d "$npm_dir/node_modules/kubernetes-models" ]; then
  mkdir -p "$npm_dir"
  (cd "$npm_dir" && timeout 300 npm install --no-audit --no-fund --ignore-scripts --no-save \
     --loglevel=error kubernetes-models@4.3.1 >/dev/null)
fi
rendered=$scratch/rendered.json
render() {  # kustomization directory, JSON file
  timeout 60 kubectl kustomize "$1" >"$2.yaml" &&
    python3 -c 'import json, sys, yaml; print(json.dumps(list(yaml.safe_load_all(sys.stdin))))' \
      <"$2.yaml" >"$2"
}
validate() { timeout 60 node tests/image/strict_schema.cjs "$npm_dir/node_modules" "$1"; }
base_valid() { render deploy/kubernetes "$rendered" && validate "$rendered"; }
check "kubectl kustomize deploy/kubernetes: every object valid" base_valid
with_prometheus() {
  local overlay=$scratch/overlay
  mkdir -p "$overlay"
  cp -r deploy "$overlay/"
  printf 'resources:\n  - deploy/kubernetes\ncomponents:\n  - deploy/kubernetes/prometheus\n' \
    >"$overlay/kustomization.yaml"
  render "$overlay" "$scratch/with-prometheus.json" && validate "$scratch/with-prometheus.json" &&
    grep -q '"--format=prometheus"' "$scratch/with-prometheus.json"
}
check "with the Prometheus component: every object valid" with_prometheus
misspelt_fails() {
  sed 's/"readOnlyRootFilesystem"/"readOnlyRootFileSystem"/' "$rendered" >"$scratch/misspelt.json"
  ! validate "$scratch/misspelt.json" >/dev/null
}
check "a misspelt securityContext field fails the validation" misspelt_fails

echo "== the DaemonSet under podman and runc"
# crun refuses this kind of machine's hybrid cgroup layout, and podman's
# default ulimits need a capability the machine withholds.
cat >"$scratch/containers.conf" <<EOF
[containers]
default_ulimits = []
[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
events_logger = "file"
tmp_dir = "$scratch/tmp"
volume_path = "$scratch/volumes"
EOF
printf '[storage]\ndriver = "vfs"\ngraphroot = "%s"\nrunroot = "%s"\n' \
  "$scratch/storage" "$scratch/run" >"$scratch/storage.conf"
printf '{"default": [{"type": "insecureAcceptAnything"}]}\n' >"$scratch/policy.json"
: >"$scratch/registries.conf"
export CONTAINERS_CONF=$scratch/containers.conf CONTAINERS_STORAGE_CONF=$scratch/storage.conf
export CONTAINERS_REGISTRIES_CONF=$scratch/registries.conf
image=""
loaded() {
  podman_ pull --quiet --signature-policy "$scratch/policy.json" "oci:$oci:$version" \
    >"$scratch/image-id" 2>"$scratch/pull.log" || { cat "$scratch/pull.log"; return 1; }
  image=$(cat "$scratch/image-id")
  [ "$(podman_ image inspect --format '{{.Architecture}}' "$image")" = amd64 ]
}
check "podman loads the amd64 image from the OCI layout" loaded

features=/etc/kubernetes/node-feature-discovery/features.d
mapfile -t nodes < <(python3 tests/image/pod.py nodes "$scratch/nodes")
command=()
command_for() {  # node root, interval: the container nfd of the DaemonSet, into command
  mapfile -d '' command < <(python3 tests/image/pod.py run-args "$rendered" nfd "$1" "$2")
  ((${#command[@]})) || return 1
  local at  # the image the manifest names is the one just loaded
  for at in "${!command[@]}"; do [ "${command[$at]}" != "vmd-detect:$version" ] || command[$at]=$image; done
}
wait_for() {  # description, command...: up to 20 s
  local what=$1 n
  shift
  for n in $(seq 100); do "$@" && return 0; sleep 0.2; done
  echo "  waited 20 s for $what"
  return 1
}
node_answer() {  # node root, args...: the node's own answer, vmd-detect as root on the node
  local node=$1 status
  shift
  cp "$static_bin" "$node/.vmd-detect"
  timeout 30 chroot "$node" /.vmd-detect "$@"
  status=$?
  rm -f "$node/.vmd-detect"
  return $status
}
same_report() {  # node root: the whole report, every probe's status and finding
  local node=$1 args=() a got want
  command_for "$node" 1 || return 1
  for a in "${command[@]}"; do  # one run, as JSON
    case $a in
      --format=nfd) args+=(--format=json) ;;
      --interval=*) ;;
      --output=*) args+=("--output=$features/report.json") ;;
      *) args+=("$a") ;;
    esac
  done
  podman_ run --rm --cgroup-parent="$cgroup_parent" "${args[@]}" || return 1
  # The processor's timing is measured anew by each run.
  untimed() { sed -E 's/,"duration_us":[0-9]+//; s/cpuid [0-9]+ cycles/cpuid N cycles/'; }
  got=$(untimed <"$node$features/report.json")
  want=$(node_answer "$node" | untimed)
  [ "$got" = "$want" ] || { printf '  pod:  %s\n  node: %s\n' "$got" "$want"; return 1; }
}
for node in "${nodes[@]}"; do
  check "${node##*/} node: the pod's report is the node's own" same_report "$node"
done

running=""
labels() {  # node root: the DaemonSet's container writes the node's labels, with an expiry
  local node=$1 file got want first
  file=$node$features/vm-detection
  command_for "$node" 1 || return 1
  running=$(podman_ run --detach --cgroup-parent="$cgroup_parent" "${command[@]}") || return 1
  containers+=("$running")
  wait_for "the labels" test -s "$file" || { podman_ logs "$running"; return 1; }
  want=$(node_answer "$node" --format nfd) || return 1
  first=$(head -n 1 "$file")
  got=$(sed 1d "$file")
  [ "$got" = "$want" ] || { printf '  pod:\n%s\n  node:\n%s\n' "$got" "$want"; return 1; }
  [[ $first =~ ^#\ \+expiry-time=[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$ ]] &&
    (($(date -d "${first#*=}" +%s) > $(stat -c %Y "$file"))) ||
    { echo "  first line: $first"; return 1; }
}
stops_at_once() {  # SIGTERM, and SIGKILL 2 s later: exit 0 means the TERM ended it
  local node=$1 status
  podman_ stop --time 2 "$running" >/dev/null || return 1
  status=$(podman_ inspect --format '{{.State.ExitCode}}' "$running")
  [ "$status" = 0 ] || { echo "  exit status $status"; return 1; }
  [ "$(ls -A "$node$features")" = "$(printf 'report.json\nvm-detection')" ] ||
    { ls -A "$node$features"; return 1; }
}
for node in "${nodes[@]}"; do
  check "${node##*/} node: the DaemonSet's pod writes the node's labels, expiry first" labels "$node"
  [ "${node##*/}" = vm ] || { check "${node##*/} node: a stop ends the pod, status 0" stops_at_once "$node"; continue; }
  vm_node=$node
  # Rounds are counted by the file's inode: each is a new file renamed over.
  inode() { stat -c %i "$vm_node$features/vm-detection"; }
  last_inode=""
  changed() { [ "$(inode)" != "$last_inode" ]; }
  after_rounds() {  # n: returns once n more files were written
    local n=$1
    last_inode=$(inode)
    while ((n > 0)); do
      wait_for "a refresh" changed || return 1
      last_inode=$(inode)
      n=$((n - 1))
    done
  }
  refreshed() { after_rounds 2; }
  check "vm node: the file is written anew every interval" refreshed
  rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$(podman_ inspect --format '{{.State.Pid}}' "$running")/status"; }
  flat_memory() {
    local before after
    before=$(rss) && after_rounds 5 && after=$(rss) || return 1
    echo "  resident: $before kB, five rounds later $after kB"
    ((after <= before + 64))
  }
  check "vm node: memory stays flat over the rounds" flat_memory
  check "vm node: a stop ends the pod at once, status 0, the last file in place" stops_at_once "$node"
done

metrics() {  # the Prometheus component's container, on the QEMU guest's root
  local args at id file=$vm_node/var/lib/prometheus/node-exporter/vm_detection.prom
  mapfile -d '' args < <(python3 tests/image/pod.py run-args "$scratch/with-prometheus.json" \
                           prometheus "$vm_node" 1)
  ((${#args[@]})) || return 1
  for at in "${!args[@]}"; do [ "${args[$at]}" != "vmd-detect:$version" ] || args[$at]=$image; done
  id=$(podman_ run --detach --cgroup-parent="$cgroup_parent" "${args[@]}") || return 1
  containers+=("$id")
  wait_for "the metrics" test -s "$file" || return 1
  podman_ stop --time 2 "$id" >/dev/null &&
    [ "$(podman_ inspect --format '{{.State.ExitCode}}' "$id")" = 0 ] &&
    timeout 30 promtool check metrics <"$file" &&
    grep -qx 'vm_detection_environment{kind="hypervisor",vendor="qemu"} 1' "$file"
}
check "vm node: the Prometheus component's container writes metrics promtool accepts" metrics

echo "== the arm64 image under qemu-user"
arm64_runs() {
  local layer=$scratch/arm64-layer tree a b
  python3 tests/image/pod.py layer "$oci" arm64 "$layer" >"$scratch/arm64-files" || return 1
  file "$layer/usr/bin/vmd-detect" | grep -q 'ARM aarch64.*statically linked' || return 1
  # Without a processor file only the platform probes run: the same on
  # both processors.
  for tree in "$trees"/*; do
    a=$(timeout 60 qemu-aarch64 "$layer/usr/bin/vmd-detect" --root "$tree" | sed -E 's/"duration_us":[0-9]+//')
    b=$(timeout 30 "$static_bin" --root "$tree" | sed -E 's/"duration_us":[0-9]+//')
    [ -n "$a" ] && [ "$a" = "$b" ] || { echo "  ${tree##*/}: $a"; return 1; }
  done
}
check "the arm64 tool from the image reports as the amd64 one over every probe tree" arm64_runs
layer_holds() {
  local want
  want=$(printf '%s\n' usr usr/bin usr/bin/vmd-detect usr/share usr/share/doc \
    usr/share/doc/libc6 usr/share/doc/libc6/copyright usr/share/doc/libgcc-s1 \
    usr/share/doc/libgcc-s1/copyright usr/share/doc/libstdc++6 \
    usr/share/doc/libstdc++6/copyright usr/share/doc/vmd-detect \
    usr/share/doc/vmd-detect/copyright)
  [ "$(cat "$scratch/arm64-files")" = "$want" ] || { cat "$scratch/arm64-files"; return 1; }
}
check "the layer holds the tool, its licence and the runtime's notices, nothing else" layer_holds

echo "== the alerting rules"
rules() {
  timeout 60 promtool check rules deploy/prometheus/vm-detection.rules.yml >/dev/null &&
    timeout 60 promtool test rules tests/image/vm-detection.rules.test.yml
}
check "promtool: the rules check and pass their tests" rules

checks_done image
