#!/usr/bin/env bash
# Writes the Node.js package's release artifact into OUTDIR:
# vm-detection-VERSION.tgz, packed by npm from node/'s files with the
# release tarballs' shared objects as prebuilds/linux-x64-glibc/ and
# prebuilds/linux-arm64-glibc/libvm_detection.so.1, which the package loads
# by process.platform and process.arch. Staged in a scratch copy, so that no
# library lands in the tree; npm pack stamps every file with one fixed time,
# so that two runs over one commit write the same bytes. Each library is
# checked with scripts/glibc-floor.py (its NEEDED libraries glibc's own).
#
#   scripts/package-node.sh OUTDIR
#   VMD_RELEASE_DIR=DIR   holds libvm_detection-VERSION-linux-ARCH.tar.gz
#                         (default: made here by scripts/release.sh --binaries)
set -euo pipefail
out=$(realpath -m "${1:?usage: scripts/package-node.sh OUTDIR}")
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-package-node-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
release=${VMD_RELEASE_DIR:-}
if [ -z "$release" ]; then
  release=$scratch/binaries
  scripts/release.sh --binaries "$release" >&2
fi
mkdir -p "$out" "$scratch/package"

# The files package.json names, but the prebuilt libraries, from node/.
node -e 'for (const f of require("./node/package.json").files) console.log(f)' |
  grep -vx 'prebuilds/' | (cd node && xargs cp -r --parents -t "$scratch/package" package.json)
for pair in x86_64:linux-x64-glibc aarch64:linux-arm64-glibc; do
  arch=${pair%%:*} target=${pair#*:}
  name=libvm_detection-$version-linux-$arch
  tar -xzf "$release/$name.tar.gz" -C "$scratch" "$name/lib/libvm_detection.so.$version"
  mkdir -p "$scratch/package/prebuilds/$target"
  cp "$scratch/$name/lib/libvm_detection.so.$version" \
    "$scratch/package/prebuilds/$target/libvm_detection.so.1"
  scripts/glibc-floor.py "$scratch/package/prebuilds/$target/libvm_detection.so.1" >&2
done
(cd "$scratch/package" && npm pack --ignore-scripts --pack-destination "$out" \
  --loglevel=error --cache "$scratch/npm-cache")
