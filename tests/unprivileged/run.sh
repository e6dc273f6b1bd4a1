#!/usr/bin/env bash
# Runs the native test suite as an unprivileged user, the way most hosts run
# the library: as root, tests of files the process may not read are skipped,
# since permissions do not apply to root. Run as root, this copies the tree
# into a scratch directory owned by nobody and builds and tests it there as
# nobody; run as anyone else, it is scripts/test.sh.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [ "$(id -u)" -ne 0 ]; then exec scripts/test.sh; fi
scripts/deps.sh

user=nobody group=nogroup
work=$(mktemp -d /tmp/vmd-unprivileged-XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src" "$work/home" "$work/tmp"
scripts/copy-tree.sh "$work/src"
chown -R "$user:$group" "$work"
chmod 755 "$work"

# A plain environment: root's PATH may lead to tools nobody cannot reach.
as_user() {
  setpriv --reuid="$user" --regid="$group" --clear-groups \
    env -i PATH=/usr/local/bin:/usr/bin:/bin HOME="$work/home" TMPDIR="$work/tmp" LANG=C.UTF-8 "$@"
}
as_user sh -c '[ "$(id -u)" -ne 0 ]' || { echo "still root after setpriv" >&2; exit 1; }
cd "$work"
as_user cmake -S src -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVMD_BUILD_BENCHMARKS=OFF -DVMD_OPTIMIZE_TESTS=OFF \
  -DVMD_WARNINGS_AS_ERRORS=ON >/dev/null
as_user cmake --build build -j"$(nproc)" >build.log 2>&1 || { tail -n 40 build.log; exit 1; }
as_user ctest --test-dir build --output-on-failure -j"$(nproc)"
