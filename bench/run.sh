#!/usr/bin/env bash
# `make bench`: builds what the benchmarks need in BUILD_DIR and runs every
# measurement (keldbench all), which prints one table of medians and the ratio
# lines. The peer correlator is never installed from here: when it is missing
# its rows are skipped with a line saying so (README says what to install).
#
#   bench/run.sh BUILD_DIR
#
# Environment: BENCH_RUNS (default 3), BENCH_COUNT (observations per flood,
# default 1000000), BENCH_EVENTS (latency probes per run, default 1000, sent
# ten a second), BENCH_REPLAY_BASELINE (another build's kelreplay, measured
# on the same scenario for the ratio line). The per-run lines go to
# standard error.
set -euo pipefail

build="${1:?usage: bench/run.sh BUILD_DIR}"
build="$(cd "$build" && pwd)"

source="$(cd "$(dirname "$0")/.." && pwd)"

cmake --build "$build" -j "$(nproc)" --target keld keldbench keldlimit kelreplay >/dev/null

baseline=()
if [ -n "${BENCH_REPLAY_BASELINE:-}" ]; then baseline=(--baseline "$BENCH_REPLAY_BASELINE"); fi
exec "$build/keldbench" all --bin "$build" --examples "$source/examples" "${baseline[@]}" \
  --runs "${BENCH_RUNS:-3}" --count "${BENCH_COUNT:-1000000}" --events "${BENCH_EVENTS:-1000}"
