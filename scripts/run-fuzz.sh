#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a set time each, with its dictionary
# fuzz/<target>.dict when there is one (usage: run-fuzz.sh BUILD_DIR SECONDS [TARGET...]).
# Seeds come from fuzz/corpus/<target> (never written); what a run learns is kept in
# BUILD_DIR/corpus/<target> for the next run, and a crashing input lands in
# BUILD_DIR/artifacts/<target>/. Fails when any target fails.
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1
seconds=$2
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for bin in "$build"/fuzz_*; do [ -x "$bin" ] && targets+=("${bin##*/fuzz_}"); done
fi

failed=()
summary=()
for t in "${targets[@]}"; do
  work="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$work" "$artifacts" "$build/logs" "fuzz/corpus/$t"
  log="$build/logs/$t.log"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  echo "fuzzing $t for ${seconds} s"
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz_$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=70000 \
      -print_final_stats=1 "${dict[@]}" -artifact_prefix="$artifacts/" "$work" "fuzz/corpus/$t" >"$log" 2>&1
  status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  secs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  if [ $status -ne 0 ]; then
    failed+=("$t")
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -20
  fi
  summary+=("$(printf '%-12s %10s runs %8s exec/s  %s' "$t" "${runs:-?}" "${secs:-?}" \
    "$([ $status -eq 0 ] && echo ok || echo "FAILED (see $log)")")")
done
printf '%s\n' "${summary[@]}"
[ ${#failed[@]} -eq 0 ]
