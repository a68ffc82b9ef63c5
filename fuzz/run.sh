#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz, build-fuzz/) and runs each one for a bounded time.
#
#   fuzz/run.sh                      # every target, 30 s each
#   fuzz/run.sh 3600 nic_macs        # one target for an hour
#
# The seeds in fuzz/corpus/ are only read; what a run finds goes to build-fuzz/fuzz-runs/
# (corpus/<target>/, artifacts/<target>/, logs/<target>.log), and summary.txt lists the
# executions per target and the coverage it reached (libFuzzer's final cov: figure; docs/testing.md
# records what CI's 30 s runs reach). The exit status is 1 when a target found a crash, a leak
# or a hang.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(hob_walk smbios_slot_walks nic_macs setup_variable_slots setup_variable_menus
           slot_codes_slots slot_codes_menus board_file pe_reader)
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

runs=build-fuzz/fuzz-runs
mkdir -p "$runs/logs"
summary="$runs/summary.txt"
printf '%-22s %12s %8s %10s %6s  %s\n' target executions seconds 'exec/s' cov result > "$summary"
failed=0
for target in "${targets[@]}"; do
  seeds=fuzz/corpus/${target%_slots}
  seeds=${seeds%_menus}
  max_len=4096
  # A stack-bus HOB alone is 20 KiB, and a HOB may be 64 KiB.
  [ "$target" = hob_walk ] && max_len=65536
  # A board file written whole by --print-board is 2 to 5 KiB.
  [ "$target" = board_file ] && max_len=16384
  # The shipped images are 5 to 6 KiB, lld-link's with 4 KiB file alignment 16 KiB.
  [ "$target" = pe_reader ] && max_len=16384
  mkdir -p "$runs/corpus/$target" "$runs/artifacts/$target"
  log="$runs/logs/$target.log"
  status=0
  "build-fuzz/fuzz/$target" -max_total_time="$seconds" -max_len="$max_len" -timeout=10 \
      -print_final_stats=1 -artifact_prefix="$runs/artifacts/$target/" \
      "$runs/corpus/$target" "$seeds" > "$log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  elapsed=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  coverage=$(sed -n 's/.*DONE *cov: \([0-9]*\).*/\1/p' "$log" | tail -1)
  result=ok
  if [ "$status" -ne 0 ]; then
    result="FAILED (see $log; input in $runs/artifacts/$target/)"
    failed=1
    tail -n 40 "$log" >&2
  fi
  rate=$(( ${executions:-0} / ${elapsed:-1} ))
  [ "${elapsed:-0}" -eq 0 ] && rate=${executions:-0}
  printf '%-22s %12s %8s %10s %6s  %s\n' "$target" "${executions:-0}" "${elapsed:-?}" "$rate" \
      "${coverage:-?}" "$result" >> "$summary"
done
cat "$summary"
exit "$failed"
