#!/usr/bin/env bash
# The suite's tests that need something newer than an older system has
# skip there, each with one line naming what is missing, instead of
# failing: in a clean Debian 11 (bullseye) root with its python3 and
# python3-jsonschema 3.2, shared_object_test.py (glibc 2.31: no mallinfo2)
# over the release build's shared object (which loads on glibc 2.17 and
# later: scripts/release.sh --binaries), and schema_test.py and
# report_corpus_test.py (no draft 2020-12 validator) must exit 77, the code
# ctest's SKIP_RETURN_CODE reads as skipped. Prints each step's time.
#
#   tests/releases/older-facilities.sh
#   VMD_RELEASE_BUILD=DIR   the release build's directories (default
#                           build-release-cache, as floor.sh), kept between runs
set -euo pipefail
cd "$(dirname "$0")/../.."
started=$SECONDS
fail() { echo "FAIL: older-facilities: $*" >&2; exit 1; }

step_start=$SECONDS
step_end() { echo "== $1: $((SECONDS - step_start)) s"; step_start=$SECONDS; }

work=$(mktemp -d /tmp/vmd-older-XXXXXX)
trap 'rm -rf "$work"' EXIT
version=$(sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
VMD_RELEASE_BUILD=${VMD_RELEASE_BUILD:-build-release-cache} \
  scripts/release.sh --binaries "$work/release" >"$work/release.log" 2>&1 ||
  { tail -n 40 "$work/release.log"; fail "scripts/release.sh --binaries"; }
tar -xzf "$work/release/libvm_detection-$version-linux-x86_64.tar.gz" -C "$work"
lib=$work/libvm_detection-$version-linux-x86_64/lib
step_end "the release build's shared object"

root=$(scripts/root.sh make bullseye amd64 minbase python3 python3-jsonschema binutils)
step_end "bullseye root"

# Each test must end with 77 and say in one line what it lacks.
mkdir "$work/check"
cat >"$work/check/check.sh" <<'EOF'
set -u
status=0
expect_skip() {  # WHAT-IS-MISSING TEST ARGUMENT...
  local missing=$1 out rc=0
  shift
  out=$(python3 "$@" 2>&1) || rc=$?
  echo "$(basename "$1"): exit $rc: $out"
  if [ "$rc" != 77 ] || [ "$(printf '%s\n' "$out" | wc -l)" != 1 ] ||
     [[ $out != SKIP:*"$missing"* ]]; then
    echo "FAIL: $(basename "$1") did not skip naming $missing"
    status=1
  fi
}
expect_skip mallinfo2 /src/tests/shared_object_test.py /floor/libvm_detection.so.1
expect_skip Draft202012Validator /src/tests/schema_test.py /nonexistent/vmd-detect \
  /src/schema/report-v1.schema.json
expect_skip Draft202012Validator /src/tests/report_corpus_test.py \
  /src/schema/report-v1.schema.json /src/tests/reports
exit "$status"
EOF
scripts/root.sh run "$root" -b "$PWD/tests:/src/tests" -b "$PWD/schema:/src/schema" \
  -b "$lib:/floor" -b "$work/check:/check" -- bash /check/check.sh ||
  fail "a test did not skip as it should on Debian 11"
step_end "the skips on Debian 11"
echo "older-facilities: passed in $((SECONDS - started)) s"
