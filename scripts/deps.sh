#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine. Quick
# when everything is there already.
set -euo pipefail

#   scripts/deps.sh              the build, vmd-detect, the test suite,
#                                the benchmarks and the README's recipes
#   scripts/deps.sh STAGE...     what those stages of scripts/check-all.sh
#                                need (test bindings asan tsan fuzz architectures
#                                packages unprivileged format integrations rpm
#                                image releases bundled)
#   scripts/deps.sh --packages   also clang and the tools that build, check
#                                and install the Debian packages
#                                (scripts/packages.sh)
#   scripts/deps.sh --all        what every stage needs
# Python's venv, for the README's virtual environment (Debian's pip installs
# into no other), and jq, which the README's shell recipe pipes into.
base() {
  packages+=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev python3 python3-jsonschema
             python3-venv jq pkg-config binutils strace mandoc abigail-tools)
}
packages=()
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
llvm=
clang() {  # the release's clang and clang++
  [ -n "$llvm" ] || llvm=$(clang_version)
  [ -n "$llvm" ] || { echo "deps.sh: no clang-N known to apt; run apt-get update" >&2; exit 1; }
  packages+=(clang "clang-$llvm")
}

# The groups of packages, each for the stages named where it is used below.
# The package build, lintian, git for the clean copy built, man for the
# installed pages and systemd-analyze for the installed units; the release's
# clang and clang++ for the suite built with them.
packaging() { clang; packages+=(build-essential dpkg-dev debhelper lintian git man-db systemd); }
# Fuzzers: clang with libFuzzer and the sanitizer runtimes.
fuzzers() { clang; packages+=("libclang-rt-$llvm-dev"); }
# The cross builds with GoogleTest's sources, run under qemu-user.
cross() {
  packages+=(googletest qemu-user g++-aarch64-linux-gnu g++-arm-linux-gnueabihf g++-i686-linux-gnu
             g++-powerpc64le-linux-gnu g++-riscv64-linux-gnu g++-s390x-linux-gnu)
}
# The bindings' tests: pytest and mypy, Go, Debian's packaged crates (serde,
# and cc and pkg-config for the crate's bundled build), built offline by
# Debian's cargo where no cargo is on PATH; Node.js and npm only where none
# is; nlohmann/json for the C++ example.
bindings() {
  packages+=(python3-pytest python3-mypy golang-go librust-serde-dev librust-serde-derive-dev
             librust-serde-json-dev librust-cc-dev librust-pkg-config-dev nlohmann-json3-dev)
  command -v cargo >/dev/null || packages+=(cargo)
  command -v npm >/dev/null || packages+=(nodejs npm)
}
# The format check. Its formatting is clang-format 14's (19 lays out nine
# files otherwise): where the release has no clang-format-14 (Debian 13)
# there is none to install, and scripts/format.sh says so; the format stage
# runs on Debian 12.
format() {
  [ -n "$llvm" ] || llvm=$(clang_version)
  packages+=(git)
  if [ "$llvm" = 14 ] || apt-cache show clang-format-14 >/dev/null 2>&1; then
    packages+=(clang-format-14)
  fi
}
# The fleet integrations, tested against the real clients: node_exporter,
# promtool (in the prometheus package), Ansible, Facter and systemd-analyze;
# kubectl comes from kubernetes-client only where none is on PATH.
fleet() {
  packages+=(prometheus-node-exporter prometheus ansible-core facter systemd curl man-db file python3-yaml)
  command -v kubectl >/dev/null || packages+=(kubernetes-client)
}
# The RPM packages: rpmbuild and rpmlint.
rpms() { packages+=(rpm rpmlint file); }
# The image and the Kubernetes manifests: umoci builds the OCI layout,
# skopeo copies it, podman with runc runs it (crun refuses some hosts'
# cgroup layouts); npm fetches the API schemas, PyYAML reads kubectl's
# rendering.
image() {
  packages+=(umoci skopeo podman runc file python3-yaml git)
  command -v npm >/dev/null || packages+=(nodejs npm)
}
# Clean Debian roots of other releases and architectures (scripts/root.sh)
# for the releases and bundled stages; the Go module zip as the Go command
# makes it, and the Rust crate's bundled build from Debian's crates; the
# release binaries, which clang links with lld over the sysroot, llvm-strip
# strips for either architecture, and the aarch64 tool is cross-built.
roots() {
  clang
  packages+=(mmdebstrap git golang-go golang-golang-x-mod-dev librust-cc-dev librust-pkg-config-dev
             lld llvm qemu-user g++-aarch64-linux-gnu)
}

all_stages=(test bindings asan tsan fuzz architectures packages unprivileged format integrations
            rpm image releases bundled)
stage() {
  # Every stage builds the tree but the format check, which reads it.
  [ "$1" = format ] || base
  case $1 in
    test|asan|tsan|unprivileged) ;;
    bindings) bindings ;;
    fuzz) fuzzers ;;
    architectures) cross ;;
    packages|--packages) packaging ;;
    format) format ;;
    integrations) fleet ;;
    rpm) packaging; rpms ;;
    image) cross; fleet; image ;;
    releases) roots; packaging ;;
    bundled) roots; bindings ;;
    *) echo "deps.sh: unknown stage $1 (stages: ${all_stages[*]}, or --packages, --all)" >&2; exit 2 ;;
  esac
}
if [ "${1:-}" = --all ]; then set -- "${all_stages[@]}"; fi
(($#)) || base
for s in "$@"; do stage "$s"; done
# Each package once.
read -r -a packages <<<"$(printf '%s\n' "${packages[@]}" | awk '!seen[$0]++' | tr '\n' ' ')"

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
