#!/usr/bin/env bash
# Builds a Release tree in build-bench and runs the benchmark suite: first a
# check that the floor makes the same system calls as a run, then every
# benchmark with repetitions interleaved, then the summary that sets the
# whole run and its platform part beside their floors.
#
#   scripts/bench.sh                       the full suite (about a minute)
#   scripts/bench.sh --benchmark_filter=X  extra flags go to vmd_bench
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVMD_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build-bench -j"$(nproc)" --target vmd_bench >/dev/null

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'),"\
     "kernel $(uname -r)"
python3 bench/trace_check.py build-bench/bench/vmd_bench || [ $? -eq 77 ]
exec build-bench/bench/vmd_bench \
  --benchmark_repetitions=30 --benchmark_min_time=0.05 \
  --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true "$@"
