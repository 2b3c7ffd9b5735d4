#!/usr/bin/env bash
# Runs a GoogleTest program that picks its tests by name (--gtest_filter)
# and fails unless at least one test ran and passed: GoogleTest passes a
# filter that matches nothing, so a renamed test would pass unrun.
#   tests/must-run-a-test.sh command [args...]
set -uo pipefail
[ $# -gt 0 ] || { echo "usage: must-run-a-test.sh command [args...]" >&2; exit 2; }
# the output goes on as it comes, and a copy is kept for the count
log=$(mktemp "${TMPDIR:-/tmp}/must-run-a-test.XXXXXX")
trap 'rm -f -- "$log"' EXIT
"$@" 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
[ "$status" -eq 0 ] || exit "$status"
if ! grep -Eq '^\[  PASSED  \] [1-9][0-9]* tests?\.$' "$log"; then
  echo "must-run-a-test.sh: no test ran and passed (a filter that names no test, or a skipped test, runs nothing)" >&2
  exit 1
fi
