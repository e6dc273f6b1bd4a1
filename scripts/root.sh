#!/usr/bin/env bash
# Clean Debian roots for the stages that build or run on another release or
# architecture: made with mmdebstrap from the archive apt is configured with
# here (read from apt, never named in this tree), kept between runs under a
# key that changes with everything that made them, and entered through a
# throwaway overlay so that what a run installs or writes never reaches the
# kept root.
#
#   scripts/root.sh make SUITE ARCH VARIANT [PACKAGE...]
#       prints the path of the root (made when there is none for this key):
#       SUITE a Debian codename (bullseye, bookworm, trixie), ARCH a Debian
#       architecture, VARIANT an mmdebstrap variant (minbase; extract for a
#       foreign architecture's sysroot, whose maintainer scripts never run)
#   scripts/root.sh run ROOT [-b HOST:INSIDE]... [-w HOST:INSIDE]... -- COMMAND...
#       runs COMMAND as root inside a writable overlay of ROOT, in a private
#       mount namespace, with /proc, /sys, /dev and the host's resolv.conf;
#       -b binds HOST read-only at INSIDE, -w read-write. apt's downloads
#       land in a cache beside the roots, shared by the runs of one suite.
#   VMD_ROOTS=DIR   where roots are kept (default /var/cache/vmd-roots)
#   VMD_ROOT_SECURITY=0   make: a root without the suite's security archive
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
roots=${VMD_ROOTS:-/var/cache/vmd-roots}

fail() { echo "root.sh: $*" >&2; exit 2; }

# The archive's and its security archive's addresses, from apt's sources.
# An archive may serve a suite's security updates for some architectures
# only: VMD_ROOT_SECURITY=0 leaves the security archive out.
mirrors() {
  local host_suite
  host_suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE) $(TARGET_OF)' |
    awk -v s="$host_suite" -v use_sec="${VMD_ROOT_SECURITY:-1}" '$3 == "deb" && ($2 == s) { m = $1 }
      $3 == "deb" && $2 ~ /-security$/ { sec = $1 }
      END { if (m == "") exit 1; print m; print (sec == "" || use_sec == "0" ? "-" : sec) }'
}

make_root() {
  (($# >= 3)) || fail "make SUITE ARCH VARIANT [PACKAGE...]"
  local suite=$1 arch=$2 variant=$3; shift 3
  local packages mirror security key dir
  packages=$(printf '%s\n' "$@" | sort -u | paste -sd, -)
  { read -r mirror; read -r security; } < <(mirrors) ||
    fail "no Debian archive in apt's sources (apt-get indextargets)"
  key=$(printf '%s\n' "$suite" "$arch" "$variant" "$packages" "$mirror" "$security" \
        "$(declare -f make_root)" | sha256sum | cut -c1-16)
  dir=$roots/$suite-$arch-$variant-$key
  mkdir -p "$roots"
  exec 9>"$dir.lock"
  flock 9
  if [ ! -e "$dir/.complete" ]; then
    command -v mmdebstrap >/dev/null || fail "mmdebstrap is missing: scripts/deps.sh --all installs it"
    rm -rf "$dir"
    local sources=("deb $mirror $suite main")
    [ "$variant" = extract ] || sources+=("deb $mirror $suite-updates main")
    [ "$security" = - ] || sources+=("deb $security $suite-security main")
    echo "root.sh: making $dir" >&2
    mmdebstrap --quiet --variant="$variant" --architectures="$arch" \
      ${packages:+--include="$packages"} "$suite" "$dir" "${sources[@]}" >&2
    printf '%s\n' "$packages" >"$dir/.packages"
    touch "$dir/.complete"
    # Older roots of the same suite, architecture, variant and packages are
    # stale; a root of other packages is another stage's, maybe in use.
    for old in "$roots/$suite-$arch-$variant-"*; do
      [ "$old" != "$dir" ] && [ -d "$old" ] || continue
      if [ "$(cat "$old/.packages" 2>/dev/null)" = "$packages" ]; then rm -rf "$old" "$old.lock"; fi
    done
  fi
  flock -u 9
  echo "$dir"
}

run_root() {
  local root=${1:?run ROOT [-b HOST:INSIDE]... -- COMMAND...}; shift
  [ -e "$root/.complete" ] || fail "$root is no root made by root.sh make"
  local binds=()
  while (($#)) && [ "$1" != -- ]; do
    case $1 in
      -b|-w) binds+=("$1" "$2"); shift 2 ;;
      *) fail "unknown option $1" ;;
    esac
  done
  [ "${1:-}" = -- ] || fail "run: no -- before the command"
  shift
  (($#)) || fail "run: no command"
  local suite
  suite=$(basename "$root"); suite=${suite%%-*}
  local scratch
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-root-XXXXXX")
  mkdir -p "$roots/apt-cache/$suite"
  local status=0
  unshare --mount --propagation private -- "$here/root.sh" --inside "$root" "$scratch" \
    "$roots/apt-cache/$suite" "${binds[@]}" -- "$@" || status=$?
  (flock 9; find "$scratch/apt-upper" -maxdepth 1 -name '*.deb' -type f \
     -exec mv -n -t "$roots/apt-cache/$suite" {} + 2>/dev/null) 9>"$roots/apt-cache/$suite.lock" || true
  rm -rf "$scratch"
  return "$status"
}

# In the private mount namespace: the overlay, the binds, then chroot.
inside() {
  local root=$1 scratch=$2 cache=$3; shift 3
  mkdir "$scratch/upper" "$scratch/work" "$scratch/merged"
  mount -t overlay overlay -o "lowerdir=$root,upperdir=$scratch/upper,workdir=$scratch/work" \
    "$scratch/merged"
  local m=$scratch/merged
  mount -t proc proc "$m/proc"
  mount --rbind /sys "$m/sys"
  mount --rbind /dev "$m/dev"
  mount -t tmpfs tmpfs "$m/tmp"
  # apt's downloads: the suite's cache beneath, this run's above it (each
  # run holds its own apt lock); new packages go back into the cache after.
  mkdir -p "$m/var/cache/apt/archives" "$scratch/apt-upper" "$scratch/apt-work"
  mount -t overlay overlay \
    -o "lowerdir=$cache,upperdir=$scratch/apt-upper,workdir=$scratch/apt-work" \
    "$m/var/cache/apt/archives"
  rm -f "$m/etc/resolv.conf"
  cp -L /etc/resolv.conf "$m/etc/resolv.conf" 2>/dev/null || true
  while (($#)) && [ "$1" != -- ]; do
    local host=${2%%:*} at=${2#*:}
    mkdir -p "$m$at"
    mount --bind "$host" "$m$at"
    [ "$1" = -w ] || mount -o remount,bind,ro "$m$at"
    shift 2
  done
  shift
  # Kept, so that the run's downloads reach the cache above.
  echo 'Binary::apt::APT::Keep-Downloaded-Packages "true";' >"$m/etc/apt/apt.conf.d/00vmd-keep"
  exec chroot "$m" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

case ${1:-} in
  make) shift; make_root "$@" ;;
  run) shift; run_root "$@" ;;
  --inside) shift; inside "$@" ;;
  *) fail "usage: root.sh make SUITE ARCH VARIANT [PACKAGE...] | run ROOT [-b|-w HOST:INSIDE]... -- COMMAND..." ;;
esac
