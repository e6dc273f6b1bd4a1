#!/usr/bin/env bash
# Writes the Python package's release artifacts into OUTDIR:
#   - vm_detection-VERSION-py3-none-manylinux_X_Y_ARCH.whl for x86_64 and
#     aarch64, each carrying the shared object of the release tarball of its
#     architecture as vm_detection/libvm_detection.so.1; X.Y is that
#     object's glibc floor as scripts/glibc-floor.py reads it (which also
#     refuses a NEEDED library that is not glibc's own);
#   - vm_detection-VERSION.tar.gz, the sdist, which compiles the library
#     from the CMakeLists.txt, src/ and include/ it carries.
# Every time in them is SOURCE_DATE_EPOCH's (default: the last commit's), so
# that two runs over one commit write the same bytes.
#
#   scripts/package-python.sh OUTDIR
#   VMD_RELEASE_DIR=DIR   holds libvm_detection-VERSION-linux-ARCH.tar.gz
#                         (default: made here by scripts/release.sh --binaries)
set -euo pipefail
out=$(realpath -m "${1:?usage: scripts/package-python.sh OUTDIR}")
cd "$(dirname "$0")/.."
version=$(sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-package-python-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
release=${VMD_RELEASE_DIR:-}
if [ -z "$release" ]; then
  release=$scratch/binaries
  scripts/release.sh --binaries "$release" >&2
fi
mkdir -p "$out"

backend() {  # python code over the in-tree backend, imported as pip does
  python3 -c "import sys; sys.path.insert(0, 'python/_backend'); import vmd_build; $1"
}
for arch in x86_64 aarch64; do
  name=libvm_detection-$version-linux-$arch
  tar -xzf "$release/$name.tar.gz" -C "$scratch" "$name/lib/libvm_detection.so.$version"
  library=$scratch/$name/lib/libvm_detection.so.$version
  floor=$(scripts/glibc-floor.py "$library" | sed -n 's/.*: glibc \([0-9]*\.[0-9]*\) .*/\1/p')
  [ -n "$floor" ] || { echo "package-python: no glibc floor read for $library" >&2; exit 1; }
  backend "print(vmd_build.build_wheel('$out', {'library': '$library', 'glibc-floor': '$floor'}))"
done
backend "print(vmd_build.build_sdist('$out'))"
