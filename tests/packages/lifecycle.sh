#!/usr/bin/env bash
# The vmd-detect package's life on a machine, through its real maintainer
# scripts: installed, upgraded with the timer enabled and with it disabled,
# removed and purged. No systemd runs here, so systemctl is a recorder
# (tests/packages/systemctl) and the test runs in a mount namespace of its
# own, where /run/systemd/system exists (the scripts act only under
# systemd) and any policy-rc.d that forbids starting services is hidden.
# The refresh writes into scratch directories, which removal must empty of
# its two files and nothing else. Leaves vmd-detect purged.
#
#   unshare --mount --propagation private tests/packages/lifecycle.sh VMD_DETECT.deb
set -euo pipefail
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "FAIL: lifecycle: $*" >&2; exit 1; }
dpkg-query -W -f='${Status}' vmd-detect 2>/dev/null | grep -q 'ok installed' &&
  fail "vmd-detect is installed already"

work=$(mktemp -d /tmp/vmd-lifecycle-XXXXXX)
trap 'rm -rf "$work"' EXIT
mount -t tmpfs vmd-lifecycle /run/systemd
mkdir /run/systemd/system
# man-db's trigger rebuilds its database after every dpkg run here; without
# its auto-update flag (hidden) it does nothing, and the database is as it was.
if [ -d /var/lib/man-db ]; then mount -t tmpfs vmd-lifecycle /var/lib/man-db; fi
if [ -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 0\n' >"$work/policy-rc.d"
  chmod 755 "$work/policy-rc.d"
  mount --bind "$work/policy-rc.d" /usr/sbin/policy-rc.d
fi
mkdir -p "$work/bin" "$work/state/active" "$work/prometheus" "$work/nfd"
cp "$here/systemctl" "$work/bin/systemctl"
export PATH=$work/bin:$PATH VMD_SYSTEMD_STATE=$work/state
export VMD_PROMETHEUS_DIR=$work/prometheus VMD_NFD_DIR=$work/nfd
: >"$work/state/log"

wants=/etc/systemd/system/timers.target.wants/vmd-detect.timer
active() { [ -e "$work/state/active/$1" ]; }
enabled() { [ -L "$wants" ]; }
step() { echo "-- $*"; : >"$work/state/log"; }
dpkg_() { dpkg "$@" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg $*"; }; }

step "install"
dpkg_ -i "$deb"
! enabled && ! active vmd-detect.timer && ! active vmd-detect.service ||
  fail "installing enabled or started a unit: $(cat "$work/state/log")"

step "upgrade, the timer enabled and active"
systemctl enable --now vmd-detect.timer
dpkg_ -i "$deb"
enabled && active vmd-detect.timer || fail "the timer is not active after the upgrade"
grep -q 'restart .*vmd-detect.timer' "$work/state/log" || fail "the timer was not restarted"
! active vmd-detect.service || fail "the upgrade started the service"

step "upgrade, the timer disabled"
systemctl disable --now vmd-detect.timer
dpkg_ -i "$deb"
! enabled && ! active vmd-detect.timer || fail "the upgrade enabled or started a disabled timer"

step "remove, the timer active and both files written"
systemctl enable --now vmd-detect.timer
/usr/share/vmd-detect/refresh
printf 'other\n' >"$work/prometheus/other.prom"
printf 'other=true\n' >"$work/nfd/other"
[ -s "$work/prometheus/vm_detection.prom" ] && [ -s "$work/nfd/vm-detection" ] ||
  fail "the refresh wrote nothing"
dpkg_ -r vmd-detect
! active vmd-detect.timer && ! active vmd-detect.service || fail "removal left a unit active"
grep -q 'stop .*vmd-detect.timer' "$work/state/log" || fail "removal did not stop the timer"
[ "$(cd "$work" && find prometheus nfd -type f | sort | tr '\n' ' ')" = "nfd/other prometheus/other.prom " ] ||
  fail "removal should delete exactly the two files: $(find "$work/prometheus" "$work/nfd")"

step "purge"
dpkg_ -P vmd-detect
left=$(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
            /var/lib/systemd/deb-systemd-helper-masked /usr/share/vmd-detect \
            /lib/systemd/system -name '*vmd-detect*' 2>/dev/null || true)
[ -z "$left" ] || fail "purging left: $left"
! dpkg-query -W vmd-detect >/dev/null 2>&1 || fail "dpkg still knows vmd-detect"
echo "lifecycle: installed without enabling or starting, upgraded keeping the timer's state," \
  "removed with the timer stopped and its two files deleted, purged without a trace"
