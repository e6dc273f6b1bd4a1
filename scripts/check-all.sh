#!/usr/bin/env bash
# Everything CI runs, in order: the normal build and test suite
# (scripts/test.sh); the Python, Go, Rust and Node.js bindings and the C++
# example with nlohmann/json against that build (tests/bindings/run.sh); the
# suite built with AddressSanitizer and UndefinedBehaviorSanitizer (leak
# checking on), and with ThreadSanitizer; a bounded run of every fuzz target;
# the suite cross-built for arm64, armhf, i386, ppc64el, riscv64 and s390x and
# run under qemu-user (tests/architectures/run.sh); the Debian
# packages built, checked, installed and used (scripts/packages.sh); the suite
# run as an unprivileged user (tests/unprivileged/run.sh); the check that
# every C and C++ file is formatted (scripts/format.sh); vmd-detect's fleet
# formats, timer and facts against the real clients (tests/integrations/run.sh);
# the RPM packages built, linted and installed into a scratch root
# (scripts/rpm.sh); and the static tool, its OCI image and the Kubernetes
# manifests, the DaemonSet run under podman over node roots
# (tests/image/run.sh); the suite with g++ and clang and the Debian packages
# in a clean Debian 13 root, and the release binaries proven on Debian 11's
# glibc and built twice to the same bytes (tests/releases/run.sh); and each
# binding installed by its ecosystem's own command in clean Debian 12 and 13
# roots without the library, and the documentation's recipes run as written
# in a clean Debian 12 root (tests/bundled/run.sh). Every stage runs even
# when an earlier one failed;
# the time of each is printed at the end.
#
# Installs first what the stages chosen need (scripts/deps.sh STAGE...).
#
#   scripts/check-all.sh [STAGE...]   stages: test bindings asan tsan fuzz
#                                     architectures packages unprivileged format
#                                     integrations rpm image releases bundled
#   VMD_FUZZ_SECONDS=N                seconds per fuzz target (default 25)
set -euo pipefail
cd "$(dirname "$0")/.."

sanitized() {  # build directory, sanitizers
  cmake -S . -B "$1" -DVMD_SANITIZE="$2" -DVMD_BUILD_BENCHMARKS=OFF -DVMD_WARNINGS_AS_ERRORS=ON -DVMD_OPTIMIZE_TESTS=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$1" -j"$(nproc)"
  ctest --test-dir "$1" --output-on-failure -j"$(nproc)"
}

if [ "${1:-}" = --stage ]; then
  case "$2" in
    test) scripts/test.sh ;;
    bindings) tests/bindings/run.sh ;;
    asan)
      export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
      export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
      sanitized build-asan address,undefined ;;
    tsan)
      export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
      sanitized build-tsan thread ;;
    fuzz) scripts/fuzz.sh "${VMD_FUZZ_SECONDS:-25}" ;;
    architectures) tests/architectures/run.sh ;;
    packages) scripts/packages.sh ;;
    unprivileged) tests/unprivileged/run.sh ;;
    format) scripts/format.sh ;;
    integrations) tests/integrations/run.sh ;;
    rpm) scripts/rpm.sh ;;
    image) tests/image/run.sh ;;
    releases) tests/releases/run.sh ;;
    bundled) tests/bundled/run.sh ;;
    *) echo "unknown stage $2" >&2; exit 2 ;;
  esac
  exit
fi

all="test bindings asan tsan fuzz architectures packages unprivileged format integrations rpm image releases bundled"
stages=("${@:-$all}")
read -r -a stages <<<"${stages[*]}"
# What the stages chosen need: every stage's for the whole run, in one apt
# call as before.
if [ "${stages[*]}" = "$all" ]; then scripts/deps.sh --all; else scripts/deps.sh "${stages[@]}"; fi
summary=()
failed=0
total_start=$SECONDS
for stage in "${stages[@]}"; do
  echo "=== stage $stage"
  start=$SECONDS
  if "$0" --stage "$stage"; then result=passed; else result=FAILED; failed=$((failed + 1)); fi
  summary+=("$(printf '%-12s %-6s %4d s' "$stage" "$result" $((SECONDS - start)))")
done
echo "=== summary"
printf '%s\n' "${summary[@]}"
echo "total $((SECONDS - total_start)) s"
echo "check-all: $((${#stages[@]} - failed)) passed, $failed failed"
((failed == 0))
