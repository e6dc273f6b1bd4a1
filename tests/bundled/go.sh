#!/usr/bin/env bash
# Clean-room test of the Go module: in a clean Debian root of SUITE that has
# Go and a C++ compiler but no libvm_detection, go get fetches the module
# from a GOPROXY=file:// directory of ours (scripts/package-go.sh: the zip
# made as the Go command makes it, from git archive of HEAD), with the
# network cut off, a fresh module cache and no replace directive; go build
# of a program of one's own (tests/bundled/goconsumer) compiles the
# library's sources through cgo. The module cache's copy of the sources
# must be the tree's, the program must carry no C++ runtime of the system,
# and it must print what vmd-detect's report holds over probe trees and,
# live, in the root (tests/bundled/compare.sh).
#
#   tests/bundled/go.sh SUITE            SUITE bookworm or trixie
#   VMD_RELEASE_DIR=DIR                  the release tarballs, whose static
#                                        vmd-detect is the reference; made with
#                                        scripts/release.sh --binaries when unset
set -euo pipefail
suite=${1:?usage: tests/bundled/go.sh SUITE}
cd "$(dirname "$0")/../.."
repo=$PWD
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-bundled-go-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
step() {  # name, command...: runs it and prints its time
  local name=$1 start=$SECONDS; shift
  "$@"
  echo "go.sh $suite: $name: $((SECONDS - start)) s"
}

. tests/bundled/common.sh
make_root() { root=$(bundled_root "$suite"); }
release_tool() {
  local dir
  dir=$(release_dir "$scratch")
  mkdir "$scratch/tool"
  tar -xzf "$dir"/libvm_detection-*-linux-x86_64.tar.gz -C "$scratch/tool" --strip-components=1
}
package() {
  scripts/package-go.sh "$scratch/out" >/dev/null
  mkdir "$scratch/src"
  git archive HEAD | tar -x -C "$scratch/src"
  # Only what git holds goes in: no build directory, no nested module.
  python3 - "$scratch/out" "$scratch/src" <<'PY'
import pathlib, sys, zipfile
out, src = map(pathlib.Path, sys.argv[1:])
(archive,) = out.glob("goproxy/**/*.zip")
names = set()
for name in zipfile.ZipFile(archive).namelist():
    module, _, rest = name.partition("@")
    names.add(rest.split("/", 1)[1])
tracked = {str(p.relative_to(src)) for p in src.rglob("*") if p.is_file() or p.is_symlink()}
stray = names - tracked
nested = {p.parent for p in src.rglob("go.mod") if p.parent != src}
kept = {n for n in tracked - names
        if not any(pathlib.Path(src, n).is_relative_to(d) for d in nested)}
if stray or kept or not {"go.mod", "go/vmdetection.go", "src/api/detect.cpp"} <= names:
    sys.exit(f"FAIL: the module zip differs from the tree: {sorted(stray)} {sorted(kept)[:20]}")
print(f"  {archive.name}: {len(names)} files, {archive.stat().st_size} bytes")
PY
}

step "root" make_root
step "release binaries" release_tool
step "module zip" package
mkdir "$scratch/inside"
cat >"$scratch/inside/go.sh" <<'EOF_INSIDE'
set -euo pipefail
step() { local name=$1 start=$SECONDS; shift; "$@"; echo "  $name: $((SECONDS - start)) s"; }
go version
installed=$(ls /usr/lib/*/libvm_detection* /usr/lib/libvm_detection* /usr/local/lib*/libvm_detection* \
  /usr/include/vm_detection.h /usr/local/include/vm_detection.h 2>/dev/null || true)
if [ -n "$installed" ] || pkg-config --exists vm_detection; then
  echo "FAIL: the root has libvm_detection: $installed" >&2; exit 1
fi
export GOPROXY=file:///proxy GOFLAGS=-mod=mod GOSUMDB=off GOTOOLCHAIN=local \
  GOMODCACHE=/tmp/modcache GOCACHE=/tmp/gocache GOPATH=/tmp/gopath
cp -r /consumer /tmp/app && cd /tmp/app
step "go get" go get github.com/libvm-detection/libvm_detection/go@v1.0.0
step "go build" go build -o consumer .
module=$GOMODCACHE/github.com/libvm-detection/libvm_detection@v1.0.0
for part in src include go CMakeLists.txt; do
  diff -r "/src/$part" "$module/$part" >&2 ||
    { echo "FAIL: the module's $part differs from the tree" >&2; exit 1; }
done
if ldd ./consumer | grep libstdc++; then
  echo "FAIL: the program loads the system's libstdc++" >&2; exit 1
fi
step "compare" /bundled/compare.sh /tool/bin/vmd-detect /bindings/summary.py ./consumer
# Dropped as a user would, once no code imports it (or tidy puts it back).
# go get takes @none of a package path as naming no module in the build
# list and leaves the requirement; go mod tidy drops it.
printf 'package main\n\nfunc main() {}\n' >main.go
step "go get @none" go get github.com/libvm-detection/libvm_detection/go@none
step "go mod tidy" go mod tidy
if grep libvm-detection go.mod go.sum; then echo "FAIL: go.mod or go.sum still names the module" >&2; exit 1; fi
EOF_INSIDE
# No network inside: everything comes from the directories bound in.
step "in the root" scripts/root.sh run "$root" -b "$scratch/out/goproxy:/proxy" \
  -b "$scratch/src:/src" -b "$scratch/tool:/tool" -b "$repo/tests/bundled/goconsumer:/consumer" \
  -b "$repo/tests/bindings:/bindings" -b "$repo/tests/bundled:/bundled" \
  -b "$scratch/inside:/inside" -- unshare --net bash /inside/go.sh
echo "go.sh $suite: ok"
