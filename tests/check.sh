# shellcheck shell=bash
# Sourced by the stages that run many named checks (tests/integrations,
# tests/image): each check runs on whatever failed before it, and the
# stage fails at the end if any did.
#
#   check DESCRIPTION COMMAND...    runs COMMAND, prints ok or FAIL
#   checks_done NAME                prints the count; fails if any failed
passed=0
failed=0
check() {
  local what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "ok   $what"
  else
    failed=$((failed + 1))
    echo "FAIL $what"
  fi
}
checks_done() {
  echo "$1: $passed passed, $failed failed"
  ((failed == 0))
}
