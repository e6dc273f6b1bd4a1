#!/usr/bin/env bash
# The image stage: the static vmd-detect, its OCI image and the Kubernetes
# manifests, tested for real.
#   - builds the static tools of every platform of scripts/image.sh's table
#     and the image twice; the index digests must agree, the index must hold
#     the table's platforms, each tool must be linked as the table says (a
#     static PIE, or a plain static executable) and hold no build path, and
#     each platform's image must name the source of what is linked in;
#   - the static tool prints what the same objects linked dynamically print,
#     over every probe tree, in every format;
#   - renders deploy/kubernetes (and its Prometheus component) with kubectl
#     kustomize and validates every object against the Kubernetes API's
#     schemas (npm's kubernetes-models) with unknown fields refused; checks
#     that the DaemonSet selects the image's platforms and is admitted where
#     the critical priority classes are limited by quota;
#   - runs the amd64 image under podman with runc as the kubelet would run
#     the DaemonSet's pod, translated from the rendered manifest (init
#     container, users, security settings, limits, args, hostPath and
#     emptyDir volumes), over node roots laid out as a node's are, and
#     compares what the pod writes with the node's own answer for the user
#     that reads it: the static tool run chrooted into that node root; tries
#     every container of the pod as a writer against the file systems a
#     node mounts beneath /sys and /proc; then checks the refresh, the
#     expiry, flat memory, a clean stop, an output directory it cannot
#     write, and that the metrics go with their writer;
#   - runs every platform's tool taken from the image, under qemu-user where
#     it is not this machine's, over every probe tree and over captures of
#     the node roots with this machine's processor facts: each must print
#     what the amd64 static tool prints;
#   - runs the alerting rules' tests with promtool.
# podman's configuration and storage live in a scratch directory; every
# container is stopped and removed by its id, with timeouts, and whatever
# the stage mounted is unmounted before the scratch directory goes.
#
#   tests/image/run.sh
set -uo pipefail
cd "$(dirname "$0")/../.." || exit
# Root: podman, chroot, mounts, the node roots' root-only files; through
# sudo, as the other stages that need it.
if [ "$(id -u)" -ne 0 ]; then exec sudo "$0" "$@"; fi

# shellcheck source=tests/check.sh
. tests/check.sh

# The build directories are scripts/image.sh's, wherever VMD_IMAGE_BUILD puts them.
export VMD_IMAGE_BUILD=${VMD_IMAGE_BUILD:-build-image}
build=$VMD_IMAGE_BUILD
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
unmount_all() {  # everything mounted beneath the scratch directory, innermost first
  awk -v top="$scratch/" 'index($5, top) == 1 { print $5 }' /proc/self/mountinfo | sort -r |
    while read -r at; do umount "$at" 2>/dev/null || umount -l "$at"; done
}
cleanup() {
  local id
  for id in "${containers[@]}"; do
    podman_ stop --time 2 "$id" >/dev/null 2>&1
    podman_ rm --force "$id" >/dev/null 2>&1
  done
  find /sys/fs/cgroup -depth -type d -path "*$cgroup_parent*" -exec rmdir {} + 2>/dev/null
  ((keep_var_lib)) || rm -rf /var/lib/containers
  unmount_all
  # vfs keeps plain directories: nothing of podman's is mounted that would
  # outlive this.
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
# The image's platforms, as scripts/image.sh's table names them: the OCI
# platform, the triplet, the notices' package suffix, the link; each one's
# build directory and layer.
platforms=() triplets=() suffixes=() links=()
while read -r platform triplet _ suffix link; do
  platforms+=("$platform") triplets+=("$triplet") suffixes+=("$suffix") links+=("$link")
done < <(scripts/image.sh --platforms)
name_of() { local name=${1#linux/}; echo "${name//\//-}"; }
layer_of() { echo "$scratch/layers/$(name_of "$1")"; }
table_platforms() {
  local got
  got=$(python3 tests/image/pod.py index "$oci") || return 1
  [ "$got" = "$(printf '%s\n' "${platforms[@]}")" ] ||
    { printf '  the index holds:\n%s\n' "$got"; return 1; }
  # The platforms the DaemonSet's nodes run, whatever else there is.
  local p
  for p in linux/amd64 linux/arm64 linux/ppc64le linux/s390x; do
    grep -qx "$p" <<<"$got" || { echo "  no $p"; return 1; }
  done
}
check "the index holds the platforms of the script's table, amd64, arm64, ppc64le and s390x among them" table_platforms
small() {
  python3 - "$oci" <<'EOF'
import json, sys
sys.path.insert(0, "tests/image")
from pod import index_of, platform_name
index, blob = index_of(sys.argv[1])
for m in index["manifests"]:
    size = sum(l["size"] for l in json.load(open(blob(m["digest"])))["layers"])
    if size > 1048576:
        sys.exit(f"  {platform_name(m['platform'])}: {size} bytes")
EOF
}
check "each platform's layer is at most 1 MiB compressed" small
copies_whole() {  # as docs/kubernetes.md pushes it, into another layout
  local digest='"digest":"sha256:[0-9a-f]*"'
  timeout 120 skopeo copy --quiet --all "oci:$oci:$version" "oci:$scratch/copy:$version" &&
    [ "$(grep -o "$digest" "$scratch/copy/index.json")" = "$(grep -o "$digest" "$oci/index.json")" ]
}
check "skopeo copies every platform, the index digest unchanged" copies_whole
unpacked() {
  local p
  mkdir -p "$scratch/layers" || return 1
  for p in "${platforms[@]}"; do
    python3 tests/image/pod.py layer "$oci" "$p" "$(layer_of "$p")" >"$(layer_of "$p").files" ||
      return 1
  done
}
check "every platform's layer unpacks" unpacked
# (Output is read whole before grep -q looks at it: a writer that grep
# leaves early dies of SIGPIPE, which pipefail would count as a failure.)
linked_as() {  # platform, triplet, link: the image's tool as the table says, no build path in the build's
  local tool out header dynamic
  tool=$(layer_of "$1")/usr/bin/vmd-detect
  out=$(readelf -lW "$tool" | grep -c INTERP; readelf -dW "$tool" | grep -c NEEDED)
  [ "$out" = "$(printf '0\n0')" ] || { echo "  $1: not static"; return 1; }
  header=$(readelf -hW "$tool") && dynamic=$(readelf -dW "$tool") || return 1
  case $3 in
    static-pie)
      grep -q 'Type: *DYN' <<<"$header" && grep -q 'FLAGS_1.*PIE' <<<"$dynamic" ||
        { echo "  $1: not position-independent"; return 1; } ;;
    static)
      grep -q 'Type: *EXEC' <<<"$header" ||
        { echo "  $1: not the plain static executable the table says"; return 1; }
      # Plain only while its C library has no static-PIE start-up.
      [ "$("$2-gcc" -print-file-name=rcrt1.o)" = rcrt1.o ] ||
        { echo "  $1: its C library has rcrt1.o now: link it static-pie"; return 1; } ;;
    *) echo "  $1: link $3"; return 1 ;;
  esac
  ! grep -qF "$PWD" "$build/$(name_of "$1")/vmd-detect" ||
    { echo "  $1: holds the build path $PWD"; return 1; }
}
for at in "${!platforms[@]}"; do
  check "${platforms[$at]}: the tool is linked ${links[$at]}, as the table says, with no build path" \
    linked_as "${platforms[$at]}" "${triplets[$at]}" "${links[$at]}"
done
licences() {  # the annotation names every licence in the layers; each notice, every source
  local want="MIT AND LGPL-2.1-or-later AND GPL-3.0-or-later WITH GCC-exception-3.1" at
  grep -qF "\"org.opencontainers.image.licenses\":\"$want\"" "$oci"/blobs/sha256/* ||
    { echo "  no image says $want"; return 1; }
  for at in "${!platforms[@]}"; do
    # A cross build's archives are Debian's TRIPLET cross packages
    # (libc6-dev-s390x-cross); the host's own are no cross package.
    python3 - "$(layer_of "${platforms[$at]}")/usr/share/doc/vmd-detect/NOTICE" \
      "$(git rev-parse HEAD)" "${suffixes[$at]}" <<'EOF' || return 1
import re, sys
path, revision, suffix = sys.argv[1:]
text = open(path).read()
for archive in ("libc.a", "libstdc++.a", "libgcc.a", "libgcc_eh.a"):
    found = re.search(r"^%s: in (\S+), source \S+=\S+\n  https://snapshot\.debian\.org/package/\S+/\S+/$"
                      % re.escape(archive), text, re.M)
    if not found:
        sys.exit(f"  {path}: no source for {archive}")
    package = found.group(1)
    if not (package.endswith(suffix) if suffix != "-" else not package.endswith("-cross")):
        sys.exit(f"  {path}: {archive} from {package}, not of the table's {suffix}")
if "revision " + revision not in text:
    sys.exit(f"  {path}: not the revision built")
EOF
  done
}
check "the image's licences are an SPDX expression for the layers; each notice names the sources of its platform's libraries" licences

echo "== the static tool against the same objects linked dynamically"
static_bin=$build/amd64/vmd-detect
trees=$scratch/trees
same_as_dynamic() {
  local objects=$build/amd64/CMakeFiles/vmd-detect.dir/tools/vmd-detect.cpp.o tree args
  c++ -o "$scratch/vmd-detect-dynamic" "$objects" "$build/amd64/libvmd_tool.a" \
    "$build/amd64/libvmd_core.a" || return 1
  grep -q INTERP <<<"$(readelf -lW "$scratch/vmd-detect-dynamic")" || return 1
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
selects_image_platforms() {
  python3 tests/image/pod.py platforms "$rendered" "$oci" >/dev/null &&
    python3 tests/image/pod.py platforms "$scratch/with-prometheus.json" "$oci" >/dev/null
}
check "the DaemonSet selects Linux nodes of exactly the image's platforms" selects_image_platforms
selecting() {  # objects, out, architecture...: the DaemonSet selecting just those
  python3 - "$@" <<'PY'
import json, sys
objects = json.load(open(sys.argv[1]))
for o in objects:
    if o["kind"] == "DaemonSet":
        term = o["spec"]["template"]["spec"]["affinity"]["nodeAffinity"][
            "requiredDuringSchedulingIgnoredDuringExecution"]["nodeSelectorTerms"][0]
        next(e for e in term["matchExpressions"]
             if e["key"] == "kubernetes.io/arch")["values"] = sys.argv[3:]
json.dump(objects, open(sys.argv[2], "w"))
PY
}
one_platform_short() {  # a platform the selector lacks must fail the check above
  local archs=("${platforms[@]#linux/}")
  archs=("${archs[@]%%/*}")
  selecting "$rendered" "$scratch/short.json" "${archs[@]:1}" &&
    ! python3 tests/image/pod.py platforms "$scratch/short.json" "$oci" 2>/dev/null
}
check "a selector one platform short fails that check" one_platform_short
variants() {  # an index with arm/v7: selected as arm, and only as arm
  local index=$scratch/variants values
  mkdir -p "$index/blobs/sha256"
  python3 - "$index" <<'PY' || return 1
import hashlib, json, os, sys
platforms = [{"os": "linux", "architecture": "amd64"},
             {"os": "linux", "architecture": "arm", "variant": "v7"}]
index = json.dumps({"schemaVersion": 2, "manifests": [
    {"digest": "sha256:" + "0" * 64, "platform": p} for p in platforms]}).encode()
digest = hashlib.sha256(index).hexdigest()
open(os.path.join(sys.argv[1], "blobs", "sha256", digest), "wb").write(index)
json.dump({"schemaVersion": 2, "manifests": [{"digest": "sha256:" + digest}]},
          open(os.path.join(sys.argv[1], "index.json"), "w"))
PY
  for values in "amd64 arm" "amd64" "amd64 arm arm64" "amd64 arm/v7"; do
    # shellcheck disable=SC2086 # one architecture a word
    selecting "$rendered" "$scratch/variant.json" $values || return 1
    if python3 tests/image/pod.py platforms "$scratch/variant.json" "$index" >/dev/null 2>&1; then
      [ "$values" = "amd64 arm" ] || { echo "  $values passed"; return 1; }
    else
      [ "$values" != "amd64 arm" ] || { echo "  $values failed"; return 1; }
    fi
  done
}
check "an arm/v7 build is selected as arm, and a selector without arm, or with arm/v7, fails" variants
admitted() {
  python3 tests/image/pod.py admitted "$rendered" >/dev/null &&
    ! python3 tests/image/pod.py admitted "$rendered" --without ResourceQuota 2>/dev/null
}
check "admitted where the critical classes are limited by quota, and only with the quota" admitted
default_container() {
  [ "$(python3 -c 'import json, sys
d = next(o for o in json.load(open(sys.argv[1])) if o["kind"] == "DaemonSet")
print(d["spec"]["template"]["metadata"]["annotations"]["kubectl.kubernetes.io/default-container"])' \
    "$scratch/with-prometheus.json")" = nfd ]
}
check "kubectl logs and exec pick the labels' container by default" default_container
recipes() {  # every overlay the README and docs/kubernetes.md write, as written, names a registry
  local doc n=0 dir
  for doc in README.md docs/kubernetes.md; do
    while IFS= read -r -d '' text; do
      n=$((n + 1))
      dir=$scratch/recipe-$n
      mkdir -p "$dir/my-cluster" && ln -s "$PWD/deploy" "$dir/deploy"
      printf '%s' "$text" >"$dir/my-cluster/kustomization.yaml"
      timeout 60 kubectl kustomize "$dir/my-cluster" >"$dir/rendered.yaml" || return 1
      grep -q 'image: registry.example.com/vmd-detect:1.0.0$' "$dir/rendered.yaml" &&
        ! grep 'image:' "$dir/rendered.yaml" | grep -v 'registry.example.com/' ||
        { echo "  $doc, overlay $n: an image without a registry"; return 1; }
    done < <(python3 - "$doc" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
for body in re.findall(r"cat >[\w-]+/kustomization.yaml <<'EOF'\n(.*?)\nEOF\n", text, re.S):
    sys.stdout.write(body + "\n\0")
PY
    )
  done
  ((n >= 2)) || { echo "  found $n overlays"; return 1; }
}
check "the README's and docs' overlays render with the image from a registry" recipes

echo "== the DaemonSet's pod under podman and runc"
# crun refuses this kind of machine's hybrid cgroup layout, and podman's
# default ulimits need a capability the machine withholds.
cat >"$scratch/containers.conf" <<CONF
[containers]
default_ulimits = []
[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
events_logger = "file"
tmp_dir = "$scratch/tmp"
volume_path = "$scratch/volumes"
CONF
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
textfile=/var/lib/prometheus/node-exporter
mapfile -t nodes < <(python3 tests/image/pod.py nodes "$scratch/nodes")
# The user the init container reads the node as.
reader=$(python3 tests/image/pod.py user "$rendered" read-node)
pod_command=()
image_at=0
pod_command_for() {  # objects, container, node root, interval: its podman run arguments
  local at
  mapfile -d '' pod_command < <(python3 tests/image/pod.py run-args "$1" "$2" "$3" "$4" \
                                  "$scratch/pods/${3##*/}")
  ((${#pod_command[@]})) || return 1
  for at in "${!pod_command[@]}"; do  # the image the manifest names is the one just loaded
    [ "${pod_command[$at]}" != "vmd-detect:$version" ] || { image_at=$at; pod_command[$at]=$image; }
  done
}
run_pod_container() {  # objects, container, node root, interval, podman run options...
  pod_command_for "$1" "$2" "$3" "$4" || return 1
  shift 4
  podman_ run --cgroup-parent="$cgroup_parent" "$@" "${pod_command[@]}"
}
wait_for() {  # description, command...: up to 20 s
  local what=$1 n
  shift
  for n in $(seq 100); do "$@" && return 0; sleep 0.2; done
  echo "  waited 20 s for $what"
  return 1
}
node_answer() {  # node root, user, args...: vmd-detect run on the node itself by that user
  local node=$1 user=$2 status
  shift 2
  cp "$static_bin" "$node/.vmd-detect"
  timeout 30 chroot --userspec="$user" "$node" /.vmd-detect "$@"
  status=$?
  rm -f "$node/.vmd-detect"
  return $status
}
# The processor's timing is measured anew by each run.
untimed() { sed -E 's/,"duration_us":[0-9]+//; s/cpuid [0-9]+ cycles/cpuid N cycles/'; }
capture_of() { echo "$scratch/pods/${1##*/}/capture/node"; }

captured() {  # node root: the init container's capture holds the node's own report for its user
  local node=$1 got want
  run_pod_container "$rendered" read-node "$node" 1 --rm || return 1
  got=$(untimed <"$(capture_of "$node")/report.json")
  want=$(node_answer "$node" "$reader" | untimed)
  [ "$got" = "$want" ] || { printf '  capture: %s\n  node:    %s\n' "$got" "$want"; return 1; }
}
replayed() {  # node root: the labels' container, run once as JSON, gives the capture's report
  local node=$1 args=() a got
  pod_command_for "$rendered" nfd "$node" 1 || return 1
  for a in "${pod_command[@]}"; do
    case $a in
      --format=nfd) args+=(--format=json) ;;
      --interval=*) ;;
      --output=*) args+=("--output=$features/report.json") ;;
      *) args+=("$a") ;;
    esac
  done
  podman_ run --rm --cgroup-parent="$cgroup_parent" "${args[@]}" || return 1
  got=$(untimed <"$node$features/report.json")
  rm -f "$node$features/report.json"
  [ "$got" = "$(untimed <"$(capture_of "$node")/report.json")" ] ||
    { printf '  replayed: %s\n' "$got"; return 1; }
}
running=""
labels() {  # node root: the labels' container writes the node's labels for the reader, expiry first
  local node=$1 file got want first
  file=$node$features/vm-detection
  running=$(run_pod_container "$rendered" nfd "$node" 1 --detach) || return 1
  containers+=("$running")
  wait_for "the labels" test -s "$file" || { podman_ logs "$running"; return 1; }
  want=$(node_answer "$node" "$reader" --format nfd) || return 1
  first=$(head -n 1 "$file")
  got=$(sed 1d "$file")
  [ "$got" = "$want" ] || { printf '  pod:\n%s\n  node:\n%s\n' "$got" "$want"; return 1; }
  [[ $first =~ ^#\ \+expiry-time=[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z$ ]] &&
    (($(date -d "${first#*=}" +%s) > $(stat -c %Y "$file"))) ||
    { echo "  first line: $first"; return 1; }
}
stops_at_once() {  # node root: SIGTERM, and SIGKILL 2 s later: exit 0 means the TERM ended it
  local node=$1 status
  podman_ stop --time 2 "$running" >/dev/null || return 1
  status=$(podman_ inspect --format '{{.State.ExitCode}}' "$running")
  [ "$status" = 0 ] || { echo "  exit status $status"; return 1; }
  [ "$(ls -A "$node$features")" = vm-detection ] || { ls -A "$node$features"; return 1; }
}
again() {  # node root: the init container run once more, as after its sandbox was recreated
  local node=$1 before
  before=$(stat -c %i "$(capture_of "$node")/report.json") || return 1
  run_pod_container "$rendered" read-node "$node" 1 --rm || return 1
  [ "$(stat -c %i "$(capture_of "$node")/report.json")" != "$before" ]
}

for node in "${nodes[@]}"; do
  name=${node##*/}
  if [ "$name" = vm ]; then
    vm_node=$node
    # Everything of the node but the two directories the pod exists to
    # write, which a node with NFD and node_exporter has.
    mkdir -p "$vm_node$features" "$vm_node$textfile"
    node_digest() { python3 tests/image/pod.py digest "$vm_node" | grep -v "^${features#/}/\|^${textfile#/}/"; }
    node_digest >"$scratch/vm-before"
  fi
  check "$name node: the init container captures the node, its report the node's own for $reader" captured "$node"
  check "$name node: the labels' container replays the capture to the same report" replayed "$node"
  check "$name node: the labels' container writes the node's labels for $reader, expiry first" labels "$node"
  [ "$name" = vm ] || { check "$name node: a stop ends the pod, status 0" stops_at_once "$node"; continue; }
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
  check "vm node: a stop ends the pod at once, status 0, the labels in place" stops_at_once "$node"
  check "vm node: the init container run again replaces its capture" again "$node"
done

echo "== nothing of the node writable from the pod"
probe=$scratch/probe
mkdir -p "$probe"
writer() {  # objects, container[, user]: try-write in that container over its read-only mounts
  local objects=$1 name=$2 options paths
  pod_command_for "$objects" "$name" "$vm_node" 1 || return 1
  options=("${pod_command[@]:0:$image_at}")
  [ -z "${3:-}" ] || options=("${options[@]/#--user=*/--user=$3}")
  mapfile -t paths < <(python3 tests/image/pod.py read-only "$objects" "$name")
  ((${#paths[@]})) || { echo "  $name mounts nothing read-only"; return 1; }
  podman_ run --rm --cgroup-parent="$cgroup_parent" "${options[@]}" \
    --volume="$probe:/probe:ro" --entrypoint=/probe/try-write "$image" "${paths[@]}"
}
built() { cc -static -O2 -Wall -Wextra -Werror -o "$probe/try-write" tests/image/try_write.c; }
check "the writer builds" built
# The stand-ins are what a pod running as root could change: the writer
# must find them, or it proves nothing.
root_could() {
  local out what
  out=$(writer "$rendered" read-node 0:0) && { echo "  root changed nothing: $out"; return 1; }
  for what in "opened for writing: /host/sys/fs/cgroup/memory.max" \
              "file created in: /host/sys/firmware/efi/efivars" \
              "opened for writing: /host/proc/sys/fs/binfmt_misc/register"; do
    grep -qxF "$what" <<<"$out" || { echo "  not found: $what"; return 1; }
  done
}
check "as root the same mounts would let the cgroup, efivars and binfmt_misc stand-ins change" root_could
for container in read-node nfd prometheus; do
  check "$container: changes nothing beneath its read-only mounts, submounts included" \
    writer "$scratch/with-prometheus.json" "$container"
done

echo "== failures that show, and what a stop leaves"
exited() { [ "$(podman_ inspect --format '{{.State.Status}}' "$1")" = exited ]; }
read_only_output() {  # the labels' directory read-only on the node: the container exits 3 at once
  local dir=$vm_node$features id status
  mount --bind "$dir" "$dir" && mount -o remount,bind,ro "$dir" || return 1
  id=$(run_pod_container "$rendered" nfd "$vm_node" 1 --detach)
  containers+=("$id")
  wait_for "the container to exit" exited "$id"
  status=$(podman_ inspect --format '{{.State.ExitCode}}' "$id")
  umount "$dir"
  [ "$status" = 3 ] || { echo "  exit status $status"; return 1; }
  grep -q "cannot write $features/vm-detection" <<<"$(podman_ logs "$id" 2>&1)" ||
    { podman_ logs "$id"; return 1; }
}
check "vm node: an output directory it cannot write ends the container, status 3" read_only_output
metrics() {  # the Prometheus component's container: metrics promtool accepts, gone when it stops
  local id file=$vm_node$textfile/vm_detection.prom
  id=$(run_pod_container "$scratch/with-prometheus.json" prometheus "$vm_node" 1 --detach) ||
    return 1
  containers+=("$id")
  wait_for "the metrics" test -s "$file" || return 1
  timeout 30 promtool check metrics <"$file" &&
    grep -qx 'vm_detection_environment{kind="hypervisor",vendor="qemu"} 1' "$file" || return 1
  podman_ stop --time 2 "$id" >/dev/null &&
    [ "$(podman_ inspect --format '{{.State.ExitCode}}' "$id")" = 0 ] || return 1
  [ ! -e "$file" ] || { echo "  the metrics outlive their writer"; return 1; }
  [ -s "$vm_node$features/vm-detection" ] || { echo "  the labels went too"; return 1; }
}
check "vm node: the metrics' container writes metrics promtool accepts; a stop removes them, not the labels" metrics
unchanged() { node_digest | diff "$scratch/vm-before" -; }
check "vm node: no file of the node changed but the two the pod writes" unchanged

echo "== every platform's tool from the image, under qemu-user"
captures=$scratch/captures
# Each node root with this machine's processor facts, captured by the
# native tool, so that every platform replays one and the same machine;
# the captures' own reports are the nodes' answers.
captured_here() {
  local node
  mkdir -p "$captures" || return 1
  for node in "${nodes[@]}"; do
    timeout 30 "$static_bin" --host-root "$node" --capture "$captures/${node##*/}" >/dev/null ||
      return 1
    grep -q '^cpuid ' "$captures/${node##*/}/processor" ||
      { echo "  ${node##*/}: no processor facts captured"; return 1; }
    [ "$(timeout 30 "$static_bin" --root "$captures/${node##*/}" | untimed)" = \
      "$(untimed <"$captures/${node##*/}/report.json")" ] ||
      { echo "  ${node##*/}: the replay is not the node's report"; return 1; }
  done
}
check "the node roots captured with this machine's processor facts, each replayed to its report" captured_here
# What the amd64 static tool prints over each tree: the report (durations
# aside) and the labels.
durationless() { sed -E 's/"duration_us":[0-9]+//g'; }
declare -A want_json want_nfd
for tree in "$trees"/* "$captures"/*; do
  want_json[$tree]=$(timeout 30 "$static_bin" --root "$tree" | durationless)
  want_nfd[$tree]=$(timeout 30 "$static_bin" --root "$tree" --format=nfd)
done
emulator_of() {  # triplet: the qemu-user that runs its programs here, none for this machine's
  local cpu=${1%%-*}
  [ "$1" != "$(c++ -dumpmachine)" ] || return 0
  case $cpu in
    powerpc64le) echo qemu-ppc64le ;;
    aarch64 | arm | riscv64 | s390x) echo "qemu-$cpu" ;;
    *) echo "  no qemu-user known for $1" >&2; return 1 ;;
  esac
}
same_everywhere() {  # platform, triplet
  local run=() emulator tree json nfd
  emulator=$(emulator_of "$2") || return 1
  [ -z "$emulator" ] || run=("$emulator")
  run+=("$(layer_of "$1")/usr/bin/vmd-detect")
  for tree in "$trees"/* "$captures"/*; do
    json=$(timeout 60 "${run[@]}" --root "$tree" | durationless)
    nfd=$(timeout 60 "${run[@]}" --root "$tree" --format=nfd)
    [ -n "$json" ] && [ "$json" = "${want_json[$tree]}" ] ||
      { printf '  %s: %s\n  amd64: %s\n' "${tree##*/}" "$json" "${want_json[$tree]}"; return 1; }
    [ "$nfd" = "${want_nfd[$tree]}" ] ||
      { printf '  %s:\n%s\n  amd64:\n%s\n' "${tree##*/}" "$nfd" "${want_nfd[$tree]}"; return 1; }
  done
}
for at in "${!platforms[@]}"; do
  check "${platforms[$at]}: the tool from the image gives the amd64 tool's report and labels over every probe tree and node" \
    same_everywhere "${platforms[$at]}" "${triplets[$at]}"
done
layer_holds() {  # platform
  local want
  want=$(printf '%s\n' usr usr/bin usr/bin/vmd-detect usr/share usr/share/doc \
    usr/share/doc/libc6 usr/share/doc/libc6/copyright usr/share/doc/libgcc-s1 \
    usr/share/doc/libgcc-s1/copyright usr/share/doc/libstdc++6 \
    usr/share/doc/libstdc++6/copyright usr/share/doc/vmd-detect \
    usr/share/doc/vmd-detect/NOTICE usr/share/doc/vmd-detect/copyright)
  [ "$(cat "$(layer_of "$1").files")" = "$want" ] || { cat "$(layer_of "$1").files"; return 1; }
}
for platform in "${platforms[@]}"; do
  check "$platform: the layer holds the tool, its licence, the runtime's notices and the sources' notice, nothing else" \
    layer_holds "$platform"
done

echo "== the alerting rules"
rules() {
  timeout 60 promtool check rules deploy/prometheus/vm-detection.rules.yml >/dev/null &&
    timeout 60 promtool test rules tests/image/vm-detection.rules.test.yml
}
check "promtool: the rules check and pass their tests" rules

checks_done image
