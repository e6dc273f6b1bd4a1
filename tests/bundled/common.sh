# Sourced by the bundled stage's scripts, from the top of the tree: the one
# clean root per suite that they all share (its package list written once,
# so that no script makes a root of its own by a slip), and the release
# tarballs they install from.

# The root of SUITE with every binding's toolchain and no libvm_detection.
bundled_root() {
  scripts/root.sh make "$1" amd64 minbase ca-certificates g++ pkg-config python3 \
    python3-venv golang-go cargo rustc librust-cc-dev librust-pkg-config-dev nodejs npm
}

# Prints the folder of the release tarballs: VMD_RELEASE_DIR, or tarballs
# made into SCRATCH/release.
release_dir() {
  if [ -n "${VMD_RELEASE_DIR:-}" ]; then realpath "$VMD_RELEASE_DIR"; return; fi
  scripts/release.sh --binaries "$1/release" >"$1/release.log" 2>&1 ||
    { cat "$1/release.log" >&2; return 1; }
  echo "$1/release"
}

# An npm cache at DIR holding koffi and its linux-x64 binary package at the
# lock file's versions, for installs offline: a copy of VMD_NPM_CACHE if set.
npm_cache() {
  if [ -n "${VMD_NPM_CACHE:-}" ]; then cp -r "$VMD_NPM_CACHE" "$1"; return; fi
  node -e 'const p = require("./node/package-lock.json").packages;
    for (const n of ["koffi", "@koromix/koffi-linux-x64"]) console.log(`${n}@${p["node_modules/" + n].version}`);' |
    xargs npm cache add --cache "$1" --loglevel=error
}
