#!/usr/bin/env bash
# Builds the libFuzzer targets (with the newest clang whose libFuzzer is
# installed: libclang-rt-14-dev on Debian 12, -19-dev on Debian 13, as
# scripts/deps.sh --all installs; VMD_CLANG=N picks clang-N) and runs each for SECONDS seconds,
# as many at once as there are cores, starting from its committed seed
# corpus under fuzz/corpus/<target>/.
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

if [ -z "${VMD_CLANG:-}" ]; then
  VMD_CLANG=$(printf '%s\n' /usr/lib/llvm-*/lib/clang/*/lib/*/libclang_rt.fuzzer*.a |
                sed -n 's|^/usr/lib/llvm-\([0-9]*\)/.*\.a$|\1|p' | sort -n | tail -n 1)
  [ -n "$VMD_CLANG" ] || { echo "fuzz.sh: no clang with libFuzzer; run scripts/deps.sh --all" >&2; exit 1; }
fi
echo "fuzz: clang $VMD_CLANG"
CC=clang-$VMD_CLANG CXX=clang++-$VMD_CLANG cmake -S . -B "$build" -DVMD_BUILD_FUZZERS=ON \
  -DVMD_BUILD_TESTS=OFF -DVMD_BUILD_BENCHMARKS=OFF -DVMD_WARNINGS_AS_ERRORS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzzers

# detect_linux builds a probe tree for every input: on a memory file system
# that is many times faster than on disk.
if [ -z "${TMPDIR:-}" ] && [ -d /dev/shm ] && [ -w /dev/shm ]; then export TMPDIR=/dev/shm; fi
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
# One target a core at a time: each is single-threaded. A target's lines
# are printed together when it ends.
fuzz_one() {  # target
  local t=$1 work="$build/corpus/$1" artifacts="$build/artifacts/$1" status=0
  mkdir -p "$work" "$artifacts"
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$t" \
    >"$build/fuzz-$t.log" 2>&1 || status=$?
  echo "== fuzz $t for ${seconds}s"
  if ((status == 0)); then
    grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz-$t.log" || true
    return 0
  fi
  tail -n 40 "$build/fuzz-$t.log"
  echo "FAILED: $t; the input is in $artifacts/"
  return 1
}
passed=0
failed=0
running=0
reap() {
  if wait -n; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
  running=$((running - 1))
}
for t in "${targets[@]}"; do
  if ((running >= $(nproc))); then reap; fi
  fuzz_one "$t" &
  running=$((running + 1))
done
while ((running > 0)); do reap; done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))
