#!/usr/bin/env bash
# Tests the four bindings against the library of this build, installed into
# a scratch prefix that the loader, pkg-config and the tests are pointed at:
# the Python package installed with pip, offline, into a fresh virtual
# environment of Debian's python3 (and of the python3 on PATH when that is
# another interpreter) and editable, its tests, mypy --strict over it; go
# vet and go test, with the installed library and with the module's own
# compile of it; the Rust crate's tests likewise, built offline from
# Debian's packaged crates; the Node.js package installed with npm from its lock
# file, its tests and tsc over its declarations. Each binding's tests read
# the report corpus, tests/reports/. Then a C++ program that reads the
# report with nlohmann/json, a Rust program that depends on the crate by
# path (the installed library) and a Node.js program that installed the package's tarball, then
# another package, must each print the
# verdict, the lists and the evidence that vmd-detect's report holds, for
# this machine and for probe trees made here. Everything but the build tree
# lands in the scratch directory and is removed.
#
#   tests/bindings/run.sh   builds build-relwithdebinfo/ as scripts/test.sh does (nothing to do after it)
#   VMD_BUILD=DIR tests/bindings/run.sh   configures, builds and installs from DIR instead
set -euo pipefail
cd "$(dirname "$0")/../.."
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-bindings-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

build=${VMD_BUILD:-build-relwithdebinfo}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
libdir=$(dirname "$(find "$scratch/prefix" -name libvm_detection.so.1)")
export LD_LIBRARY_PATH=$libdir PKG_CONFIG_PATH=$libdir/pkgconfig
export VMD_DETECT=$scratch/prefix/bin/vmd-detect PYTHONDONTWRITEBYTECODE=1
export VMD_STUB_SOURCE=$PWD/tests/bindings/stub_library.c
# The report corpus every binding's tests walk, for those run from a copy.
export VMD_REPORTS=$PWD/tests/reports

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
# An editable install imports the package from the source tree (into a
# venv without a pip of its own, which takes seconds to set up).
/usr/bin/python3 -m venv --without-pip "$scratch/venv-editable"
"$scratch/venv0/bin/pip" --python "$scratch/venv-editable/bin/python" install -q -e ./python
source_file=$PWD/python/vm_detection/__init__.py
(cd "$scratch" && "$scratch/venv-editable/bin/python" -c 'import sys, vm_detection
assert vm_detection.__file__ == sys.argv[1], vm_detection.__file__
print("editable:", vm_detection.detect().vm_likelihood)' "$source_file")
# pytest and mypy come from Debian; the package under test from the venv.
PYTHONPATH=/usr/lib/python3/dist-packages "$scratch/venv0/bin/python" -m pytest \
  -p no:cacheprovider -q python/tests
/usr/bin/python3 -m mypy --strict --cache-dir=/dev/null python/vm_detection python/_backend \
  python/tests/types_check.py

echo "--- go"
# The installed library (build tag vmd_system), then the module's own
# compile of the library's sources, which the tests compare with vmd-detect.
export GOCACHE=$scratch/go-cache GOPATH=$scratch/go GOPROXY=off GOFLAGS=-mod=readonly
go vet -tags vmd_system ./go/... && go test -tags vmd_system ./go/...
go vet ./go/... && go test ./go/...

echo "--- rust"
# Debian's registry directory stands in for cargo's default one, offline;
# the crate itself names no source. Its tests run on a copy, so that the
# Cargo.lock they resolve lands in the scratch directory.
export CARGO_HOME=$scratch/cargo CARGO_TARGET_DIR=$scratch/cargo-target
mkdir -p "$CARGO_HOME" "$scratch/rust" "$scratch/rust-consumer/src"
cat >"$CARGO_HOME/config.toml" <<'EOF'
[source.crates-io]
replace-with = "debian"
[source.debian]
directory = "/usr/share/cargo/registry"
[net]
offline = true
EOF
cp -r Cargo.toml CMakeLists.txt src include rust "$scratch/rust/"
# The installed library (no default features), then the bundled build.
(cd "$scratch/rust" && cargo --version && cargo test -q --no-default-features && cargo test -q)
cat >"$scratch/rust-consumer/Cargo.toml" <<EOF
[package]
name = "consumer"
version = "0.0.0"
edition = "2021"
[dependencies]
vm-detection = { path = "$PWD", default-features = false }
EOF
cp tests/bindings/consumer.rs "$scratch/rust-consumer/src/main.rs"
cargo build -q --manifest-path "$scratch/rust-consumer/Cargo.toml"
# Without the library's pkg-config file the build says where to point it.
if PKG_CONFIG_LIBDIR=$scratch/none PKG_CONFIG_PATH='' cargo build -q \
  --manifest-path "$scratch/rust-consumer/Cargo.toml" 2>"$scratch/rust-missing.log"; then
  echo "FAIL: the crate built without libvm_detection's pkg-config file" >&2; exit 1
fi
grep -q 'set PKG_CONFIG_PATH to PREFIX/lib/pkgconfig' "$scratch/rust-missing.log" ||
  { cat "$scratch/rust-missing.log"; echo "FAIL: no hint without the pkg-config file" >&2; exit 1; }

echo "--- node"
# From the npm registry only, into a scratch cache. Install scripts are not
# run: koffi's only checks that its shipped binary loads, and the package
# must work from the registry's files alone.
export npm_config_cache=$scratch/npm-cache npm_config_loglevel=error npm_config_audit=false \
  npm_config_fund=false npm_config_update_notifier=false
mkdir "$scratch/node" "$scratch/node-consumer"
cp -r node/package.json node/package-lock.json node/index.js node/index.d.ts node/tsconfig.json \
  node/test "$scratch/node/"
(cd "$scratch/node" && node --version && npm ci --ignore-scripts &&
  node --test test/binding.test.js && node_modules/.bin/tsc -p .)
# A program installs the packed package as a user would; its one
# dependency is pinned to an exact version. A later plain install of
# another package (a local tarball, from no registry) must leave it whole:
# the consumers below run after it.
(cd "$scratch/node" && npm pack -q --pack-destination "$scratch/node-consumer" >/dev/null)
echo '{"private": true}' >"$scratch/node-consumer/package.json"
cp tests/bindings/consumer.js "$scratch/node-consumer/"
mkdir "$scratch/node-other" "$scratch/node-linked"
echo '{"name": "other", "version": "1.0.0"}' >"$scratch/node-other/package.json"
(cd "$scratch/node-other" && npm pack -q --pack-destination "$scratch" >/dev/null)
(cd "$scratch/node-consumer" && npm install -q --ignore-scripts ./vm-detection-1.0.0.tgz &&
  npm install -q --ignore-scripts --offline "$scratch/other-1.0.0.tgz")
# Installed from a source tree instead, the same second install leaves a
# link to it and no koffi: the error must say that, not blame the loader.
cp node/package.json node/index.js "$scratch/node-linked/"
mkdir "$scratch/node-linked/app" && echo '{"private": true}' >"$scratch/node-linked/app/package.json"
(cd "$scratch/node-linked/app" && npm install -q --ignore-scripts --offline --install-links .. &&
  npm install -q --ignore-scripts --offline "$scratch/other-1.0.0.tgz" &&
  node -e 'try { require("vm-detection").detect(); } catch (e) { console.log(e.code); }' |
  grep -qx VMD_KOFFI_NOT_FOUND) ||
  { echo "FAIL: a vm-detection linked without koffi does not say so" >&2; exit 1; }

echo "--- c++ with nlohmann/json"
cmake -S examples/nlohmann-json -B "$scratch/cxx" -DCMAKE_PREFIX_PATH="$scratch/prefix" \
  -DCMAKE_CXX_FLAGS="-Wall -Wextra -Werror" >/dev/null
cmake --build "$scratch/cxx" >/dev/null

echo "--- the consumers print vmd-detect's verdict, lists and evidence"
consumers=("$scratch/cxx/detect" "$CARGO_TARGET_DIR/debug/consumer"
           "$scratch/node-consumer/consumer.js")
consume() {  # consumer, report file or nothing
  case $1 in *.js) node "$@" ;; *) "$@" ;; esac
}
same() {  # want, got, what
  diff -u "$1" "$2" >&2 || { echo "FAIL: $3" >&2; exit 1; }
}
# The probe trees every binding is compared over (trees.sh).
trees=$scratch/trees
tests/bindings/trees.sh "$trees"
for tree in rich host empty; do
  "$VMD_DETECT" --root "$trees/$tree" >"$scratch/$tree.json"
  python3 tests/bindings/summary.py "$scratch/$tree.json" >"$scratch/$tree.want"
  for c in "${consumers[@]}"; do
    consume "$c" "$scratch/$tree.json" >"$scratch/$tree.got"
    same "$scratch/$tree.want" "$scratch/$tree.got" "$c over the $tree tree"
  done
done
# The trees must give what they are made for.
bytes=$'evidence: hypervisor guest unknown 85 hv\xc3\xa9\xff"\\\x01'
if ! LC_ALL=C grep -qxF "$bytes" "$scratch/rich.want" ||
  ! grep -qx 'cloud_providers: aws' "$scratch/rich.want" ||
  ! grep -qx 'host_hypervisors: xen' "$scratch/host.want"; then
  echo "FAIL: the probe trees no longer give the bytes and lists they are made for" >&2; exit 1
fi
# This machine: every run measures the timing probe's cycles anew.
cycles() { sed -E 's/^(evidence: timing .* cpuid )[0-9]+/\1_/'; }
"$VMD_DETECT" >"$scratch/live.json"
python3 tests/bindings/summary.py "$scratch/live.json" | cycles >"$scratch/live.want"
for c in "${consumers[@]}"; do
  consume "$c" | cycles >"$scratch/live.got"
  same "$scratch/live.want" "$scratch/live.got" "$c on this machine"
done
echo "consumers: ${#consumers[@]} programs agree with vmd-detect over 4 reports"
