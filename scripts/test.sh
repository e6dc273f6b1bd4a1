#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-relwithdebinfo -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVMD_WARNINGS_AS_ERRORS=ON
cmake --build build-relwithdebinfo -j"$(nproc)"
ctest --test-dir build-relwithdebinfo --output-on-failure -j"$(nproc)"
