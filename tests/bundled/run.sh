#!/usr/bin/env bash
# The bundled stage: each binding installed by its ecosystem's one ordinary
# command, offline, in clean Debian 12 and 13 roots that have the language's
# toolchain and no libvm_detection: the wheel and the sdist (python.sh), the
# Go module through a file proxy (go.sh), the packaged crate (rust.sh) and
# the npm tarball with its prebuilt libraries (node.sh), each compared with
# the C library's report; then, in the Debian 12 root, the documentation's
# recipes as a reader copies them (recipes.sh). The release binaries are
# built once, for all.
#
#   tests/bundled/run.sh [LANG...]   default: python go rust node recipes
#   VMD_RELEASE_DIR=DIR              release binaries made already
set -euo pipefail
cd "$(dirname "$0")/../.."
langs=("${@:-python go rust node recipes}")
read -r -a langs <<<"${langs[*]}"
if [ -z "${VMD_RELEASE_DIR:-}" ]; then
  VMD_RELEASE_DIR=$(mktemp -d "${TMPDIR:-/tmp}/vmd-bundled-XXXXXX")
  trap 'rm -rf "$VMD_RELEASE_DIR"' EXIT
  start=$SECONDS
  scripts/release.sh --binaries "$VMD_RELEASE_DIR" >/dev/null
  echo "--- release binaries in $((SECONDS - start)) s"
fi
export VMD_RELEASE_DIR
failed=()
for suite in bookworm trixie; do
  for lang in "${langs[@]}"; do
    # The recipes once, on the release most readers have.
    [ "$lang/$suite" != recipes/trixie ] || continue
    echo "--- bundled: $lang on $suite"
    start=$SECONDS
    if "tests/bundled/$lang.sh" "$suite"; then echo "--- $lang on $suite passed in $((SECONDS - start)) s"
    else failed+=("$lang/$suite"); echo "--- $lang on $suite FAILED after $((SECONDS - start)) s"; fi
  done
done
((${#failed[@]} == 0)) || { echo "bundled: failed: ${failed[*]}" >&2; exit 1; }
