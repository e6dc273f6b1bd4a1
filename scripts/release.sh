#!/usr/bin/env bash
# Makes a release of the commit checked out (HEAD), from a clone of that
# commit, so that changes not yet committed never reach it (the version
# files read are the commit's too):
#   - libvm_detection-VERSION.tar.gz, the source (git archive);
#   - libvm_detection-VERSION-linux-ARCH.tar.gz for x86_64 and aarch64, an
#     install tree under lib/ whose shared object loads on glibc 2.17 and
#     later (built with cmake/floor.cmake over Debian 11's C library and
#     GCC 10 runtime), with a static vmd-detect in bin/;
#   - the Debian packages (scripts/packages.sh), the RPM packages
#     (scripts/rpm.sh) and the OCI image as one tar (scripts/image.sh);
#   - the bindings' packages: the Python wheels and sdist, the npm tarball
#     with the binary tarballs' libraries, the Rust crate, and the Go module
#     zip with the file proxy that serves it (goproxy/);
#   - SHA256SUMS over all of them.
# Every time in the tarballs is the commit's (SOURCE_DATE_EPOCH), and no
# build path reaches a binary: two runs over one commit write the same
# tarballs, byte for byte. Refuses a version in debian/changelog or the RPM
# recipe other than project()'s. Runs on an x86_64 Debian with
# scripts/deps.sh --all installed (clang, lld, the aarch64 cross compiler,
# mmdebstrap for the sysroots of scripts/root.sh).
#
#   scripts/release.sh [OUTDIR]          everything; OUTDIR (default release/)
#                                        new or empty
#   scripts/release.sh --binaries OUTDIR the two binary tarballs only
#                                        (written over any of those names)
#   VMD_RELEASE_COMMIT=REV               the commit to release (default HEAD)
#   VMD_RELEASE_BUILD=DIR                build directories (default
#                                        build-release-cache); kept, so that a
#                                        second run over one commit is quick
set -euo pipefail

binaries_only=0
if [ "${1:-}" = --binaries ]; then
  binaries_only=1
  out=${2:?usage: scripts/release.sh [OUTDIR] | --binaries OUTDIR}
else
  out=${1:-release}
fi
out=$(realpath -m "$out")
cd "$(dirname "$0")/.."
build=$(realpath -m "${VMD_RELEASE_BUILD:-build-release-cache}")

fail() { echo "release: $*" >&2; exit 1; }

commit=$(git rev-parse --verify "${VMD_RELEASE_COMMIT:-HEAD}^{commit}")
at() { git show "$commit:$1"; }
version=$(at CMakeLists.txt | sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p')
deb_version=$(at debian/changelog | sed -n '1s/^[^ ]* (\([^)]*\)).*/\1/p')
deb_version=${deb_version#*:}
deb_version=${deb_version%-*}
rpm_version=$(at rpm/libvm_detection.spec | sed -n 's/^Version: *//p')
[ "$deb_version" = "$version" ] || fail "debian/changelog says $deb_version, CMakeLists.txt $version"
[ "$rpm_version" = "$version" ] || fail "rpm/libvm_detection.spec says $rpm_version, CMakeLists.txt $version"
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH
if ((!binaries_only)) && [ -e "$out" ] && [ -n "$(ls -A "$out")" ]; then
  fail "$out exists and is not empty: name a new or empty directory, or remove it"
fi
mkdir -p "$out" "$build"

# The commit, in a clone that shares this repository's objects. It is kept
# and moved from commit to commit: git rewrites only the files that changed,
# so the build directories below rebuild only what they must.
src=$build/source
[ -d "$src/.git" ] || git clone --quiet --shared --no-checkout "$PWD" "$src"
git -C "$src" checkout --quiet --force --detach "$commit"
git -C "$src" clean --quiet -d --force -x

# Reproducible tar: sorted, the commit's time, owned by 0:0, modes whatever
# the umask, no name or time in the gzip header.
pack() {  # DIR NAME OUTPUT: packs DIR/NAME into OUTPUT
  tar -C "$1" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
    --mode=u=rwX,go=rX --format=gnu -cf - "$2" | gzip -n -9 >"$3.tmp"
  mv "$3.tmp" "$3"
}

# A copy of the Debian 11 sysroot in which every symbolic link is relative:
# the linker follows an absolute one into this machine's own /lib, whose
# glibc is newer.
# The arm64 one is made without bullseye-security, which the archive here
# serves for amd64 only (VMD_RELEASE_ARM64_SECURITY=1 to use it): what the
# object takes from a sysroot is the C library's headers and
# libc_nonshared.a and the GCC runtime; the glibc it runs on is the user's.
sysroot() {  # DEBIAN-ARCH DIR
  local root security=1
  [ "$1" = amd64 ] || security=${VMD_RELEASE_ARM64_SECURITY:-0}
  root=$(VMD_ROOT_SECURITY=$security scripts/root.sh make bullseye "$1" extract libc6-dev \
           libstdc++-10-dev libgcc-10-dev linux-libc-dev)
  [ "$(cat "$2/.from" 2>/dev/null)" != "$root" ] || return 0
  rm -rf "$2"
  mkdir -p "$2"
  cp -a "$root/usr" "$root/lib" "$2/"
  [ ! -d "$root/lib64" ] || cp -a "$root/lib64" "$2/"
  local link target
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$2$target")" "$link"
  done < <(find "$2" -type l -lname '/*' -print0)
  echo "$root" >"$2/.from"
}

# Flags that keep the source and build paths out of what is built.
prefix_map() {  # BUILD-DIR
  echo "-ffile-prefix-map=$src=. -ffile-prefix-map=$1=."
}

# The shared object and the install tree around it, without the tool.
floor_build() {  # ARCH SYSROOT BUILD-DIR PREFIX
  CFLAGS=$(prefix_map "$3") CXXFLAGS=$(prefix_map "$3") cmake -S "$src" -B "$3" --no-warn-unused-cli \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/floor.cmake" -DVMD_FLOOR_ARCH="$1" -DVMD_FLOOR_SYSROOT="$2" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_LIBDIR=lib -DVMD_BUILD_TOOL=OFF \
    -DVMD_BUILD_TESTS=OFF -DVMD_BUILD_BENCHMARKS=OFF -DVMD_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build "$3" -j2 >/dev/null
  cmake --install "$3" --prefix "$4" --strip >/dev/null
}

# The static vmd-detect, built as the image builds it: the host's g++ or
# Debian's cross compiler, with the build machine's static glibc.
tool_build() {  # TRIPLET BUILD-DIR OUTPUT
  local args=()
  [ "$1" = "$(c++ -dumpmachine)" ] ||
    args=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/cross.cmake" -DVMD_CROSS="$1")
  CXXFLAGS=$(prefix_map "$2") cmake -S "$src" -B "$2" --no-warn-unused-cli "${args[@]}" \
    -DCMAKE_BUILD_TYPE=Release -DVMD_STATIC_TOOL=ON -DVMD_BUILD_TESTS=OFF \
    -DVMD_BUILD_BENCHMARKS=OFF -DVMD_INSTALL=OFF -DVMD_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build "$2" -j2 --target vmd-detect >/dev/null
  mkdir -p "$(dirname "$3")"
  "$1-strip" -o "$3" "$2/vmd-detect"
  chmod 755 "$3"
}

binaries=()
for pair in x86_64:amd64 aarch64:arm64; do
  arch=${pair%%:*} debarch=${pair#*:}
  name=libvm_detection-$version-linux-$arch
  echo "== $name.tar.gz"
  sysroot "$debarch" "$build/sysroot-$arch"
  rm -rf "$build/stage-$arch"
  floor_build "$arch" "$build/sysroot-$arch" "$build/floor-$arch" "$build/stage-$arch/$name"
  tool_build "$arch-linux-gnu" "$build/tool-$arch" "$build/stage-$arch/$name/bin/vmd-detect"
  python3 scripts/glibc-floor.py --max 2.17 "$build/stage-$arch/$name/lib/libvm_detection.so.$version" ||
    fail "$name: the shared object needs a newer glibc"
  pack "$build/stage-$arch" "$name" "$out/$name.tar.gz"
  binaries+=("$name.tar.gz")
done
if ((binaries_only)); then
  (cd "$out" && sha256sum "${binaries[@]}")
  exit 0
fi

echo "== libvm_detection-$version.tar.gz"
git -C "$src" archive --format=tar --prefix="libvm_detection-$version/" "$commit" | gzip -n -9 \
  >"$out/libvm_detection-$version.tar.gz"

# The packaging stages of the commit itself, each keeping what it built and
# tested.
work=$(mktemp -d /tmp/vmd-release-XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "== Debian packages (scripts/packages.sh)"
"$src/scripts/packages.sh" --keep "$work/deb" >"$work/packages.log" 2>&1 ||
  { tail -n 40 "$work/packages.log"; fail "scripts/packages.sh (log above)"; }
echo "== RPM packages (scripts/rpm.sh)"
"$src/scripts/rpm.sh" --keep "$work/rpm" >"$work/rpm.log" 2>&1 ||
  { tail -n 40 "$work/rpm.log"; fail "scripts/rpm.sh (log above)"; }
cp "$work"/deb/*.deb "$work"/rpm/*.rpm "$out/"

echo "== vmd-detect-image-$version.oci.tar (scripts/image.sh)"
VMD_IMAGE_BUILD=$build/image "$src/scripts/image.sh" "$work/image" >"$work/image.log" 2>&1 ||
  { tail -n 40 "$work/image.log"; fail "scripts/image.sh (log above)"; }
tar -C "$work/image" --sort=name --mtime="@$SOURCE_DATE_EPOCH" --owner=0 --group=0 --numeric-owner \
  --mode=u=rwX,go=rX --format=gnu -cf "$out/vmd-detect-image-$version.oci.tar" .

# The bindings' packages, from the commit's own packaging scripts; the
# wheels and the npm tarball carry the libraries of the binary tarballs.
echo "== the bindings' packages"
for lang in python node rust go; do
  (cd "$src" && VMD_RELEASE_DIR=$out "scripts/package-$lang.sh" "$work/$lang") \
    >"$work/$lang.log" 2>&1 || { tail -n 40 "$work/$lang.log"; fail "scripts/package-$lang.sh (log above)"; }
done
cp "$work"/python/* "$work"/node/*.tgz "$work"/rust/*.crate "$out/"
cp -r "$work/go/goproxy" "$out/"
# The module zip under its own name too, for SHA256SUMS and for a reader
# who wants just it.
for zip in "$out"/goproxy/*/*/*/@v/*.zip; do
  cp "$zip" "$out/libvm_detection-go-module-$(basename "$zip")"
done

(cd "$out" && find . -maxdepth 1 -type f ! -name SHA256SUMS -printf '%f\n' | LC_ALL=C sort |
  xargs sha256sum >"$work/SHA256SUMS")
cp "$work/SHA256SUMS" "$out/SHA256SUMS"
cat "$out/SHA256SUMS"
