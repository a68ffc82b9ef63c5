#!/usr/bin/env bash
# Runs two copies of a test program at once, a few times over: tests that write files must each
# use a folder of their own, so neither copy may fail because of the other.
# Usage: side-by-side.sh TEST-PROGRAM [ROUNDS]
set -uo pipefail
program=$1
rounds=${2:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for round in $(seq "$rounds"); do
  "$program" >"$work/first.log" 2>&1 &
  first=$!
  "$program" >"$work/second.log" 2>&1 &
  second=$!
  failed=0
  wait "$first" || failed=1
  wait "$second" || failed=1
  if [ "$failed" -ne 0 ]; then
    echo "round $round: a copy failed while the other ran"
    grep -h -E '^\[  FAILED  \]|Failure|error' "$work/first.log" "$work/second.log" | sort -u | head -40
    exit 1
  fi
done
echo "$rounds rounds of two copies of $(basename "$program") side by side: no failure"
