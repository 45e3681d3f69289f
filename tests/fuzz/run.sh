#!/usr/bin/env bash
# Long fuzz runs: every target in BUILD (configured with KELD_FUZZ) for
# SECONDS each, as many at once as there are cores, on a working corpus in the
# build directory seeded from the repository. Prints the executions of each
# target; exits non-zero when any target found a crash (its input is kept
# under BUILD/tests/fuzz/artifacts).
set -uo pipefail
build=${1:?usage: run.sh BUILD [SECONDS]}
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
jobs=$(nproc)
logs=$build/tests/fuzz/logs
mkdir -p "$logs" "$build/tests/fuzz/artifacts"

targets=()
for src in "$here"/fuzz_*.cpp; do targets+=("$(basename "$src" .cpp)"); done

run_one() {
  local t=$1
  mkdir -p "$build/tests/fuzz/corpus/$t"
  "$build/tests/fuzz/$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$build/tests/fuzz/artifacts/$t-" \
    "$build/tests/fuzz/corpus/$t" "$here/corpus/$t" >"$logs/$t.log" 2>&1
}

failed=0
pids=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=($!)
  if (( ${#pids[@]} >= jobs )); then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
done
for p in "${pids[@]}"; do wait "$p" || failed=1; done

printf '%-24s %14s %10s  %s\n' target executions exec/s result
for t in "${targets[@]}"; do
  log=$logs/$t.log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  result=ok
  grep -q '^==[0-9]*==ERROR\|^SUMMARY: \|deadly signal\|Test unit written' "$log" && result="CRASH (see $log)"
  printf '%-24s %14s %10s  %s\n' "$t" "${execs:-?}" "${rate:-?}" "$result"
done
exit $failed
