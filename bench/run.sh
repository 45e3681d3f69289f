#!/usr/bin/env bash
# `make bench`: builds what the benchmarks need in BUILD_DIR, installs the peer
# correlator when it is missing, and runs every measurement (keldbench all),
# which prints one table of medians and the ratio lines.
#
#   bench/run.sh BUILD_DIR
#
# Environment: BENCH_RUNS (default 3), BENCH_COUNT (observations per flood,
# default 1000000), BENCH_EVENTS (latency probes per run, default 1000, sent
# ten a second). The per-run lines go to standard error.
set -euo pipefail

build="${1:?usage: bench/run.sh BUILD_DIR}"
build="$(cd "$build" && pwd)"

cmake --build "$build" -j "$(nproc)" --target keld keldbench keldlimit >/dev/null

if ! command -v sec >/dev/null 2>&1; then
  echo "installing the peer correlator (Debian package sec)..." >&2
  apt-get update -qq >/dev/null && apt-get install -y -qq sec >/dev/null
fi

exec "$build/keldbench" all --bin "$build" \
  --runs "${BENCH_RUNS:-3}" --count "${BENCH_COUNT:-1000000}" --events "${BENCH_EVENTS:-1000}"
