#!/usr/bin/env bash
# Builds the RPM packages of rpm/libvm_detection.spec with Debian's rpm, from
# a tarball of the clean tree (uncommitted changes included), in a scratch
# _topdir; runs rpmlint over libvm_detection.spec and the packages; installs them into a
# scratch root, runs the installed vmd-detect and builds the consumer
# programs against that root, erases them again and checks that nothing of
# theirs is left there; and checks that each package holds the same
# files as its Debian counterpart. Debian's rpm lacks Fedora's CMake and
# systemd macros: rpm/macros.fedora-compat defines them, for this stage only.
# Installs into the scratch root with sudo when not run as root (rpm --root
# changes root); scripts/deps.sh --all installs the tools.
#
#   scripts/rpm.sh [--keep DIR]   --keep: copy the source and binary
#                                 packages into DIR once every check has passed
set -euo pipefail
keep=""
if [ "${1:-}" = --keep ]; then keep=$(realpath -m "${2:?--keep DIR}"); fi
cd "$(dirname "$0")/.."
spec=rpm/libvm_detection.spec
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

fail() { echo "FAIL: $*" >&2; exit 1; }

version=$(sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
spec_version=$(sed -n 's/^Version: *//p' "$spec")
[ "$spec_version" = "$version" ] || fail "$spec says version $spec_version, CMakeLists.txt $version"

work=$(mktemp -d /tmp/vmd-rpm-XXXXXX)
root=$work/root
# rpmbuild and rpmlint read no macros or configuration of the user's, only
# the committed ones.
home=$work/home
cleanup() {
  # The scratch root's files belong to root when installed with sudo.
  if [ -n "$sudo" ] && [ -d "$root" ]; then $sudo rm -rf "$root"; fi
  rm -rf "$work"
}
trap cleanup EXIT

top=$work/rpmbuild
mkdir -p "$top/SOURCES" "$work/tmp" "$home" "$work/tree/libvm_detection-$version"
scripts/copy-tree.sh "$work/tree/libvm_detection-$version"
tar -C "$work/tree" --sort=name --owner=0 --group=0 --numeric-owner \
  -czf "$top/SOURCES/libvm_detection-$version.tar.gz" "libvm_detection-$version"

# Debian's CMake does not look for packages in lib64 below a prefix (Debian
# keeps those directories for compatibility only; Fedora's CMake looks
# there), so the consumer test of %check cannot find the lib64 install it
# makes from the build tree here. The consumer programs are built against
# the installed packages below instead. --nodeps: Debian's rpm database
# knows none of the build dependencies, which deps.sh installs as Debian
# packages.
echo "== rpmbuild -ba (build log: $work/rpmbuild.log)"
if ! HOME=$home rpmbuild -ba --nodeps --load rpm/macros.fedora-compat --define "_topdir $top" \
     --define "_tmppath $work/tmp" --define "__ctest /usr/bin/ctest --exclude-regex ^consumer\$" \
     "$spec" >"$work/rpmbuild.log" 2>&1; then
  tail -n 60 "$work/rpmbuild.log"
  fail "rpmbuild"
fi
grep -E '^[0-9]+% tests passed' "$work/rpmbuild.log" || fail "the test suite did not run in %check"
mapfile -t srpms < <(find "$top/SRPMS" -name '*.src.rpm')
mapfile -t rpms < <(find "$top/RPMS" -name '*.rpm' | sort)
((${#srpms[@]} == 1 && ${#rpms[@]} == 3)) || fail "expected a source and 3 binary packages"
printf '%s\n' "${srpms[@]##*/}" "${rpms[@]##*/}"
declare -A rpm_file
for f in "${rpms[@]}"; do rpm_file[$(rpm -qp --qf '%{NAME}' "$f")]=$f; done

# Every message counts (--strict); those filtered out are named, with the
# reason, in the rpmlintrc, and a filter that matches nothing is an error.
# rpmlint.toml holds Fedora's settings that Debian's rpmlint lacks.
echo "== rpmlint"
HOME=$home rpmlint --strict -c rpm/rpmlint.toml -r rpm/libvm_detection.rpmlintrc "$spec" "${srpms[@]}" "${rpms[@]}" ||
  fail "rpmlint"

# The scratch root holds no shell and no systemd, so the scriptlets cannot
# run there (--noscripts), and no glibc package (--nodeps). Debian's rpm
# warns against installing on a Debian system unless given --force-debian;
# this root is not one.
echo "== install into a scratch root"
mkdir "$root"
$sudo rpm --root "$root" --initdb
# A fact link made by hand, as the documentation once said: the package
# takes it over.
$sudo mkdir -p "$root/etc/facter/facts.d"
$sudo ln -s /usr/share/vmd-detect/facter/vm_detection "$root/etc/facter/facts.d/"
$sudo rpm --root "$root" -i --force-debian --nodeps --noscripts "${rpms[@]}"
$sudo rpm --root "$root" -V --nodeps libvm-detection libvm-detection-devel vmd-detect ||
  fail "the installed files differ from the packages'"
libdir=$(rpm --eval '%{_libdir}')
unitdir=$(rpm --load rpm/macros.fedora-compat --eval '%{_unitdir}')

echo "== installed vmd-detect"
status=0
"$root/usr/bin/vmd-detect" --check vm || status=$?
case $status in
  0) echo "vmd-detect --check vm: a virtual machine" ;;
  1) echo "vmd-detect --check vm: not a virtual machine" ;;
  *) fail "vmd-detect --check vm exited $status" ;;
esac
"$root/usr/bin/vmd-detect" | head -c 20 | grep -q '^{"schema_version":1,' ||
  fail "vmd-detect printed no report"

# The scriptlets, taken from the package and run as rpm runs them (the
# argument counts the package's installed versions), with a recorder for
# systemd-update-helper, and the refresh of the scratch root writing into
# scratch directories: installed, upgraded with the timer enabled and with
# it disabled, erased.
echo "== vmd-detect's scriptlets: install, upgrades, erase"
life=$work/life
mkdir -p "$life/bin" "$life/state/active" "$life/wants" "$life/prometheus" "$life/nfd"
cp tests/packages/systemctl "$life/bin/systemd-update-helper"
cp tests/packages/systemctl "$life/bin/systemctl"
scriptlet() {  # TAG ARGUMENT
  local body
  body=$(rpm -qp --qf "%{$1}" "${rpm_file[vmd-detect]}")
  [ "$body" != "(none)" ] || return 0
  sed -e "s|/usr/lib/systemd/systemd-update-helper|$life/bin/systemd-update-helper|g" \
    -e "s|/usr/share/vmd-detect/|$root/usr/share/vmd-detect/|g" <<<"$body" |
    PATH=$life/bin:$PATH VMD_SYSTEMD_STATE=$life/state VMD_SYSTEMD_WANTS=$life/wants \
      VMD_PROMETHEUS_DIR=$life/prometheus VMD_NFD_DIR=$life/nfd sh -s -- "$2"
}
upgrade() { scriptlet POSTIN 2 && scriptlet PREUN 1 && scriptlet POSTUN 1; }
timer() { VMD_SYSTEMD_STATE=$life/state VMD_SYSTEMD_WANTS=$life/wants "$life/bin/systemctl" "$@"; }
active() { [ -e "$life/state/active/vmd-detect.timer" ]; }
enabled() { [ -L "$life/wants/vmd-detect.timer" ]; }
scriptlet POSTIN 1
! enabled && ! active || fail "installing enabled or started the timer"
timer enable --now vmd-detect.timer
upgrade
enabled && active || fail "the upgrade stopped or disabled an enabled timer"
grep -q 'mark-restart-system-units .*vmd-detect.timer' "$life/state/log" ||
  fail "the upgrade does not restart the timer"
timer disable --now vmd-detect.timer
upgrade
! enabled && ! active || fail "the upgrade enabled or started a disabled timer"
timer enable --now vmd-detect.timer
touch "$life/prometheus/vm_detection.prom" "$life/prometheus/other.prom" "$life/nfd/vm-detection" \
  "$life/nfd/other"
scriptlet PREUN 0 && scriptlet POSTUN 0
! enabled && ! active || fail "erasing left the timer enabled or active"
[ "$(cd "$life" && find prometheus nfd -type f | sort | tr '\n' ' ')" = "nfd/other prometheus/other.prom " ] ||
  fail "erasing should delete exactly the two files the timer writes"
echo "installed without enabling, upgraded keeping the timer's state, erased with its files"

echo "== consumers against the scratch root"
mkdir "$work/consumer"
CMAKE_PREFIX_PATH="$root$libdir/cmake" sh tests/consumer/build_consumers.sh "$root/usr" \
  "$root$libdir" cc cmake "Unix Makefiles" "$work/consumer"

# Erased, the packages leave no file or link behind (the root held nothing
# else) and no directory of theirs: the shared ones (/usr/bin...) stay, as
# they would with the system's packages owning them.
echo "== erase"
$sudo rpm --root "$root" -e --nodeps --noscripts vmd-detect libvm-detection-devel libvm-detection
dbpath=$(rpm --eval '%{_dbpath}')
left=$(cd "$root" && $sudo find . ! -path ".$dbpath/*" \( ! -type d -o -name '*vm[_-]detection*' \
  -o -name '*vmd-detect*' -o -name ansible -o -name facter -o -name facts.d \) | sort)
[ -z "$left" ] || fail "erasing left: $left"
echo "erased: no file, link or directory of the packages left"

# The Debian packages' contents, to compare with: built from the same tree
# with the real debian/ (dh_install resolving the *.install files, dh_compress
# compressing the pages), but without the test suite and optimisation, which
# change no file name; that takes seconds, where the full build of
# scripts/packages.sh takes minutes. Names are compared in the RPM's layout,
# with each file's mode and each link's target.
echo "== files against the Debian packages"
mkdir -p "$work/deb/src"
scripts/copy-tree.sh "$work/deb/src"
if ! (cd "$work/deb/src" &&
      DEB_BUILD_OPTIONS="nocheck noopt parallel=$(nproc)" dpkg-buildpackage -us -uc -b -Pnocheck) \
     >"$work/deb/build.log" 2>&1; then
  tail -n 40 "$work/deb/build.log"
  fail "the Debian package build failed"
fi
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
# Name rules: Debian's multiarch library directory is the RPM's %{_libdir},
# Debian's /lib/systemd/system its %{_unitdir}; the CMake targets file of
# one configuration is named after the build type (None on Debian, Release
# in libvm_detection.spec). Shared objects are executable in Fedora's packages and not
# in Debian's, each distribution's policy: their mode is not compared.
# Ignored: Debian's /usr/share/doc/PACKAGE (changelog and copyright; the
# RPMs carry the licence as %license), the RPMs' /usr/share/licenses and
# the build-id links in /usr/lib/.build-id.
normalise() {
  sed -e "s| /usr/lib/$triplet/| $libdir/|" -e "s| /lib/systemd/system/| $unitdir/|" \
    -e 's|/vm_detection-targets-[a-z]*\.cmake$|/vm_detection-targets-CONFIG.cmake|' \
    -e 's|^-[-rwx]* \(/.*\.so\.[0-9.]*\)$|shared-object \1|' |
    grep -v -E ' (/usr/share/doc|/usr/share/licenses|/usr/lib/\.build-id)/' | sort
}
deb_files() {  # MODE PATH [-> TARGET], directories left out
  dpkg-deb -c "$1" |
    awk '$1 !~ /^d/ { l = $1 " " substr($6, 2); if ($7 == "->") l = l " -> " $8; print l }'
}
rpm_files() {
  rpm -qp --qf '[%{FILEMODES:perms} %{FILENAMES} %{FILELINKTOS}\n]' "$1" |
    awk '$1 !~ /^d/ { l = $1 " " $2; if ($3 != "") l = l " -> " $3; print l }'
}
declare -A deb_file
for f in "$work"/deb/*.deb; do deb_file[$(dpkg-deb -f "$f" Package)]=$f; done
for pair in libvm-detection1:libvm-detection libvm-detection-dev:libvm-detection-devel \
            vmd-detect:vmd-detect; do
  deb=${pair%%:*} rpm=${pair#*:}
  deb_files "${deb_file[$deb]}" | normalise >"$work/$deb.deb-files"
  rpm_files "${rpm_file[$rpm]}" | normalise >"$work/$rpm.rpm-files"
  diff -u --label "$deb (Debian)" --label "$rpm (RPM)" "$work/$deb.deb-files" "$work/$rpm.rpm-files" ||
    fail "$rpm holds other files than $deb"
  echo "$rpm: the same $(wc -l <"$work/$rpm.rpm-files") files as $deb"
done

echo "rpm: 3 binary packages and a source package built, rpmlint-clean, installed," \
  "vmd-detect ran; the same files as the Debian packages"
if [ -n "$keep" ]; then
  mkdir -p "$keep"
  cp "${srpms[@]}" "${rpms[@]}" "$keep/"
  echo "rpm: kept in $keep"
fi
