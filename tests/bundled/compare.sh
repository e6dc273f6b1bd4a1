#!/usr/bin/env bash
# Inside a clean root: a consumer program of a binding, installed there,
# must print what vmd-detect's report holds (tests/bindings/summary.py),
# over probe trees made here (a vendor in each list but the hosts', a detail
# of bytes above 0x7f, quotes and control bytes; a Xen control domain; an
# empty tree) and, live, for the root itself with the timing probe's cycle
# count masked. The same trees as tests/bindings/run.sh.
#
#   compare.sh VMD_DETECT SUMMARY_PY CONSUMER [ARG...]
set -euo pipefail
tool=$1 summary=$2; shift 2
work=$(mktemp -d)
trees=$work/trees
"$(dirname "$0")/../bindings/trees.sh" "$trees"
same() {  # want, got, what
  diff -u "$1" "$2" >&2 || { echo "FAIL: $3" >&2; exit 1; }
}
for tree in rich host empty; do
  "$tool" --root "$trees/$tree" >"$work/$tree.json"
  python3 "$summary" "$work/$tree.json" >"$work/$tree.want"
  "$@" "$work/$tree.json" >"$work/$tree.got"
  same "$work/$tree.want" "$work/$tree.got" "$* over the $tree tree"
done
grep -qx 'cloud_providers: aws' "$work/rich.want" && grep -qx 'host_hypervisors: xen' "$work/host.want" ||
  { echo "FAIL: the probe trees no longer give the lists they are made for" >&2; exit 1; }
cycles() { sed -E 's/^(evidence: timing .* cpuid )[0-9]+/\1_/'; }
"$tool" >"$work/live.json"
python3 "$summary" "$work/live.json" | cycles >"$work/live.want"
"$@" | cycles >"$work/live.got"
same "$work/live.want" "$work/live.got" "$* live"
echo "  $(grep -c '^evidence' "$work/live.want" || true) live evidence items, 3 trees: the same"
rm -rf "$work"
