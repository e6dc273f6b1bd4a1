#!/usr/bin/env bash
# The architectures stage: the library, vmd-detect and the GoogleTest suite
# cross-built with warnings as errors for every architecture of the table
# below (Debian's cross compilers, cmake/cross.cmake), then run under
# qemu-user: the whole suite; vmd-detect's live report; and a capture of
# this machine, taken by a native vmd-detect, replayed to the very report
# the native build gives for it (durations aside), so that the same tree,
# processor file included, reads the same on every architecture.
# GoogleTest is built once per architecture from the sources Debian ships in
# /usr/src/googletest and kept in the build directory; benchmarks and
# fuzzers are not built. The architectures build two at a time, each with
# one make job: that keeps both cores busy through the serial steps
# (configuring, linking) that one make -j2 per architecture leaves idle.
#
#   tests/architectures/run.sh [ARCH...]   default: the whole table
#   VMD_CROSS_BUILD=DIR                    build directory (build-cross)
#   VMD_CROSS_PARALLEL=N                   architectures built at once (2)
set -euo pipefail
cd "$(dirname "$0")/../.."

# Debian architecture, GNU triplet, qemu-user program, and the machine that
# `readelf -h` names for its programs.
table=(
  "arm64   aarch64-linux-gnu     qemu-aarch64 AArch64"
  "armhf   arm-linux-gnueabihf   qemu-arm     ARM"
  "i386    i686-linux-gnu        qemu-i386    Intel 80386"
  "ppc64el powerpc64le-linux-gnu qemu-ppc64le PowerPC64"
  "riscv64 riscv64-linux-gnu     qemu-riscv64 RISC-V"
  "s390x   s390x-linux-gnu       qemu-s390x   IBM S/390"
)
# The suite and vmd-detect once more on another processor model. Debian's
# i386 baseline has no SSE2, so no LFENCE: on such a processor the timing
# probe must be unavailable instead of killing its host. (qemu lets a
# pentium3, with SSE but not SSE2, execute LFENCE; a pentium2 faults.)
declare -A also_on=([i386]=pentium2)
# Under qemu-i386 7.2 the child of a fork of a dynamically linked program
# never gets past glibc's fork handling (it spins there), and the suite
# forks: its programs are linked statically there.
declare -A link_flags=([i386]=-static)

build=${VMD_CROSS_BUILD:-build-cross}
parallel=${VMD_CROSS_PARALLEL:-2}
cores=$(nproc)
make_jobs=$(((cores + parallel - 1) / parallel))
mkdir -p "$build/logs"
build=$(realpath "$build")

rows=()
for row in "${table[@]}"; do
  read -r arch _ <<<"$row"
  if (($# == 0)) || [[ " $* " == *" $arch "* ]]; then rows+=("$row"); fi
done
((${#rows[@]})) || { echo "no such architecture: $*; known: $(printf '%s ' "${table[@]%% *}")" >&2; exit 2; }

# The native vmd-detect that captures this machine and replays the capture.
native() {
  cmake -S . -B "$build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVMD_BUILD_TESTS=OFF \
    -DVMD_BUILD_BENCHMARKS=OFF -DVMD_INSTALL=OFF -DVMD_WARNINGS_AS_ERRORS=ON
  cmake --build "$build/native" -j"$make_jobs" --target vmd-detect
}

cross() {  # architecture, triplet
  local dir=$build/$1 gtest=$build/$1/gtest
  local links=${link_flags[$1]:-}
  local toolchain=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/cross.cmake" -DVMD_CROSS="$2")
  if [ ! -f "$gtest/built" ]; then
    rm -rf "$dir/googletest" "$gtest"
    cmake -S /usr/src/googletest -B "$dir/googletest" "${toolchain[@]}" -DBUILD_GMOCK=OFF \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$gtest"
    cmake --build "$dir/googletest" -j"$make_jobs"
    cmake --install "$dir/googletest"
    touch "$gtest/built"
  fi
  # The library and the tool optimised as distributions build (warnings
  # such as -Wnull-dereference depend on it), the test program not (half its
  # compile time; its warnings are the native build's), without the debug
  # information, which would cost a quarter of the time. Tests are not listed at build time (which would run
  # the suite once more under the emulator): it runs below as one process.
  cmake -S . -B "$dir/build" "${toolchain[@]}" -DCMAKE_FIND_ROOT_PATH="$gtest" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DVMD_BUILD_BENCHMARKS=OFF -DVMD_BUILD_FUZZERS=OFF \
    -DVMD_WARNINGS_AS_ERRORS=ON -DVMD_OPTIMIZE_TESTS=OFF -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST \
    -DCMAKE_EXE_LINKER_FLAGS="$links"
  cmake --build "$dir/build" -j"$make_jobs" --target vm_detection vmd-detect vmd_tests
}

# Every build at once, `parallel` at a time, each into its own log; the
# status and seconds of each land beside the log.
start_job() {  # name, command...
  local name=$1
  shift
  (
    started=$SECONDS
    set +e
    (set -e; "$@") >"$build/logs/$name.log" 2>&1
    echo "$? $((SECONDS - started))" >"$build/logs/$name.status"
  ) &
}
running=0
for name in native "${rows[@]}"; do
  if ((running == parallel)); then
    wait -n || true
    running=$((running - 1))
  fi
  rm -f "$build/logs/${name%% *}.status"
  if [ "$name" = native ]; then
    start_job native native
  else
    read -r arch triplet _ <<<"$name"
    start_job "$arch" cross "$arch" "$triplet"
  fi
  running=$((running + 1))
done
wait

built() {  # name: true when its build passed; prints its log's end when not
  local status
  seconds=0
  read -r status seconds <"$build/logs/$1.status" || status=1
  if [ "$status" != 0 ]; then
    tail -n 60 "$build/logs/$1.log"
    echo "== $1: build FAILED (log: $build/logs/$1.log)"
    return 1
  fi
  echo "== $1: built in $seconds s"
}

without_durations() { sed -E 's/"duration_us":[0-9]+//'; }

summary=()
failed=0
capture=$build/capture
if built native; then
  # A fresh capture of this machine, processor file included, and what the
  # native build reads back from it.
  rm -rf "$capture"
  "$build/native/vmd-detect" --capture "$capture" >/dev/null
  [ -f "$capture/processor" ] || { echo "the capture holds no processor file"; exit 1; }
  expected=$("$build/native/vmd-detect" --root "$capture" | without_durations)
else
  exit 1
fi

check() {  # architecture, triplet, qemu program, machine
  local arch=$1 triplet=$2 qemu=$3 machine=$4 model=${also_on[$1]:-}
  local dir=$build/$arch/build
  local run=(timeout 600 "$qemu" -L "/usr/$triplet")
  built "$arch" || return 1
  readelf -h "$dir/tests/vmd_tests" | grep -Eq "Machine: +$machine\$" ||
    { echo "vmd_tests is not an $arch program"; return 1; }
  echo "== the suite on $arch:"
  # One emulated process for the whole GoogleTest suite. (The Python-driven
  # tests load the library into, or start vmd-detect from, the host's
  # interpreter, which cannot run this code; they run in the native build.)
  "${run[@]}" "$dir/tests/vmd_tests" --gtest_brief=1 || return 1
  if [ -n "$model" ]; then
    echo "== the suite on $arch, processor $model:"
    "${run[@]}" -cpu "$model" "$dir/tests/vmd_tests" --gtest_brief=1 || return 1
    "${run[@]}" -cpu "$model" "$dir/vmd-detect" >/dev/null || return 1
  fi
  echo "== vmd-detect on $arch:"
  "${run[@]}" "$dir/vmd-detect" || return 1
  echo
  local replayed
  replayed=$("${run[@]}" "$dir/vmd-detect" --root "$capture" | without_durations) || return 1
  if [ "$replayed" != "$expected" ]; then
    echo "== the capture of this machine replays differently on $arch:"
    diff <(echo "$expected") <(echo "$replayed") || true
    return 1
  fi
  echo "== the capture of this machine replays on $arch as on this machine"
}

for row in "${rows[@]}"; do
  read -r arch triplet qemu machine <<<"$row"
  start=$SECONDS
  if check "$arch" "$triplet" "$qemu" "$machine"; then
    result=passed
  else
    result=FAILED
    failed=$((failed + 1))
  fi
  summary+=("$(printf '%-8s %-6s built in %3d s, run in %3d s' "$arch" "$result" "$seconds" \
    $((SECONDS - start)))")
done
echo "== architectures"
printf '%s\n' "${summary[@]}"
((failed == 0))
