#!/usr/bin/env bash
# The Node.js package installed as a user would, with npm alone, into a
# clean Debian root where no libvm_detection is installed: its packed
# tarball (scripts/package-node.sh, the release tarballs' libraries under
# prebuilds/) with `npm install --offline`, koffi coming from an npm cache
# filled here on the host (`npm cache add` of the versions node/package-lock.json
# pins) and bound into the root. The package must load its linux-x64-glibc
# library by path, also with an unusable libvm_detection.so.1 first on the
# loader's path, which VMD_LIBRARY=libvm_detection.so.1 must then reach
# instead; its report must be vmd-detect's: parse() of `vmd-detect --root
# TREE` over probe trees, and detect() against vmd-detect run in the same
# root, the duration and the timing probe's cycle count masked. Then on the
# host, under qemu-aarch64, a C program cross-built against the package's
# linux-arm64-glibc library must print the report that the aarch64
# tarball's static vmd-detect prints. Each prebuilt library must be its
# tarball's, byte for byte. Prints each step's time.
#
#   tests/bundled/node.sh SUITE      SUITE bookworm or trixie
#   VMD_RELEASE_DIR=DIR   the release tarballs (default: made here by
#                         scripts/release.sh --binaries)
#   VMD_NPM_CACHE=DIR     an npm cache that holds koffi already (copied;
#                         default: filled here from the npm registry)
set -euo pipefail
suite=${1:?usage: tests/bundled/node.sh SUITE}
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-bundled-node-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
last=$SECONDS
step() { echo "node.sh $suite: $1 ($((SECONDS - last)) s)"; last=$SECONDS; }
fail() { echo "FAIL: node.sh $suite: $*" >&2; exit 1; }

. tests/bundled/common.sh
release=$(release_dir "$scratch")
step "release tarballs"
mkdir -p "$scratch/in" "$scratch/pkg"
VMD_RELEASE_DIR=$release scripts/package-node.sh "$scratch/in" >/dev/null 2>&1
tarball=$scratch/in/vm-detection-$version.tgz
[ -f "$tarball" ] || fail "package-node.sh wrote no vm-detection-$version.tgz"
tar -xzf "$tarball" -C "$scratch/pkg"
for pair in x86_64:linux-x64-glibc aarch64:linux-arm64-glibc; do
  arch=${pair%%:*} target=${pair#*:}
  tar -xzf "$release/libvm_detection-$version-linux-$arch.tar.gz" -C "$scratch"
  cmp "$scratch/pkg/package/prebuilds/$target/libvm_detection.so.1" \
    "$scratch/libvm_detection-$version-linux-$arch/lib/libvm_detection.so.$version" ||
    fail "the package's $target library is not the $arch tarball's"
done
step "package packed, its libraries the tarballs'"

# koffi and its linux-x64 binary package, at the lock file's versions.
npm_cache "$scratch/npm-cache"
step "npm cache with koffi"

root=$(bundled_root "$suite")
step "root $root"

# The probe trees every binding is compared over.
trees=$scratch/in/trees
tests/bindings/trees.sh "$trees"
cp "$scratch/libvm_detection-$version-linux-x86_64/bin/vmd-detect" "$scratch/in/"

# One canonical JSON line of a report, the duration and the timing probe's
# cycle count masked; fed vmd-detect's text, or the binding's typed report
# written out with JSON.stringify.
cat >"$scratch/in/canonical.py" <<'EOF'
import json, re, sys
members = dict(json.load(sys.stdin), duration_us=None)
members["evidence"] = [dict(e, detail=re.sub(r"^cpuid \d+", "cpuid _", e["detail"]))
                       if e["source"] == "timing" else e for e in members["evidence"]]
print(json.dumps(members, sort_keys=True))
EOF
cat >"$scratch/in/report.js" <<'EOF'
const vm = require('vm-detection');
const file = process.argv[2];
const report = file ? vm.parse(require('fs').readFileSync(file, 'latin1')) : vm.detect();
process.stdout.write(JSON.stringify(report) + '\n');
EOF
cat >"$scratch/in/inside.sh" <<'EOF'
set -euo pipefail
last=$(date +%s)
step() { echo "node.sh $SUITE: $1 ($(($(date +%s) - last)) s)"; last=$(date +%s); }
fail() { echo "FAIL: node.sh $SUITE: $*" >&2; exit 1; }
found=$( (ldconfig -p; find / -xdev -path /in -prune -o -name 'libvm_detection*' -print) |
  grep libvm_detection || true)
[ -z "$found" ] || fail "libvm_detection is installed in the root: $found"
echo "node $(node --version), npm $(npm --version)"
mkdir /tmp/app && cd /tmp/app && echo '{"private": true}' >package.json
npm install --offline --no-audit --no-fund --loglevel=error --cache /npm-cache \
  "/in/vm-detection-$VERSION.tgz"
step "package installed"
cp /in/report.js .
# An unusable library first on the loader's path: a package that went
# through the loader instead of loading its own copy would fail.
mkdir /tmp/decoy && : >/tmp/decoy/libvm_detection.so.1
loaded=$(LD_LIBRARY_PATH=/tmp/decoy node -p 'require("vm-detection").load().path')
[ "$loaded" = /tmp/app/node_modules/vm-detection/prebuilds/linux-x64-glibc/libvm_detection.so.1 ] ||
  fail "the package loaded $loaded, not its linux-x64-glibc library"
for tree in rich host empty; do
  /in/vmd-detect --root "/in/trees/$tree" >"/tmp/$tree.json"
  python3 /in/canonical.py <"/tmp/$tree.json" >/tmp/want
  node report.js "/tmp/$tree.json" | python3 /in/canonical.py >/tmp/got
  diff -u /tmp/want /tmp/got || fail "parse() differs over the $tree tree"
done
/in/vmd-detect | python3 /in/canonical.py >/tmp/want
LD_LIBRARY_PATH=/tmp/decoy node report.js | python3 /in/canonical.py >/tmp/got
diff -u /tmp/want /tmp/got || fail "detect() differs from vmd-detect's report"
if LD_LIBRARY_PATH=/tmp/decoy VMD_LIBRARY=libvm_detection.so.1 node report.js 2>/tmp/err; then
  fail "VMD_LIBRARY=libvm_detection.so.1 did not reach the loader's"
fi
grep -q 'as libvm_detection.so.1 through the dynamic loader (LD_LIBRARY_PATH, ld.so.cache) (from VMD_LIBRARY)' /tmp/err ||
  { cat /tmp/err; fail "with VMD_LIBRARY the error does not say it went to the loader"; }
step "the report is vmd-detect's over 3 trees and live, from the package's own library"
# As a user would, offline (no registry here) and without the audit.
npm_config_offline=true npm_config_audit=false npm_config_fund=false npm_config_cache=/npm-cache \
  npm uninstall vm-detection
[ ! -e node_modules/vm-detection ] || fail "npm uninstall left node_modules/vm-detection"
! grep -q vm-detection package.json package-lock.json ||
  fail "npm uninstall left vm-detection in package.json or package-lock.json"
step "package uninstalled"
EOF
scripts/root.sh run "$root" -b "$scratch/in:/in" -w "$scratch/npm-cache:/npm-cache" -- \
  env SUITE="$suite" VERSION="$version" bash /in/inside.sh
step "root checks"

# The arm64 library under qemu-user, against the aarch64 tarball's tool.
arm64=$scratch/pkg/package/prebuilds/linux-arm64-glibc
cat >"$scratch/report.c" <<'EOF'
#include <stdio.h>
#include "vm_detection.h"
int main(void) {
    char *report = NULL;
    int status = vmd_detect_json(&report);
    if (status != VMD_OK) return status;
    puts(report);
    vmd_free(report);
    return 0;
}
EOF
aarch64-linux-gnu-gcc -o "$scratch/report-arm64" "$scratch/report.c" \
  -I"$scratch/libvm_detection-$version-linux-aarch64/include" -L"$arm64" -l:libvm_detection.so.1
# The cross toolchain's arm64 C library, its loader run as the program:
# with -L, qemu would show the library's confined reads the sysroot's
# files instead of this machine's, which the static tool reads.
sysroot=/usr/aarch64-linux-gnu
qemu-aarch64 "$scratch/libvm_detection-$version-linux-aarch64/bin/vmd-detect" |
  python3 "$scratch/in/canonical.py" >"$scratch/want"
qemu-aarch64 "$sysroot/lib/ld-linux-aarch64.so.1" --library-path "$arm64:$sysroot/lib" \
  "$scratch/report-arm64" | python3 "$scratch/in/canonical.py" >"$scratch/got"
diff -u "$scratch/want" "$scratch/got" || fail "the arm64 library's report differs from vmd-detect's"
step "the arm64 library's report under qemu-aarch64 is vmd-detect's"
