#!/usr/bin/env bash
# Checks that every C and C++ file in the repository is formatted as
# .clang-format says (clang-format 14); lists the files that are not and
# fails. With --fix, formats them in place instead.
#
#   scripts/format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
# Fixed at 14, Debian 12's, as the format stage runs: clang-format 19
# (Debian 13's) lays out nine of the files otherwise.
clang_format=${CLANG_FORMAT:-clang-format-14}
command -v "$clang_format" >/dev/null || {
  echo "format: no $clang_format here: the formatting is clang-format 14's (Debian 12," \
       "scripts/deps.sh --all); CLANG_FORMAT=PROGRAM for another" >&2
  exit 1
}
# Not the Go package's wrappers of the library's sources: their first line
# is a build constraint, which clang-format would break into a comment the
# Go command no longer reads, and their includes must stay in their order.
mapfile -d '' files < <(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' ':!:go/lib_*.cpp')

if [ "${1:-}" = --fix ]; then
  "$clang_format" -i --style=file "${files[@]}"
  exit
fi
bad=()
for f in "${files[@]}"; do
  "$clang_format" --style=file --dry-run -Werror "$f" 2>/dev/null || bad+=("$f")
done
if ((${#bad[@]})); then
  printf 'not formatted: %s\n' "${bad[@]}"
  echo "format: ${#bad[@]} of ${#files[@]} files differ; scripts/format.sh --fix formats them"
  exit 1
fi
echo "format: all ${#files[@]} C and C++ files formatted"
