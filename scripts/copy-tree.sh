#!/usr/bin/env bash
# Copies the tree as committed plus changes not yet committed into DEST,
# without build directories or anything else git ignores: a clean source
# tree to build elsewhere.
#
#   scripts/copy-tree.sh DEST
set -euo pipefail
dest=$1
cd "$(dirname "$0")/.."
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
  tar --null -T - -cf - | tar -xf - -C "$dest"
