#!/usr/bin/env bash
# Cross-builds the library and its test suite for aarch64, a processor
# without the x86 identification instruction, and runs the suite under
# qemu-user. GoogleTest is built for aarch64 from the sources that
# libgtest-dev ships. Benchmarks are not built.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${VMD_ARM_BUILD:-build-arm}
prefix="$PWD/$build/gtest-aarch64"
export QEMU_LD_PREFIX=/usr/aarch64-linux-gnu

if [ ! -f "$prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/googletest" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "$build/googletest" -j"$(nproc)" >/dev/null
  cmake --install "$build/googletest" >/dev/null
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64.cmake" \
  -DCMAKE_FIND_ROOT_PATH="$prefix" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVMD_BUILD_BENCHMARKS=OFF \
  -DVMD_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target vm_detection vmd-detect vmd_tests

readelf -h "$build/tests/vmd_tests" | grep -q AArch64 || { echo "vmd_tests is not an aarch64 program"; exit 1; }
echo "== vmd-detect on aarch64:"
qemu-aarch64 "$build/vmd-detect"
echo
# The whole GoogleTest suite, one emulated process. (The Python-driven tests
# load the library into, or start vmd-detect from, the host's interpreter,
# which cannot run aarch64 code; they run in the native build.)
qemu-aarch64 "$build/tests/vmd_tests" --gtest_brief=1
