#!/usr/bin/env bash
# Builds the Debian packages in a clean copy of the tree (the package build
# runs the test suite), checks them with lintian, installs them, builds the
# consumer programs against /usr through pkg-config and find_package, runs
# the installed vmd-detect, man and the facts through the links in /etc, and
# purges the packages again. Before that, vmd-detect's maintainer scripts
# are run through its whole life (tests/packages/lifecycle.sh); after it,
# the CMake route's uninstall target (tests/packages/uninstall.sh). Installs with sudo when not run as root;
# scripts/deps.sh --all installs the tools.
#
#   scripts/packages.sh [--keep DIR]   --keep: copy the packages into DIR
#                                      once every check has passed
set -euo pipefail
keep=""
if [ "${1:-}" = --keep ]; then keep=$(realpath -m "${2:?--keep DIR}"); fi
cd "$(dirname "$0")/.."
packages=(libvm-detection1 libvm-detection-dev vmd-detect)
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

fail() { echo "FAIL: $*" >&2; exit 1; }
for p in "${packages[@]}"; do
  ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed ||
    fail "$p is installed already; purge it first, so that this leaves the machine as it was"
done

work=$(mktemp -d /tmp/vmd-packages-XXXXXX)
installed=0
cleanup() {
  if ((installed)); then $sudo dpkg --purge "${packages[@]}" >/dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT

version=$(sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
source="$work/libvm-detection-$version"
mkdir "$source"
scripts/copy-tree.sh "$source"

echo "== dpkg-buildpackage (build log: $work/build.log)"
if ! (cd "$source" && DEB_BUILD_OPTIONS="parallel=$(nproc)" dpkg-buildpackage -us -uc -b) \
     >"$work/build.log" 2>&1; then
  tail -n 60 "$work/build.log"
  fail "the package build failed"
fi
grep -E '^(100% tests passed|[0-9]+% tests passed)' "$work/build.log" || true
ls "$work"/*.deb

echo "== lintian"
lintian --fail-on error,warning --info "$work"/*.changes || fail "lintian"

debs=()
for p in "${packages[@]}"; do debs+=("$work/${p}_${version}_$(dpkg --print-architecture).deb"); done
installed=1
echo "== vmd-detect's maintainer scripts: install, upgrades, removal, purge"
$sudo dpkg -i "${debs[@]:0:2}" >/dev/null
$sudo unshare --mount --propagation private tests/packages/lifecycle.sh "${debs[2]}"

echo "== install"
$sudo dpkg -i "${debs[@]}" >/dev/null

echo "== consumers against /usr"
libdir=$(dirname "$(dpkg -L libvm-detection1 | grep '/libvm_detection\.so\.1$')")
mkdir "$work/consumer"
sh tests/consumer/build_consumers.sh /usr "$libdir" cc cmake "Unix Makefiles" "$work/consumer"

echo "== installed vmd-detect and manual pages"
status=0
vmd-detect --check vm || status=$?
case $status in
  0) echo "vmd-detect --check vm: a virtual machine" ;;
  1) echo "vmd-detect --check vm: not a virtual machine" ;;
  *) fail "vmd-detect --check vm exited $status" ;;
esac
for page in vmd-detect vmd_detect_json vmd_free vmd_version libvm_detection; do
  man -w "$page" || fail "no manual page $page"
done

echo "== installed units and facts"
units=(/lib/systemd/system/vmd-detect.service /lib/systemd/system/vmd-detect.timer)
systemd-analyze verify "${units[@]}" || fail "systemd-analyze verify"
# Installed, not enabled: no link to the units from any .wants directory,
# and none in deb-systemd-helper's record of what it enabled.
enabled=$(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
            \( -lname '*vmd-detect*' -o -name 'vmd-detect*' ! -name '*.dsh-also' \) 2>/dev/null || true)
[ -z "$enabled" ] || fail "enabled by the package: $enabled"
# Through the links where Ansible and Facter look.
/etc/ansible/facts.d/vm_detection.fact | grep -q '"vm_likelihood"' || fail "Ansible fact"
/etc/facter/facts.d/vm_detection | grep -q '^{"vm_detection": {' || fail "Facter fact"
mkdir "$work/textfile"
VMD_PROMETHEUS_DIR="$work/textfile" VMD_NFD_DIR="$work/no-nfd" /usr/share/vmd-detect/refresh 2>/dev/null ||
  fail "refresh"
grep -q '^vm_detection_info{' "$work/textfile/vm_detection.prom" || fail "refresh wrote no metrics"
echo "packages: built, lintian-clean, installed, used and purged"
echo "== the CMake route's uninstall target"
tests/packages/uninstall.sh
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  cp "${debs[@]}" "$keep/"
  echo "packages: kept in $keep"
fi
