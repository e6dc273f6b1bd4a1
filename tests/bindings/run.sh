#!/usr/bin/env bash
# Tests the Python and Go bindings against the library of this build,
# installed into a scratch prefix that the loader, pkg-config and the tests
# are pointed at: the Python package installed with pip, offline, into a
# fresh virtual environment of Debian's python3 (and of the python3 on PATH
# when that is another interpreter), its tests, mypy --strict over it; then
# go vet and go test. Everything but the build tree lands in the scratch
# directory and is removed.
#
#   tests/bindings/run.sh   builds build/ as scripts/test.sh does (nothing to do after it)
set -euo pipefail
cd "$(dirname "$0")/../.."
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-bindings-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
cmake --install build --prefix "$scratch/prefix" >/dev/null
libdir=$(dirname "$(find "$scratch/prefix" -name libvm_detection.so.1)")
export LD_LIBRARY_PATH=$libdir PKG_CONFIG_PATH=$libdir/pkgconfig
export VMD_DETECT=$scratch/prefix/bin/vmd-detect PYTHONDONTWRITEBYTECODE=1

echo "--- python"
# No index and no wheel directory: the package's build must need neither.
unset PIP_FIND_LINKS PIP_INDEX_URL PIP_EXTRA_INDEX_URL
export PIP_NO_INDEX=1 PIP_NO_CACHE_DIR=1 PIP_DISABLE_PIP_VERSION_CHECK=1
interpreter() { "$1" -c 'import os, sys; print(os.path.realpath(sys.executable))'; }
pythons=(/usr/bin/python3)
if command -v python3 >/dev/null && [ "$(interpreter python3)" != "$(interpreter /usr/bin/python3)" ]; then
  pythons+=("$(interpreter python3)")
fi
for i in "${!pythons[@]}"; do
  "${pythons[$i]}" -m venv "$scratch/venv$i"
  "$scratch/venv$i/bin/pip" install -q ./python
  (cd "$scratch" && "$scratch/venv$i/bin/python" -c \
    'import sys, vm_detection; print(sys.version.split()[0], vm_detection.detect().hypervisors)')
done
# pytest and mypy come from Debian; the package under test from the venv.
PYTHONPATH=/usr/lib/python3/dist-packages "$scratch/venv0/bin/python" -m pytest \
  -p no:cacheprovider -q python/tests
/usr/bin/python3 -m mypy --strict --cache-dir=/dev/null python/vm_detection python/_backend

echo "--- go"
export GOCACHE=$scratch/go-cache GOPATH=$scratch/go GOPROXY=off GOFLAGS=-mod=readonly
(cd go && go vet ./... && go test ./...)
