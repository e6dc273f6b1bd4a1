#!/bin/sh
# Builds a project that embeds the source tree with add_subdirectory, with
# GoogleTest and Google Benchmark out of reach (a REQUIRED lookup of either
# fails the configuration), and runs its program.
# usage: embed_test.sh SOURCE_DIR CONSUMER_SOURCE_DIR CC CMAKE GENERATOR
set -eu
source=$1 consumer=$2 cc=$3 cmake=$4 generator=$5
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-embed-XXXXXX")
trap 'rm -rf "$scratch"' EXIT

fail() { echo "FAIL: $*" >&2; exit 1; }

# Debug: nothing here is about speed, and -O0 compiles fastest.
"$cmake" -S "$consumer/embedded" -B "$scratch" -G "$generator" -DVMD_SOURCE_DIR="$source" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
  >"$scratch/configure.log" 2>&1 || { cat "$scratch/configure.log"; fail "does not configure"; }
"$cmake" --build "$scratch" --target consumer >"$scratch/build.log" 2>&1 ||
  { cat "$scratch/build.log"; fail "does not build"; }
"$scratch/consumer" | head -c 20 | grep -q '^{"schema_version":1,' || fail "consumer printed no report"
echo "embedded: built with add_subdirectory, without GoogleTest, and ran"
