#!/usr/bin/env bash
# The CMake route's uninstall target, from a build folder of its own:
# without an install it fails and says so; after an install with DESTDIR
# (the default prefix, /usr/local) and after one with another --prefix, each
# into a tree that already holds the usual shared directories and another
# program's files (one of them in a directory of ours), it must leave the
# tree exactly as it was: our files and links gone, dangling ones too, our
# directories gone, nothing else touched.
#
#   tests/packages/uninstall.sh
set -euo pipefail
cd "$(dirname "$0")/../.."
fail() { echo "FAIL: uninstall: $*" >&2; exit 1; }
work=$(mktemp -d /tmp/vmd-uninstall-XXXXXX)
trap 'rm -rf "$work"' EXIT
build=$work/build
run() { "$@" >"$work/log" 2>&1 || { cat "$work/log"; fail "$*"; }; }

run cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=None -DVMD_BUILD_TESTS=OFF -DVMD_BUILD_BENCHMARKS=OFF
! cmake --build "$build" --target uninstall >"$work/log" 2>&1 ||
  fail "uninstall succeeded where nothing was installed"
tr -s ' \n' ' ' <"$work/log" | grep -q 'nothing was installed from this build folder' || { cat "$work/log"; fail "no message without an install"; }
run cmake --build "$build" -j"$(nproc)"

listing() { (cd "$1" && find . -printf '%y %m %p -> %l\n' | sort); }
seed() {
  mkdir -p "$1"/{bin,include,lib/cmake/other,lib/pkgconfig,lib/systemd/system,share/man/man1,share/man/man3}
  mkdir -p "$1/share/vmd-detect"
  echo other >"$1/bin/other"
  echo other >"$1/lib/cmake/other/other-config.cmake"
  echo other >"$1/share/vmd-detect/notes"
  ln -s ../../../bin/other "$1/share/man/man1/other.1"
}
dest=$work/dest
seed "$dest/usr/local"
listing "$dest" >"$work/before.destdir"
DESTDIR=$dest run cmake --install "$build"
[ -x "$dest/usr/local/bin/vmd-detect" ] && [ -L "$dest/usr/local/share/man/man3/vmd_free.3" ] ||
  fail "DESTDIR install: no vmd-detect or man page link"
DESTDIR=$dest run cmake --build "$build" --target uninstall
listing "$dest" | diff -u --label before --label "after the uninstall" "$work/before.destdir" - ||
  fail "DESTDIR=$dest, prefix /usr/local: the tree differs from the one before the install"

prefix=$work/opt/vm-detection
seed "$prefix"
listing "$prefix" >"$work/before.prefix"
run cmake --install "$build" --prefix "$prefix"
# Links whose targets went already: the .so links, the function pages.
rm "$prefix/lib/libvm_detection.so.1.0.0" "$prefix/share/man/man3/libvm_detection.3"
run cmake --build "$build" --target uninstall
listing "$prefix" | diff -u --label before --label "after the uninstall" "$work/before.prefix" - ||
  fail "--prefix $prefix: the tree differs from the one before the install"
echo "uninstall: refused without an install; after a DESTDIR install and a --prefix one" \
  "(links left dangling), each tree as it was before"
