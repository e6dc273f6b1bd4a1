#!/usr/bin/env bash
# Writes the Go module's release as a GOPROXY directory: OUTDIR/goproxy/
# MODULE/@v/ with list, vX.Y.Z.info, .mod and .zip, the zip made by
# golang.org/x/mod/zip (as the Go command makes and checks it) from
# git archive of HEAD, so that no build directory or uncommitted change
# reaches it. The version is project()'s in CMakeLists.txt, the time the
# commit's (SOURCE_DATE_EPOCH): two runs over one commit write the same
# bytes. GOPROXY=file://OUTDIR/goproxy serves it to go get as is; a code
# host serves the same module from a tag vX.Y.Z.
# Needs go and Debian's golang-golang-x-mod-dev (built offline from it).
#
#   scripts/package-go.sh OUTDIR
set -euo pipefail
out=${1:?usage: scripts/package-go.sh OUTDIR}
cd "$(dirname "$0")/.."
version=$(sed -nE 's/^project\(vm_detection VERSION ([0-9.]+).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package-go.sh: no version in CMakeLists.txt" >&2; exit 1; }
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vmd-package-go-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/src"
git archive HEAD | tar -x -C "$scratch/src"
(cd tests/bundled/gozip && GO111MODULE=off GOPATH=/usr/share/gocode GOFLAGS='' \
  GOCACHE=$scratch/cache go build -o "$scratch/gozip" .)
mkdir -p "$out"
rm -rf "$out/goproxy"
"$scratch/gozip" -src "$scratch/src" -version "v$version" \
  -time "$(date -u -d "@$epoch" +%Y-%m-%dT%H:%M:%SZ)" -out "$out/goproxy"
find "$out/goproxy" -name "v$version.zip"
