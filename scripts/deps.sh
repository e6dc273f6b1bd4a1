#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine. Quick
# when everything is there already.
set -euo pipefail

#   scripts/deps.sh              the build, vmd-detect, the test suite and benchmarks
#   scripts/deps.sh --packages   also clang and the tools that build, check
#                                and install the Debian packages
#                                (scripts/packages.sh)
#   scripts/deps.sh --all        also what scripts/check-all.sh needs beyond that
packages=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev python3 python3-jsonschema
          pkg-config binutils strace mandoc abigail-tools)
# The release's own clang: 14 on Debian 12, 19 on Debian 13; elsewhere the
# newest clang-N apt knows of (after an update, on a fresh machine).
clang_version() {
  case $(. /etc/os-release && echo "${VERSION_ID:-}") in
    12) echo 14 ;;
    13) echo 19 ;;
    *) { apt-cache pkgnames clang- 2>/dev/null || true; } | sed -n 's/^clang-\([0-9][0-9]*\)$/\1/p' |
         sort -n | tail -n 1 ;;
  esac
}
case ${1:-} in
  --all|--packages)
    llvm=$(clang_version)
    [ -n "$llvm" ] || { echo "deps.sh: no clang-N known to apt; run apt-get update" >&2; exit 1; }
    # The package build, lintian, git for the clean copy built, man for the
    # installed pages and systemd-analyze for the installed units; the
    # release's clang and clang++ for the suite built with them.
    packages+=(build-essential dpkg-dev debhelper lintian git man-db systemd clang "clang-$llvm") ;;
esac
if [ "${1:-}" = --all ]; then
  # Fuzzers (clang with libFuzzer and the sanitizer runtimes); the cross
  # builds of the architectures stage with GoogleTest's sources, run under
  # qemu-user; the Python and Go bindings' tests.
  packages+=("libclang-rt-$llvm-dev" googletest qemu-user
             g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-i686-linux-gnu
             g++-powerpc64le-linux-gnu g++-riscv64-linux-gnu g++-s390x-linux-gnu
             python3-venv python3-pytest python3-mypy golang-go)
  # The format check. Its formatting is clang-format 14's (19 lays out nine
  # files otherwise): where the release has no
  # clang-format-14 (Debian 13) there is none to install, and
  # scripts/format.sh says so; the format stage runs on Debian 12.
  if [ "$llvm" = 14 ] || apt-cache show clang-format-14 >/dev/null 2>&1; then
    packages+=(clang-format-14)
  fi
  # The fleet integrations, tested against the real clients: node_exporter,
  # promtool (in the prometheus package), Ansible, Facter and systemd-analyze;
  # kubectl comes from kubernetes-client only where none is on PATH.
  packages+=(prometheus-node-exporter prometheus ansible-core facter systemd curl)
  command -v kubectl >/dev/null || packages+=(kubernetes-client)
  # The RPM packages: rpmbuild and rpmlint.
  packages+=(rpm rpmlint)
  # The Rust and Node.js bindings' tests and the C++ example with
  # nlohmann/json: Debian's packaged serde crates, built offline by Debian's
  # cargo where no cargo is on PATH; Node.js and npm only where none is.
  packages+=(librust-serde-dev librust-serde-derive-dev librust-serde-json-dev nlohmann-json3-dev)
  command -v cargo >/dev/null || packages+=(cargo)
  command -v npm >/dev/null || packages+=(nodejs npm)
  # The image and the Kubernetes manifests: umoci builds the OCI layout,
  # skopeo copies it, podman with runc runs it (crun refuses some hosts'
  # cgroup layouts); npm (above) fetches the API schemas, PyYAML reads
  # kubectl's rendering.
  packages+=(umoci skopeo podman runc file python3-yaml)
  # Clean Debian roots of other releases and architectures (scripts/root.sh)
  # for the releases and bundled stages; the Go module zip as the Go command
  # makes it, and the Rust crate's bundled build from Debian's crates.
  packages+=(mmdebstrap golang-golang-x-mod-dev librust-cc-dev librust-pkg-config-dev)
  # The release binaries: clang links them with lld over the sysroot, and
  # llvm-strip strips them for either architecture.
  packages+=(lld llvm)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  # Services that come with these packages (node_exporter, Prometheus) are
  # not to be started: the tests start their own, on loopback only.
  policy=/usr/sbin/policy-rc.d
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
    $sudo chmod 755 "$policy"
    trap '$sudo rm -f "$policy"' EXIT
  fi
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
