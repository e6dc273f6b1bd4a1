#!/usr/bin/env bash
# The release binaries, proven where they must work: builds the two binary
# tarballs (scripts/release.sh --binaries), checks every ELF in them with
# scripts/glibc-floor.py --max 2.17 (and that a library built the normal way
# here fails that check); in a clean Debian 11 root (glibc 2.31) the x86_64
# library, loaded by a C program linked against it and by Python's ctypes,
# gives the live report that the tarball's vmd-detect (built the normal
# way, statically) gives there; under qemu-aarch64 over Debian 11's arm64
# C library the aarch64 one does the same; over the probe trees the
# tarballs' vmd-detect prints what a normal build's prints; and the
# tarballs, built again in fresh build directories, are the same bytes.
# Prints each step's time. Needs root (scripts/root.sh), clang, lld,
# qemu-user and the aarch64 cross compiler.
#
#   tests/releases/floor.sh
#   VMD_RELEASE_BUILD=DIR   release.sh's kept build directories
#                           (default build-release-cache)
set -euo pipefail
cd "$(dirname "$0")/../.."
export VMD_RELEASE_BUILD=${VMD_RELEASE_BUILD:-build-release-cache}
# Both builds of one commit, whatever is committed meanwhile.
VMD_RELEASE_COMMIT=$(git rev-parse HEAD)
export VMD_RELEASE_COMMIT
build=$(realpath -m "$VMD_RELEASE_BUILD")
normal=$(realpath -m build-floor-normal)
version=$(git show "$VMD_RELEASE_COMMIT:CMakeLists.txt" |
  sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p')
work=$(mktemp -d /tmp/vmd-floor-XXXXXX)
trap 'rm -rf "$work"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }
started=$SECONDS
step() {
  local now=$SECONDS
  [ -z "${step_start:-}" ] || echo "   ($((now - step_start)) s)"
  step_start=$now
  [ $# -eq 0 ] || echo "== $*"
}
# The timing probe measures anew on each run, and the run's duration.
untimed() { sed -E 's/,"duration_us":[0-9]+//; s/cpuid [0-9]+ cycles/cpuid N cycles/'; }
same_reports() {  # label, files...: all the same report, timing aside
  local first=$2 f
  for f in "${@:3}"; do
    [ "$(untimed <"$first")" = "$(untimed <"$f")" ] || {
      printf '  %s\n' "${first##*/}: $(cat "$first")" "${f##*/}: $(cat "$f")"
      return 1
    }
  done
  echo "$1: the same report from ${*:2}" | sed "s|$work/||g"
}

step "the binary tarballs (scripts/release.sh --binaries)"
scripts/release.sh --binaries "$work/first" >"$work/first.log" 2>&1 ||
  { cat "$work/first.log"; fail "release.sh --binaries"; }
for arch in x86_64 aarch64; do
  mkdir -p "$work/$arch"
  tar -xzf "$work/first/libvm_detection-$version-linux-$arch.tar.gz" -C "$work/$arch"
  [ "$(ls "$work/$arch")" = "libvm_detection-$version-linux-$arch" ] || fail "$arch: not one folder"
  mv "$work/$arch/libvm_detection-$version-linux-$arch" "$work/$arch/tree"
done

step "glibc floor of every ELF shipped"
mapfile -t elves < <(find "$work/x86_64/tree" "$work/aarch64/tree" -type f \
                       -exec sh -c 'head -c 4 "$1" | grep -q "ELF" && echo "$1"' _ {} \; | sort)
((${#elves[@]} == 4)) || fail "expected 4 ELF files (the shared objects, vmd-detect), got ${elves[*]}"
python3 scripts/glibc-floor.py --max 2.17 "${elves[@]}" | sed "s|$work/||" || fail "glibc floor"
for arch in x86_64 aarch64; do
  python3 scripts/glibc-floor.py "$work/$arch/tree/bin/vmd-detect" | grep -q ': static' ||
    fail "$arch: vmd-detect is not static"
done

step "a normal build here (g++, this machine's glibc) fails the check"
cmake -S "$build/source" -B "$normal" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVMD_BUILD_TESTS=OFF \
  -DVMD_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$normal" -j2 --target vm_detection vmd-detect >/dev/null
if python3 scripts/glibc-floor.py --max 2.17 "$normal/libvm_detection.so.$version" \
     >"$work/normal-floor" 2>&1; then
  cat "$work/normal-floor"
  fail "the normal build passed the check"
fi
head -n 2 "$work/normal-floor"

# The C program, compiled against each sysroot as release.sh made it.
for arch in x86_64 aarch64; do
  clang --target="$arch-linux-gnu" --sysroot="$build/sysroot-$arch" -fuse-ld=lld -O2 -Wall -Werror \
    -I "$work/$arch/tree/include" tests/releases/floor/report.c -L "$work/$arch/tree/lib" \
    -lvm_detection -o "$work/$arch/report"
done

step "x86_64 in a clean Debian 11 root: a C program, ctypes and vmd-detect"
root=$(scripts/root.sh make bullseye amd64 minbase python3)
mkdir "$work/x86_64/out"
scripts/root.sh run "$root" -b "$work/x86_64:/release" -w "$work/x86_64/out:/out" \
  -b "$PWD/tests/releases/floor:/floor" -- /floor/reports.sh /release/tree /release/report /out
cat "$work/x86_64/out/glibc"
same_reports "Debian 11, x86_64" "$work"/x86_64/out/{tool,c,ctypes}.json || fail "x86_64 reports differ"

step "aarch64 under qemu-aarch64 over Debian 11's arm64 C library: a C program and vmd-detect"
qemu=(qemu-aarch64 -L "$build/sysroot-aarch64")
mkdir "$work/aarch64/out"
"${qemu[@]}" -E LD_LIBRARY_PATH="$work/aarch64/tree/lib" "$work/aarch64/report" \
  >"$work/aarch64/out/c.json" || fail "the aarch64 C program"
"${qemu[@]}" "$work/aarch64/tree/bin/vmd-detect" >"$work/aarch64/out/tool.json" ||
  fail "the aarch64 vmd-detect"
same_reports "qemu-aarch64" "$work"/aarch64/out/{tool,c}.json || fail "aarch64 reports differ"

step "the tarballs' vmd-detect over the probe trees, against a normal build's"
python3 - "$work/trees" <<'EOF'
import os, sys
sys.path.insert(0, "tests")
import schema_test
for name, tree in schema_test.TREES.items():
    os.makedirs(os.path.join(sys.argv[1], name))
    schema_test.build(os.path.join(sys.argv[1], name), tree)
EOF
n=0
for tree in "$work"/trees/*; do
  want=$("$normal/vmd-detect" --root "$tree" | untimed)
  [ "$(timeout 30 "$work/x86_64/tree/bin/vmd-detect" --root "$tree" | untimed)" = "$want" ] ||
    fail "x86_64 vmd-detect over ${tree##*/}"
  [ "$(timeout 60 "${qemu[@]}" "$work/aarch64/tree/bin/vmd-detect" --root "$tree" | untimed)" = "$want" ] ||
    fail "aarch64 vmd-detect over ${tree##*/}"
  n=$((n + 1))
done
echo "$n trees: the same reports"

step "built again in fresh build directories: the same bytes"
VMD_RELEASE_BUILD=$work/again scripts/release.sh --binaries "$work/second" >"$work/second.log" 2>&1 ||
  { cat "$work/second.log"; fail "the second release.sh --binaries"; }
(cd "$work/first" && sha256sum -- *.tar.gz) >"$work/first.sums"
(cd "$work/second" && sha256sum -c --quiet "$work/first.sums") || fail "the second build differs"
cat "$work/first.sums"
step
echo "floor: the release binaries need glibc 2.17 at most, load on Debian 11 (x86_64, aarch64)" \
  "and give the normal build's reports; built twice, the same bytes ($((SECONDS - started)) s)"
