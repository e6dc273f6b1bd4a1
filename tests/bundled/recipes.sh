#!/usr/bin/env bash
# The documentation's recipes run as a reader copies them
# (tests/doc_recipes.py), in a clean Debian root of SUITE without
# libvm_detection, from a copy of the checkout: the README's set-up command
# (scripts/deps.sh, whose apt is the only thing that reaches the network),
# the CMake install into /usr/local and its uninstall, the C, C++, Python,
# Go, Rust and Node.js programs, the fleet facts linked after that install,
# vmd-detect's checks, a capture replayed, the fleet files written, a
# staged install and its uninstall, and every clean-up. The bindings' installs are offline, as the other
# bundled tests have them: pip without an index, the release's wheel and
# the npm tarball as if downloaded into the checkout, Go through a file
# proxy, cargo from a registry directory, npm from a cache filled here.
# Between the recipes and the clean-ups the facts must run through their
# links; after the clean-ups nothing of the project may be left in
# /usr/local or /etc, nor in the programs' manifests.
#
#   tests/bundled/recipes.sh [SUITE]   SUITE bookworm (default) or trixie
#   VMD_RELEASE_DIR=DIR   the release tarballs (default: made here by
#                         scripts/release.sh --binaries)
#   VMD_NPM_CACHE=DIR     an npm cache that holds koffi already (copied)
set -euo pipefail
suite=${1:-bookworm}
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-bundled-recipes-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
last=$SECONDS
step() { echo "recipes.sh $suite: $1 ($((SECONDS - last)) s)"; last=$SECONDS; }

# What the documents hand the reader, packed as the release packs it.
. tests/bundled/common.sh
release=$(release_dir "$scratch")
mkdir "$scratch/src" "$scratch/out"
scripts/copy-tree.sh "$scratch/src"
VMD_RELEASE_DIR=$release scripts/package-python.sh "$scratch/out" >/dev/null
VMD_RELEASE_DIR=$release scripts/package-node.sh "$scratch/out" >/dev/null 2>&1
scripts/package-go.sh "$scratch/out" >/dev/null
scripts/package-rust.sh "$scratch/out" >/dev/null
cp "$scratch/out"/*.whl "$scratch/out/vm-detection-$version.tgz" "$scratch/src/"
npm_cache "$scratch/npm-cache"
step "packages, the checkout's copy and the npm cache"
root=$(bundled_root "$suite")
step "root $root"

mkdir "$scratch/in"
cat >"$scratch/in/inside.sh" <<'EOF'
set -euo pipefail
# Run as root, where the recipes say sudo: sudo itself is not in the root.
mkdir -p /opt/shim && printf '#!/bin/sh\nexec "$@"\n' >/opt/shim/sudo && chmod 755 /opt/shim/sudo
export PATH=$PATH:/opt/shim
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1
export GOPROXY=file:///out/goproxy GOSUMDB=off GOFLAGS=-mod=mod GOTOOLCHAIN=local
export npm_config_offline=true npm_config_cache=/npm-cache npm_config_audit=false \
  npm_config_fund=false npm_config_update_notifier=false npm_config_loglevel=error
export CARGO_HOME=/tmp/cargo
bash /src/tests/bundled/cargo-registry.sh
cd /src
# The facts, linked after the CMake install, run through their links.
between='for fact in /etc/ansible/facts.d/vm_detection.fact /etc/facter/facts.d/vm_detection; do
  "$fact" >/tmp/fact || { echo "$fact does not run" >&2; exit 1; }; done'
# After the clean-ups: nothing of the project installed, linked or required
# (each a test of its own: bash -e passes over a failed `! command`).
after='left=$(find /usr/local /etc -xdev \( -name "*vm_detection*" -o -name "*vmd-detect*" \
    -o -name "*vm-detection*" \) -not -path "/usr/local/share/ca-certificates*" -print)
  [ -z "$left" ] || { echo "left after the clean-ups: $left" >&2; exit 1; }
  [ ! -e ~/.venvs/vmd ] || { echo "~/.venvs/vmd is left" >&2; exit 1; }
  for manifest in vmd-go/go.mod vmd-go/go.sum vmd-rust/Cargo.toml vmd-node/package.json; do
    if grep -E "libvm[-_]detection v|^vm-detection |\"vm-detection\"" "$manifest" 2>/dev/null; then
      echo "$manifest still names the package" >&2; exit 1
    fi
  done'
python3 tests/doc_recipes.py --between "$between" --after "$after" README.md docs/library.md \
  docs/bindings.md docs/abi.md docs/kubernetes.md docs/performance.md docs/probes.md docs/report.md \
  docs/vmd-detect.md docs/capture.md docs/safety.md docs/packaging.md docs/fleet.md
EOF
scripts/root.sh run "$root" -w "$scratch/src:/src" -b "$scratch/out:/out" -w "$scratch/npm-cache:/npm-cache" \
  -b /usr/share/cargo/registry:/host-crates -b "$scratch/in:/in" -- bash /in/inside.sh
step "done"
