#!/usr/bin/env bash
# The project on Debian 13 (trixie), from a clean minbase root: the working
# tree (committed or not) copied in; there, as root, scripts/deps.sh,
# scripts/test.sh with the release's g++, the README's first command (build
# and run vmd-detect), the same suite built with its clang and clang++, both
# with warnings as errors; then the Debian packages built, held to Debian 13's
# lintian, installed and used as scripts/packages.sh does. Prints each
# step's time. Roots and apt's downloads are cached by scripts/root.sh
# (which needs mmdebstrap: scripts/deps.sh --all).
#
#   tests/releases/debian13.sh [SUITE]   SUITE: trixie (the default), or
#                                        bookworm for the same in Debian 12
set -euo pipefail
cd "$(dirname "$0")/../.."

started=$SECONDS
# The processor seconds of this shell's finished children: on a machine
# shared with other work the wall time alone says little.
cpu() {
  local stat
  read -r stat </proc/$$/stat
  read -r -a stat <<<"${stat##*) }"
  echo $(((stat[13] + stat[14]) / $(getconf CLK_TCK)))
}
step() {  # NAME COMMAND...
  local name=$1 t0=$SECONDS c0 status=0
  c0=$(cpu)
  shift
  echo "== $name"
  "$@" || status=$?
  echo "== $name: $((SECONDS - t0)) s, processor $(($(cpu) - c0)) s$( ((status == 0)) || echo ", FAILED ($status)")"
  return "$status"
}

if [ "${1:-}" = --inside ]; then
  # In the root, at /src, as root.
  log=/tmp/deps-packages.log
  # The README's first command, as the README writes it.
  readme=$(awk '/^```sh$/ { inside = 1; next } inside && /^```$/ { exit } inside' README.md)
  [[ $readme == scripts/deps.sh* ]] || { echo "FAIL: no first command in README.md" >&2; exit 1; }

  step "scripts/deps.sh" scripts/deps.sh
  # clang and the packaging tools, downloaded and unpacked while g++ builds.
  scripts/deps.sh --packages >"$log" 2>&1 &
  extras=$!
  step "scripts/test.sh (g++ $(g++ -dumpversion))" scripts/test.sh
  # The README's command in its own build folder, with the flags it gives:
  # deps.sh alone must have made it possible in this clean root.
  step "README: $readme" bash -c "$readme"
  step "scripts/deps.sh --packages" wait "$extras" || { cat "$log"; exit 1; }

  # With clang the suite is built without optimisation or debug
  # information: its warnings do not depend on them, the optimised build
  # was g++'s, and the build takes a third of the time or less.
  clang_suite() {
    CC=clang CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=None \
      -DVMD_WARNINGS_AS_ERRORS=ON >/dev/null
    cmake --build build-clang -j2
    ctest --test-dir build-clang --output-on-failure -j2
  }
  step "the suite with clang $(clang -dumpversion)" clang_suite
  # scripts/packages.sh copies the tree with git: the copy here is made a
  # work tree of its own, every file in it untracked. Its package build
  # runs without the suite (nocheck), which the g++ run above has passed
  # over the same tree: everything else of it is as on Debian 12.
  git init -q .
  mkdir /tmp/nocheck
  printf '#!/bin/sh\nDEB_BUILD_OPTIONS="$DEB_BUILD_OPTIONS nocheck" DEB_BUILD_PROFILES=nocheck exec /usr/bin/dpkg-buildpackage "$@"\n' \
    >/tmp/nocheck/dpkg-buildpackage
  chmod 755 /tmp/nocheck/dpkg-buildpackage
  PATH=/tmp/nocheck:$PATH step "scripts/packages.sh (package build without the suite)" scripts/packages.sh
  echo "all steps passed in $((SECONDS - started)) s"
  exit
fi

# The root is cached by root.sh; the copy is made afresh each time.
suite=${1:-trixie}
t0=$SECONDS
root=$(scripts/root.sh make "$suite" amd64 minbase)
echo "== $suite root: $((SECONDS - t0)) s"
work=$(mktemp -d "/tmp/vmd-$suite-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
scripts/copy-tree.sh "$work/src"
status=0
scripts/root.sh run "$root" -w "$work/src:/src" -- \
  bash -c 'cd /src && tests/releases/debian13.sh --inside' || status=$?
echo "debian13 ($suite): $( ((status == 0)) && echo passed || echo FAILED) in $((SECONDS - started)) s"
exit "$status"
