#!/bin/sh
# Installs the build into a scratch prefix, checks the installed layout, and
# builds and runs the consumer programs once through pkg-config and once
# through find_package.
# usage: consumer_test.sh BUILD_DIR CONSUMER_SOURCE_DIR CC CMAKE GENERATOR
set -eu
build=$1 source=$2 cc=$3 cmake=$4 generator=$5
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-consumer-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >/dev/null
so=$(find "$prefix" -name libvm_detection.so.1.0.0)
[ -f "$so" ] || fail "no libvm_detection.so.1.0.0 under $prefix"
libdir=$(dirname "$so")
[ "$(readlink "$libdir/libvm_detection.so.1")" = libvm_detection.so.1.0.0 ] || fail "soname link"
[ "$(readlink "$libdir/libvm_detection.so")" = libvm_detection.so.1 ] || fail "linker name link"
for f in include/vm_detection.h share/vm_detection/report-v1.schema.json; do
  [ -f "$prefix/$f" ] || fail "$f not installed"
done
[ -x "$prefix/bin/vmd-detect" ] || fail "vmd-detect not installed"
"$prefix/bin/vmd-detect" --root "$scratch" >/dev/null || fail "installed vmd-detect does not run"

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
echo "consumer: installed, built and ran through pkg-config and find_package"
