#!/bin/sh
# Builds and runs the consumer programs against an installed copy of the
# library, once through pkg-config and once through find_package.
# usage: build_consumers.sh PREFIX LIBDIR CC CMAKE GENERATOR SCRATCH
set -eu
source=$(dirname "$0")
prefix=$1 libdir=$2 cc=$3 cmake=$4 generator=$5 scratch=$6

fail() { echo "FAIL: $*" >&2; exit 1; }
check_report() {
  head -c 20 "$1" | grep -q '^{"schema_version":1,' || fail "$2 printed no report"
}

# pkg-config
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ -f "$(pkg-config --variable=schemadir vm_detection)/report-v1.schema.json" ] ||
  fail "pkg-config schemadir"
# shellcheck disable=SC2046  # the flags are meant to split
"$cc" -std=c99 -Wall -Wextra -Werror -o "$scratch/pc-consumer" "$source/consumer.c" \
  $(pkg-config --cflags --libs vm_detection)
LD_LIBRARY_PATH="$libdir" "$scratch/pc-consumer" >"$scratch/pc.out" || fail "pkg-config consumer"
check_report "$scratch/pc.out" "pkg-config consumer"

# find_package
"$cmake" -S "$source" -B "$scratch/build" -G "$generator" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" >"$scratch/configure.log" 2>&1 ||
  { cat "$scratch/configure.log"; fail "consumer project does not configure"; }
"$cmake" --build "$scratch/build" >"$scratch/build.log" 2>&1 ||
  { cat "$scratch/build.log"; fail "consumer project does not build"; }
for program in consumer consumer_cxx; do
  "$scratch/build/$program" >"$scratch/$program.out" || fail "find_package $program"
  check_report "$scratch/$program.out" "find_package $program"
done
