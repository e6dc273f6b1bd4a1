#!/usr/bin/env bash
# The vmd-detect package's life on a machine, through its real maintainer
# scripts: installed, upgraded with the timer enabled and with it disabled,
# removed and purged. No systemd runs here, so systemctl is a recorder
# (tests/packages/systemctl) and the test runs in a mount namespace of its
# own, where /run/systemd/system exists (the scripts act only under
# systemd) and any policy-rc.d that forbids starting services is hidden.
# The refresh writes into scratch directories, which removal must empty of
# its two files and nothing else. After apt-get remove and after apt-get
# purge none of the package's paths may remain (its directories that were
# not there before it, either), nor any dangling link of ours under /etc,
# /usr or /var. Last, an upgrade from the package as it was before it
# shipped the Ansible and Facter links, with those links made by hand as
# its documentation said. Leaves vmd-detect purged.
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
facts=(/etc/ansible/facts.d/vm_detection.fact /etc/facter/facts.d/vm_detection)
# The package's paths, and those of its directories that it will create.
paths=$(dpkg-deb -c "$deb" | awk '{ p = substr($6, 2); sub("/$", "", p); if (p != "") print $1 " " p }')
new_paths=$(while read -r mode path; do
  [[ $mode == d* && -d $path ]] || echo "$path"; done <<<"$paths")
grep -qx /etc/facter/facts.d/vm_detection <<<"$new_paths" || fail "the package has no Facter link"
dangling() {
  find /etc /usr /var -xdev -type l \( -lname '*vmd-detect*' -o -lname '*vm_detection*' \
    -o -name '*vmd-detect*' -o -name '*vm_detection*' \) -xtype l 2>/dev/null || true
}
dangling >"$work/dangling-before"
left() {  # WHEN: none of the package's new paths left
  local left
  left=$(while read -r path; do [ ! -e "$path" ] && [ ! -L "$path" ] || echo "$path"; done <<<"$new_paths")
  [ -z "$left" ] || fail "$1 left: $left"
}
gone() {  # WHEN [LINK]: that, and no new dangling link of ours but LINK
  local more
  left "$1"
  more=$(dangling | grep -vxF -f "$work/dangling-before" | grep -vxF "${2:-}" || true)
  [ -z "$more" ] || fail "$1 left dangling links: $more"
}
active() { [ -e "$work/state/active/$1" ]; }
enabled() { [ -L "$wants" ]; }
step() { echo "-- $*"; : >"$work/state/log"; }
dpkg_() { dpkg "$@" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; fail "dpkg $*"; }; }
# apt-get gives dpkg a PATH of its own (DPkg::Path), without the recorder.
apt_() {
  apt-get -y -o DPkg::Path="$PATH" "$@" >"$work/dpkg.log" 2>&1 ||
    { cat "$work/dpkg.log"; fail "apt-get $*"; }
}

step "install"
dpkg_ -i "$deb"
! enabled && ! active vmd-detect.timer && ! active vmd-detect.service ||
  fail "installing enabled or started a unit: $(cat "$work/state/log")"
for link in "${facts[@]}"; do
  [ "$(dpkg-query -S "$link")" = "vmd-detect: $link" ] && [ -x "$link" ] ||
    fail "$link is not the package's link to its fact"
done

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
apt_ remove vmd-detect
! active vmd-detect.timer && ! active vmd-detect.service || fail "removal left a unit active"
grep -q 'stop .*vmd-detect.timer' "$work/state/log" || fail "removal did not stop the timer"
[ "$(cd "$work" && find prometheus nfd -type f | sort | tr '\n' ' ')" = "nfd/other prometheus/other.prom " ] ||
  fail "removal should delete exactly the two files: $(find "$work/prometheus" "$work/nfd")"
# The timer's link in timers.target.wants is the administrator's choice,
# kept through a removal (the unit masked) for a reinstall, as Debian does;
# purging drops it.
gone "removal" "$wants"

step "purge"
apt_ purge vmd-detect
gone "purging"
left=$(find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
            /var/lib/systemd/deb-systemd-helper-masked /usr/share/vmd-detect \
            /lib/systemd/system -name '*vmd-detect*' 2>/dev/null || true)
[ -z "$left" ] || fail "purging left: $left"
! dpkg-query -W vmd-detect >/dev/null 2>&1 || fail "dpkg still knows vmd-detect"
step "upgrade from the package without the fact links, the links made by hand"
dpkg-deb -R "$deb" "$work/previous"
rm -r "$work/previous/etc"
sed -i 's/^Version: .*/&~previous/' "$work/previous/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/previous" "$work/previous.deb" >/dev/null
dpkg_ -i "$work/previous.deb"
mkdir -p /etc/ansible/facts.d /etc/facter/facts.d
ln -s /usr/share/vmd-detect/ansible/vm_detection.fact /etc/ansible/facts.d/
ln -s /usr/share/vmd-detect/facter/vm_detection /etc/facter/facts.d/
dpkg_ -i "$deb"
for link in "${facts[@]}"; do
  [ "$(dpkg-query -S "$link")" = "vmd-detect: $link" ] || fail "the upgrade did not take over $link"
done
dpkg_ -P vmd-detect
left "purging after the upgrade"
echo "lifecycle: installed without enabling or starting, upgraded keeping the timer's state," \
  "removed with the timer stopped and its two files deleted, purged without a trace;" \
  "upgraded over fact links made by hand, which purging took away"
