#!/usr/bin/env bash
# Clean-room test of the Rust crate: in a clean Debian root of SUITE with
# Debian's cargo, rustc and packaged crates (librust-cc-dev among them) but
# no libvm_detection, the .crate that scripts/package-rust.sh makes is put
# into a registry directory with Debian's crates, as crates.io would serve
# it. Offline, with the network cut off, the crate unpacked alone builds
# with the lock file it carries, and a program of one's own
# (tests/bindings/consumer.rs) that depends on vm-detection = "1" builds,
# the crate's default feature bundled compiling the library's sources with
# the cc crate. The crate's copy of the sources must be the tree's, and the
# program must print what vmd-detect's report holds over probe trees and,
# live, in the root (tests/bundled/compare.sh).
#
#   tests/bundled/rust.sh SUITE          SUITE bookworm or trixie
#   VMD_RELEASE_DIR=DIR                  the release tarballs, whose static
#                                        vmd-detect is the reference; made with
#                                        scripts/release.sh --binaries when unset
set -euo pipefail
suite=${1:?usage: tests/bundled/rust.sh SUITE}
cd "$(dirname "$0")/../.."
repo=$PWD
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-bundled-rust-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
step() {  # name, command...: runs it and prints its time
  local name=$1 start=$SECONDS; shift
  "$@"
  echo "rust.sh $suite: $name: $((SECONDS - start)) s"
}

. tests/bundled/common.sh
make_root() { root=$(bundled_root "$suite"); }
release_tool() {
  local dir
  dir=$(release_dir "$scratch")
  mkdir "$scratch/tool"
  tar -xzf "$dir"/libvm_detection-*-linux-x86_64.tar.gz -C "$scratch/tool" --strip-components=1
}
package() {
  scripts/package-rust.sh "$scratch/out" >/dev/null
  mkdir "$scratch/src"
  git archive HEAD | tar -x -C "$scratch/src"
  ls "$scratch/out"
}

step "root" make_root
step "release binaries" release_tool
step "crate" package
mkdir "$scratch/inside"
cat >"$scratch/inside/rust.sh" <<'EOF_INSIDE'
set -euo pipefail
step() { local name=$1 start=$SECONDS; shift; "$@"; echo "  $name: $((SECONDS - start)) s"; }
cargo --version
installed=$(ls /usr/lib/*/libvm_detection* /usr/lib/libvm_detection* /usr/local/lib*/libvm_detection* \
  /usr/include/vm_detection.h /usr/local/include/vm_detection.h 2>/dev/null || true)
if [ -n "$installed" ] || pkg-config --exists vm_detection; then
  echo "FAIL: the root has libvm_detection: $installed" >&2; exit 1
fi
export CARGO_HOME=/tmp/cargo
step "registry" bash /bundled/cargo-registry.sh
crate=$(echo /tmp/registry/vm-detection-*)
for part in src include CMakeLists.txt rust/build.rs rust/src; do
  diff -r "/src/$part" "$crate/$part" >&2 ||
    { echo "FAIL: the crate's $part differs from the tree" >&2; exit 1; }
done
mkdir -p /tmp/app/src
cat >/tmp/app/Cargo.toml <<'TOML'
[package]
name = "consumer"
version = "0.0.0"
edition = "2021"
[dependencies]
vm-detection = "1"
TOML
cp /bindings/consumer.rs /tmp/app/src/main.rs
export CARGO_TARGET_DIR=/tmp/target
# The crate unpacked alone builds, with the lock file it carries.
mkdir /tmp/alone && tar -xzf /out/*.crate -C /tmp/alone
(cd /tmp/alone/vm-detection-* && step "cargo build of the crate" cargo build -q --locked)
cd /tmp/app
step "cargo build" cargo build -q
grep -A1 'name = "vm-detection"' Cargo.lock | grep -qx 'version = "1.0.0"'
step "compare" /bundled/compare.sh /tool/bin/vmd-detect /bindings/summary.py "$CARGO_TARGET_DIR/debug/consumer"
# cargo remove came with cargo 1.66; Debian 12's is 1.65, where the line
# is deleted by hand.
if cargo remove --help >/dev/null 2>&1; then step "cargo remove" cargo remove vm-detection
else echo "  cargo $(cargo --version | cut -d' ' -f2) has no cargo remove: the line deleted"
  sed -i '/^vm-detection = /d' Cargo.toml
fi
if grep vm-detection Cargo.toml; then echo "FAIL: Cargo.toml still names vm-detection" >&2; exit 1; fi
EOF_INSIDE
# No network inside: everything comes from the directories bound in.
step "in the root" scripts/root.sh run "$root" -b "$scratch/out:/out" \
  -b "$scratch/src:/src" -b "$scratch/tool:/tool" -b "$repo/tests/bindings:/bindings" \
  -b "$repo/tests/bundled:/bundled" -b /usr/share/cargo/registry:/host-crates \
  -b "$scratch/inside:/inside" -- unshare --net bash /inside/rust.sh
echo "rust.sh $suite: ok"
