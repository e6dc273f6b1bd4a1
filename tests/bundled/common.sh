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
