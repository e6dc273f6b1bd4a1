#!/usr/bin/env bash
# Builds vmd-detect's container image as an OCI image layout in OUT, offline
# and without a daemon: one image index for the platforms of the table
# below, each a single layer with nothing but vmd-detect as a static
# executable (stripped; a static PIE where the platform's C library allows),
# its licence, the licence notices of the C and C++ runtime linked into it
# and a notice naming the corresponding source of each.
# No shell, no package manager, no base image. Reproducible: every time in
# the image is the commit's, the layer is a sorted tar of files owned by 0:0,
# and no build path reaches the binary, so two builds of one commit give the
# same index digest. Prints each platform's compressed size and the digest.
#
#   scripts/image.sh OUT            OUT: new or empty directory
#   scripts/image.sh --platforms    prints the table below, one platform a line
#   VMD_IMAGE_BUILD=DIR             build directories (default build-image)
#
# Push it with skopeo (docs/kubernetes.md):
#   skopeo copy --all oci:OUT:VERSION docker://REGISTRY/vmd-detect:VERSION
set -euo pipefail
cd "$(dirname "$0")/.."

# The image's platforms, one a line:
#   - the OCI platform, os/architecture[/variant];
#   - the Debian triplet of its compiler: the host's own builds natively,
#     any other with cmake/cross.cmake and Debian's g++-TRIPLET;
#   - the strip tool;
#   - the package suffix of the runtime's licence notices
#     (/usr/share/doc/libc6SUFFIX/copyright; "-" for none, the host's own);
#   - how the tool is linked: static-pie (no interpreter, loaded at a random
#     address), or static, a plain static executable at a fixed address,
#     where Debian 12's C library has no static PIE: for armhf, ppc64el,
#     riscv64 and s390x its glibc is built without static-PIE support, so
#     it ships no rcrt1.o and its libc.a lacks _dl_relocate_static_pie, the
#     start-up code that relocates such a program before anything runs.
platforms=(
  # platform     triplet                strip                        notices         link
  "linux/amd64   x86_64-linux-gnu       x86_64-linux-gnu-strip       -               static-pie"
  "linux/arm64   aarch64-linux-gnu      aarch64-linux-gnu-strip      -arm64-cross    static-pie"
  "linux/ppc64le powerpc64le-linux-gnu  powerpc64le-linux-gnu-strip  -ppc64el-cross  static"
  "linux/s390x   s390x-linux-gnu        s390x-linux-gnu-strip        -s390x-cross    static"
  "linux/riscv64 riscv64-linux-gnu      riscv64-linux-gnu-strip      -riscv64-cross  static"
  "linux/arm/v7  arm-linux-gnueabihf    arm-linux-gnueabihf-strip    -armhf-cross    static"
)
if [ "${1:-}" = --platforms ]; then
  printf '%s\n' "${platforms[@]}" | tr -s ' '
  exit 0
fi

out=${1:?usage: scripts/image.sh OUT | --platforms}
if [ -e "$out" ] && [ -n "$(ls -A "$out")" ]; then
  echo "image: $out exists and is not empty: name a new or empty directory, or remove it" >&2
  exit 2
fi
build=${VMD_IMAGE_BUILD:-build-image}
version=$(sed -n 's/^project(vm_detection VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
revision=$(git rev-parse HEAD)
epoch=$(git log -1 --format=%ct HEAD)
created=$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)
work=$(mktemp -d /tmp/vmd-image-XXXXXX)
trap 'rm -rf "$work"' EXIT

# The image's annotations: on each manifest and on the index. The licences
# are those of everything in the layer: vmd-detect's own, the C library
# linked into it, and the C++ runtime with libgcc.
annotations=(
  "org.opencontainers.image.title=vmd-detect"
  "org.opencontainers.image.description=Labels a Kubernetes node with whether it is a virtual machine, and under which hypervisor, for Node Feature Discovery"
  "org.opencontainers.image.version=$version"
  "org.opencontainers.image.licenses=MIT AND LGPL-2.1-or-later AND GPL-3.0-or-later WITH GCC-exception-3.1"
  "org.opencontainers.image.revision=$revision"
  "org.opencontainers.image.created=$created"
)

static_tool() {  # build directory, triplet, link
  local args=() toolchain=native
  [ "$2" = "$(c++ -dumpmachine)" ] || toolchain=$PWD/cmake/cross.cmake
  [ "$toolchain" = native ] || args=("-DCMAKE_TOOLCHAIN_FILE=$toolchain" "-DVMD_CROSS=$2")
  # CMake keeps a directory's first toolchain and compilers whatever it is
  # told later: one configured otherwise, or by an older script, starts anew.
  if [ "$(cat "$1/image-toolchain" 2>/dev/null)" != "$2 $toolchain" ]; then
    rm -rf "$1"
    mkdir -p "$1"
    echo "$2 $toolchain" >"$1/image-toolchain"
  fi
  case $3 in
    static-pie) args+=(-DVMD_STATIC_TOOL=ON -DCMAKE_EXE_LINKER_FLAGS=) ;;
    static) args+=(-DVMD_STATIC_TOOL=OFF -DCMAKE_EXE_LINKER_FLAGS=-static) ;;
    *) echo "image: link $3: static-pie or static" >&2; return 1 ;;
  esac
  # The toolchain counts at the first configuration only: no warning after.
  # The build path goes through CXXFLAGS, to which the toolchain file's own
  # flags are added; CMAKE_CXX_FLAGS would replace them.
  CXXFLAGS="-ffile-prefix-map=$PWD=." cmake -S . -B "$1" --no-warn-unused-cli "${args[@]}" \
    -DCMAKE_BUILD_TYPE=Release -DVMD_BUILD_TESTS=OFF -DVMD_BUILD_BENCHMARKS=OFF \
    -DVMD_INSTALL=OFF -DVMD_WARNINGS_AS_ERRORS=ON >/dev/null
  cmake --build "$1" -j"$(nproc)" --target vmd-detect >/dev/null
}

# Where the corresponding source of each library linked into the tool lies:
# the Debian package its static archive came from, and that package's
# source at its version.
notice() {  # C++ compiler of the architecture
  local archive package source url
  cat <<EOF
vmd-detect (/usr/bin/vmd-detect) is one program, linked statically with the
libraries below. Their licences are in /usr/share/doc/PACKAGE/copyright in
this image. The corresponding source of each is the Debian source package
named, at the version named ("apt-get source NAME=VERSION" on Debian), kept
at the address given.

EOF
  for archive in libc.a libstdc++.a libgcc.a libgcc_eh.a; do
    package=$(dpkg -S "$(realpath "$("$1" -print-file-name="$archive")")" | cut -d: -f1)
    source=$(dpkg-query -W -f '${source:Package} ${source:Version}' "$package")
    url="https://snapshot.debian.org/package/${source% *}/$(sed 's/+/%2B/g; s/:/%3A/g' <<<"${source#* }")/"
    printf '%s: in %s, source %s\n  %s\n' "$archive" "$package" "${source/ /=}" "$url"
  done
  cat <<EOF

libc.a is the GNU C Library, under the LGPL 2.1 or later; libstdc++.a,
libgcc.a and libgcc_eh.a are GCC's runtime, under the GPL 3 or later with
the GCC Runtime Library Exception. vmd-detect's own source (MIT, see
/usr/share/doc/vmd-detect/copyright) is the libvm_detection tree at
revision $revision, whose scripts/image.sh builds this image; with it the
program can be linked again against a changed C library.
EOF
}

layer() {  # name, binary, strip, package suffix of the runtime's notices, C++ compiler
  local rootfs=$work/$1 doc
  doc=$rootfs/usr/share/doc
  mkdir -p "$rootfs/usr/bin" "$doc/vmd-detect"
  "$3" --strip-all -o "$rootfs/usr/bin/vmd-detect" "$2"
  cp LICENSE "$doc/vmd-detect/copyright"
  notice "$5" >"$doc/vmd-detect/NOTICE"
  # glibc, and libstdc++ with libgcc (one notice, from one source: linked
  # as one file where they are the same).
  local package previous=""
  for package in libc6 libstdc++6 libgcc-s1; do
    mkdir -p "$doc/$package"
    if [ -n "$previous" ] && cmp -s "$previous" "/usr/share/doc/$package$4/copyright"; then
      ln "$previous" "$doc/$package/copyright"
    else
      cp "/usr/share/doc/$package$4/copyright" "$doc/$package/copyright"
    fi
    previous=$doc/$package/copyright
  done
  find "$rootfs" -type d -exec chmod 0755 {} +
  find "$rootfs" -type f -exec chmod 0644 {} +
  chmod 0755 "$rootfs/usr/bin/vmd-detect"
  tar --sort=name --format=gnu --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
    -C "$rootfs" -cf "$work/$1.tar" usr
}

manifest() {  # name, OCI platform
  local args=() a os arch variant
  IFS=/ read -r os arch variant <<<"$2"
  for a in "${annotations[@]}"; do args+=(--manifest.annotation "$a"); done
  umoci new --image "$out:$1"
  umoci raw add-layer --image "$out:$1" --history.created "$created" \
    --history.created_by "scripts/image.sh" "$work/$1.tar"
  # The variant, which umoci cannot set, is the index's to name.
  umoci config --image "$out:$1" --architecture "$arch" --os "$os" \
    --created "$created" --config.entrypoint /usr/bin/vmd-detect --config.env PATH=/usr/bin \
    --no-history "${args[@]}"
}

names=()
for row in "${platforms[@]}"; do
  read -r platform triplet strip notices link <<<"$row"
  name=${platform#linux/}
  name=${name//\//-}
  [ "$notices" != - ] || notices=""
  static_tool "$build/$name" "$triplet" "$link"
  layer "$name" "$build/$name/vmd-detect" "$strip" "$notices" "$triplet-g++"
  names+=("$name=$platform")
done

[ ! -d "$out" ] || rmdir "$out"
umoci init --layout "$out"
for name in "${names[@]}"; do manifest "${name%%=*}" "${name#*=}"; done
umoci gc --layout "$out"

# umoci tags each manifest on its own; one index with every platform takes
# their place, under the version's name.
python3 - "$out" "$version" "${names[@]}" -- "${annotations[@]}" <<'EOF'
import hashlib, json, os, sys

out, version = sys.argv[1], sys.argv[2]
split = sys.argv.index("--")
names = [n.split("=", 1) for n in sys.argv[3:split]]
annotations = dict(a.split("=", 1) for a in sys.argv[split + 1:])
blobs = os.path.join(out, "blobs", "sha256")


def blob(data):
    digest = hashlib.sha256(data).hexdigest()
    with open(os.path.join(blobs, digest), "wb") as f:
        f.write(data)
    return "sha256:" + digest


def read(digest):
    with open(os.path.join(blobs, digest.split(":")[1]), "rb") as f:
        return f.read()


with open(os.path.join(out, "index.json")) as f:
    tagged = {m["annotations"]["org.opencontainers.image.ref.name"]: m
              for m in json.load(f)["manifests"]}
manifests = []
for name, platform in names:
    m = tagged[name]
    os_, arch, *variant = platform.split("/")
    manifests.append({"mediaType": m["mediaType"], "digest": m["digest"], "size": m["size"],
                      "platform": {"architecture": arch, "os": os_,
                                   **({"variant": variant[0]} if variant else {})}})
    layer = json.loads(read(m["digest"]))["layers"][0]
    print(f"{platform}: {layer['size']} bytes compressed ({layer['size'] / 1048576:.2f} MiB)")
index = json.dumps({"schemaVersion": 2, "mediaType": "application/vnd.oci.image.index.v1+json",
                    "manifests": manifests, "annotations": annotations},
                   separators=(",", ":")).encode()
digest = blob(index)
top = {"schemaVersion": 2, "manifests": [{
    "mediaType": "application/vnd.oci.image.index.v1+json", "digest": digest,
    "size": len(index), "annotations": {"org.opencontainers.image.ref.name": version}}]}
with open(os.path.join(out, "index.json"), "w") as f:
    json.dump(top, f, separators=(",", ":"))
print(f"index {digest}: oci:{out}:{version}")
EOF
