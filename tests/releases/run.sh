#!/usr/bin/env bash
# The releases stage: the README's set-up commands, the suite with g++ and
# with clang, and the Debian packages in a clean Debian 13 root
# (debian13.sh); the suite's facility skips on Debian 11's Python
# (older-facilities.sh); and the release tarballs, whose libraries must load
# on glibc 2.17 and later, proven in a clean Debian 11 root, natively and
# under qemu-aarch64, and built twice to the same bytes (floor.sh). Every
# part runs even when an earlier one failed.
#
#   tests/releases/run.sh [PART...]   parts: debian13 older-facilities floor
set -euo pipefail
cd "$(dirname "$0")"
parts=("${@:-debian13 older-facilities floor}")
read -r -a parts <<<"${parts[*]}"
failed=()
for part in "${parts[@]}"; do
  echo "--- releases: $part"
  start=$SECONDS
  if "./$part.sh"; then echo "--- $part passed in $((SECONDS - start)) s"
  else failed+=("$part"); echo "--- $part FAILED after $((SECONDS - start)) s"; fi
done
((${#failed[@]} == 0)) || { echo "releases: failed: ${failed[*]}" >&2; exit 1; }
