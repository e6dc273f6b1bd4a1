#!/bin/sh
# Installs the build into a scratch prefix, checks the installed layout, and
# builds and runs the consumer programs once through pkg-config and once
# through find_package.
# usage: consumer_test.sh BUILD_DIR CONSUMER_SOURCE_DIR CC CMAKE GENERATOR
set -eu
build=$1 source=$2 cc=$3 cmake=$4 generator=$5
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-consumer-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/stage/prefix

fail() { echo "FAIL: $*" >&2; exit 1; }

# Staged beneath DESTDIR: a package build configures absolute directories
# (the systemd units' among them), which must land in the scratch tree too,
# not on the build machine.
DESTDIR=$scratch/stage "$cmake" --install "$build" --prefix /prefix >/dev/null
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

sh "$source/build_consumers.sh" "$prefix" "$libdir" "$cc" "$cmake" "$generator" "$scratch"
echo "consumer: installed, built and ran through pkg-config and find_package"
