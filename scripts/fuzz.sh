#!/usr/bin/env bash
# Builds the libFuzzer targets (clang 14) and runs each for SECONDS seconds,
# starting from its committed seed corpus under fuzz/corpus/<target>/.
# Fails on any crash, failed property, hang (an input taking over 10 s),
# leak or memory blow-up. New inputs go to build-fuzz/corpus/<target>/ and
# failing inputs to build-fuzz/artifacts/<target>/.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]     (default: 25 s, every target)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-25}
shift $(($# > 0 ? 1 : 0))
all=(smbios cgroup_markers firmware_marker firmware_cloud_marker to_json detect_linux processor_file)
targets=("${@:-${all[@]}}")
build=${VMD_FUZZ_BUILD:-build-fuzz}

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DVMD_BUILD_FUZZERS=ON \
  -DVMD_BUILD_TESTS=OFF -DVMD_BUILD_BENCHMARKS=OFF -DVMD_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzzers

# detect_linux builds a probe tree for every input: on a memory file system
# that is many times faster than on disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
passed=0
failed=0
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$work" "$artifacts"
  echo "== fuzz $t for ${seconds}s"
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$t" \
       >"$build/fuzz-$t.log" 2>&1; then
    passed=$((passed + 1))
    grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz-$t.log" || true
  else
    failed=$((failed + 1))
    tail -n 40 "$build/fuzz-$t.log"
    echo "FAILED: $t; the input is in $artifacts/"
  fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
