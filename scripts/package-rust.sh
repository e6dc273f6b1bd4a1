#!/usr/bin/env bash
# Writes the Rust crate, OUTDIR/vm-detection-VERSION.crate, with cargo
# package from git archive of HEAD, so that no build directory or
# uncommitted change reaches it: the root Cargo.toml's include list takes
# the crate's code under rust/ and the library's sources (src/, include/,
# CMakeLists.txt) from the one tree. Offline, its dependencies resolved
# against Debian's registry directory (librust-cc-dev, librust-serde-dev,
# librust-serde-json-dev); not built here (--no-verify): the clean-room test
# tests/bundled/rust.sh builds it. Every time in the tarball is the commit's
# (git archive), so two runs over one commit write the same bytes.
#
#   scripts/package-rust.sh OUTDIR
set -euo pipefail
out=${1:?usage: scripts/package-rust.sh OUTDIR}
cd "$(dirname "$0")/.."
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-package-rust-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/src" "$scratch/cargo"
git archive HEAD | tar -x -C "$scratch/src"
cat >"$scratch/cargo/config.toml" <<'TOML'
[source.crates-io]
replace-with = "debian"
[source.debian]
directory = "/usr/share/cargo/registry"
[net]
offline = true
TOML
mkdir -p "$out"
out=$(cd "$out" && pwd)
(cd "$scratch/src" && CARGO_HOME=$scratch/cargo CARGO_TARGET_DIR=$scratch/target \
  cargo package -q --no-verify)
version=$(sed -nE 's/^version = "(.*)"/\1/p' "$scratch/src/Cargo.toml" | head -1)
cp "$scratch/target/package/vm-detection-$version.crate" "$out/"
echo "$out/vm-detection-$version.crate"
