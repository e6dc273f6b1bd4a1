#!/usr/bin/env bash
# The Python package installed as a user would, with pip alone, into a clean
# Debian root where no libvm_detection is installed: the x86_64 wheel (which
# carries the release tarball's library) and the sdist (which compiles the
# library with the root's g++), each with `pip install --no-index` into a
# fresh virtual environment. Each must load its own copy of the library by
# path, also with an unusable libvm_detection.so.1 first on the loader's
# path, which VMD_LIBRARY=libvm_detection.so.1 must then reach instead; its
# report must be vmd-detect's: parse() of `vmd-detect --root TREE` over
# probe trees, and detect() against vmd-detect run in the same root, the
# duration and the timing probe's cycle count masked. The aarch64 wheel is
# checked on the host: its tag is its library's glibc floor, and its library
# is the aarch64 tarball's, byte for byte. Prints each step's time.
#
#   tests/bundled/python.sh SUITE      SUITE bookworm or trixie
#   VMD_RELEASE_DIR=DIR   the release tarballs (default: made here by
#                         scripts/release.sh --binaries)
set -euo pipefail
suite=${1:?usage: tests/bundled/python.sh SUITE}
cd "$(dirname "$0")/../.."
version=$(sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-bundled-python-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
last=$SECONDS
step() { echo "python.sh $suite: $1 ($((SECONDS - last)) s)"; last=$SECONDS; }
fail() { echo "FAIL: python.sh $suite: $*" >&2; exit 1; }

. tests/bundled/common.sh
release=$(release_dir "$scratch")
step "release tarballs"
VMD_RELEASE_DIR=$release scripts/package-python.sh "$scratch/dist" >/dev/null
step "wheels and sdist packed"

# Each wheel: the platform tag of its library's floor, not pure, and the
# tarball's library itself.
for arch in x86_64 aarch64; do
  wheel=$(echo "$scratch/dist/vm_detection-$version-py3-none-manylinux_"*"_$arch.whl")
  [ -f "$wheel" ] || fail "no $arch wheel in $(ls "$scratch/dist")"
  mkdir "$scratch/$arch"
  (cd "$scratch/$arch" && python3 -m zipfile -e "$wheel" . &&
    tar -xzf "$release/libvm_detection-$version-linux-$arch.tar.gz")
  carried=$scratch/$arch/vm_detection/libvm_detection.so.1
  cmp "$carried" "$scratch/$arch/libvm_detection-$version-linux-$arch/lib/libvm_detection.so.$version" ||
    fail "the $arch wheel's library is not the $arch tarball's"
  floor=$(scripts/glibc-floor.py "$carried" | sed -n 's/.*: glibc \([0-9]*\)\.\([0-9]*\) .*/\1_\2/p')
  tag=py3-none-manylinux_${floor}_$arch
  [ "$(basename "$wheel")" = "vm_detection-$version-$tag.whl" ] ||
    fail "$(basename "$wheel") is not tagged $tag, its library's floor"
  grep -qx "Tag: $tag" "$scratch/$arch/vm_detection-$version.dist-info/WHEEL" &&
    grep -qx "Root-Is-Purelib: false" "$scratch/$arch/vm_detection-$version.dist-info/WHEEL" ||
    fail "the $arch wheel's WHEEL file does not say $tag, not pure"
  echo "python.sh $suite: $(basename "$wheel"): the $arch tarball's library, floor ${floor/_/.}"
done
step "wheel tags, floors and libraries checked"

root=$(bundled_root "$suite")
step "root $root"

# The probe trees every binding is compared over.
trees=$scratch/in/trees
tests/bindings/trees.sh "$trees"
mkdir "$scratch/in/bin"
cp "$scratch/x86_64/libvm_detection-$version-linux-x86_64/bin/vmd-detect" "$scratch/in/bin/"
cp "$scratch/dist/"*x86_64.whl "$scratch/dist/vm_detection-$version.tar.gz" "$scratch/in/"

# Both sides as one canonical JSON line, the duration and the timing
# probe's cycle count masked: the binding's typed report, and json's
# reading of vmd-detect's text.
cat >"$scratch/in/canonical.py" <<'EOF'
import dataclasses, json, re, sys
def canonical(members):
    members = dict(members, duration_us=None)
    members["evidence"] = [dict(e, detail=re.sub(r"^cpuid \d+", "cpuid _", e["detail"]))
                           if e["source"] == "timing" else e for e in members["evidence"]]
    return json.dumps(members, sort_keys=True)
if sys.argv[1] == "json":
    print(canonical(json.load(sys.stdin)))
else:
    import vm_detection
    report = (vm_detection.parse(open(sys.argv[2], encoding="ascii").read())
              if len(sys.argv) > 2 else vm_detection.detect())
    print(canonical(json.loads(json.dumps(dataclasses.asdict(report)))))
EOF
cat >"$scratch/in/inside.sh" <<'EOF'
set -euo pipefail
last=$(date +%s)
step() { echo "python.sh $SUITE: $1 ($(($(date +%s) - last)) s)"; last=$(date +%s); }
fail() { echo "FAIL: python.sh $SUITE: $*" >&2; exit 1; }
found=$( (ldconfig -p; find / -xdev -path /in -prune -o -name 'libvm_detection*' -print) |
  grep libvm_detection || true)
[ -z "$found" ] || fail "libvm_detection is installed in the root: $found"
# An unusable library first on the loader's path: a package that went
# through the loader instead of loading its own copy would fail.
mkdir /tmp/decoy && : >/tmp/decoy/libvm_detection.so.1
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1 PYTHONDONTWRITEBYTECODE=1
check() {  # what, venv
  local python=$2/bin/python
  carried=$("$python" -c 'import vm_detection; print(vm_detection.load().path)')
  case $carried in "$2"/lib/python3*/site-packages/vm_detection/libvm_detection.so.1) ;;
    *) fail "the $1 loaded $carried, not its own copy" ;; esac
  for tree in rich host empty; do
    /in/bin/vmd-detect --root "/in/trees/$tree" >"/tmp/$tree.json"
    python3 /in/canonical.py json <"/tmp/$tree.json" >/tmp/want
    "$python" /in/canonical.py binding "/tmp/$tree.json" >/tmp/got
    diff -u /tmp/want /tmp/got || fail "the $1's parse differs over the $tree tree"
  done
  /in/bin/vmd-detect | python3 /in/canonical.py json >/tmp/want
  LD_LIBRARY_PATH=/tmp/decoy "$python" /in/canonical.py binding >/tmp/got
  diff -u /tmp/want /tmp/got || fail "the $1's detect() differs from vmd-detect's report"
  if LD_LIBRARY_PATH=/tmp/decoy VMD_LIBRARY=libvm_detection.so.1 "$python" -m vm_detection \
    2>/tmp/err; then fail "VMD_LIBRARY=libvm_detection.so.1 did not reach the loader's"; fi
  grep -q 'as libvm_detection.so.1 through the dynamic loader (LD_LIBRARY_PATH, ld.so.cache) (from VMD_LIBRARY)' /tmp/err ||
    { cat /tmp/err; fail "the $1 with VMD_LIBRARY does not say it went to the loader"; }
  step "the $1's report is vmd-detect's over 3 trees and live, from its own library"
  "$python" -m pip uninstall -y vm_detection >/dev/null
  ! "$python" -c 'import vm_detection' 2>/dev/null || fail "the $1 imports after pip uninstall"
  left=$(ls -d "$2"/lib/python3*/site-packages/vm_detection* 2>/dev/null || true)
  [ -z "$left" ] || fail "pip uninstall left the $1's $left"
  step "the $1 uninstalled: no import, nothing left in site-packages"
}
python3 --version
python3 -m venv /tmp/wheel
/tmp/wheel/bin/pip --version
/tmp/wheel/bin/pip install -q --no-index /in/vm_detection-*-manylinux_*_x86_64.whl
step "wheel installed"
check wheel /tmp/wheel
python3 -m venv /tmp/sdist
/tmp/sdist/bin/pip install -q --no-index "/in/vm_detection-$VERSION.tar.gz"
step "sdist built with $(g++ --version | head -1) and installed"
check sdist /tmp/sdist
EOF
scripts/root.sh run "$root" -b "$scratch/in:/in" -- \
  env SUITE="$suite" VERSION="$version" bash /in/inside.sh
step "done"
