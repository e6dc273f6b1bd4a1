#!/usr/bin/env bash
# Compares the exported interface of a built libvm_detection.so.1 with the
# committed baseline abi/libvm_detection.so.1.abi, and fails on any change;
# or, with `update`, writes the baseline anew (see docs/abi.md).
#
#   scripts/abi.sh check  build/libvm_detection.so.1.0.0
#   scripts/abi.sh update build/libvm_detection.so.1.0.0
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
mode=$1 so=$2
baseline=$here/abi/libvm_detection.so.1.abi
suppressions=$here/abi/interface.abignore

# Without debug information only the symbols could be compared, not the
# functions' types: a build without -g cannot be judged.
if ! readelf -S "$so" | grep -q '\.debug_info'; then
  echo "abi: $so has no debug information (build with -g); not checked"
  exit 77
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The compilation units' paths say where it was built, which is no part of
# the interface.
abidw --no-corpus-path --no-comp-dir-path --no-show-locs --no-elf-needed --drop-undefined-syms \
  --type-id-style hash --suppressions "$suppressions" "$so" |
  sed "s|path='[^']*/src/|path='src/|" >"$scratch/built.abi"

case $mode in
  update)
    cp "$scratch/built.abi" "$baseline"
    echo "abi: wrote $baseline" ;;
  check)
    if abidiff --no-show-locs "$baseline" "$scratch/built.abi"; then
      echo "abi: the exported interface matches the baseline"
    else
      echo "abi: the exported interface differs from abi/libvm_detection.so.1.abi (see above)"
      exit 1
    fi ;;
  *) echo "usage: $0 check|update SHARED_OBJECT" >&2; exit 2 ;;
esac
