#!/usr/bin/env bash
# keld on a simulated host: lays out a temporary root from examples/, starts
# hubdsink (playing hubd) and keld, plays every scenario of
# examples/scenarios/ with kelinject, prints each event as hubd receives it,
# then a summary, and stops everything.
#
#   examples/demo.sh BUILD_DIR     (what `make demo` runs)
#
# KELD_DEMO_KEEP=1 keeps the simulated root afterwards (its path is printed).
set -eu -o pipefail

usage() { echo "Usage: $0 BUILD_DIR   (the CMake build directory holding keld and the tools)"; }
die() { echo "demo: $*" >&2; exit 1; }

case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  "") usage >&2; exit 2 ;;
esac
[ $# -eq 1 ] || { usage >&2; exit 2; }
[ -d "$1" ] || die "no build directory $1 (run: make demo)"
build=$(cd "$1" && pwd)
examples=$(cd "$(dirname "$0")" && pwd)
for tool in keld kelinject hubdsink kelreplay; do
  [ -x "$build/$tool" ] || die "$build/$tool is missing (run: make demo)"
done

root=$(mktemp -d "${TMPDIR:-/tmp}/keld-demo-XXXXXX")
export KELD_ROOT=$root
mkdir -p "$root/etc"
cp "$examples/host.conf" "$root/etc/hostsim.conf"
events=$root/hubd.txt
: > "$events"
journal=$root/var/log/hostsim-actions.log

# The demo plays in a process group of its own (`play`, below) while this shell
# only waits for it. An interrupt then reaches a shell that is waiting and
# takes it at once; the cleanup stops the whole group together (keld and
# hubdsink stop cleanly on SIGTERM). A shell busy with command substitutions
# can lose an interrupt, or take it in one of its subshells.
play_pid=
cleanup() {
  local pid=${play_pid:-${!:-}} tries=100
  if [ -n "$pid" ]; then
    kill -TERM -- "-$pid" 2>/dev/null || true
    while kill -0 -- "-$pid" 2>/dev/null && [ "$tries" -gt 0 ]; do
      tries=$((tries - 1))
      sleep 0.05
    done
    kill -KILL -- "-$pid" 2>/dev/null || true
    wait 2>/dev/null || true
  fi
  if [ -n "${KELD_DEMO_KEEP:-}" ]; then
    echo "The simulated root is kept: $root"
  else
    rm -rf "$root"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Polls (every 0.1 s, at most $1 seconds) until the command "$2..." succeeds.
wait_for() {
  local tries=$(($1 * 10))
  shift
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# Prints the event lines that hubdsink wrote, and the host actions keld took,
# since the last call. The actions journal has whole seconds only.
shown=0
actions_shown=0
show_new() {
  local total
  if [ -f "$journal" ]; then
    total=$(wc -l < "$journal")
    if [ "$total" -gt "$actions_shown" ]; then
      sed -n "$((actions_shown + 1)),${total}p" "$journal" | while read -r seconds action; do
        echo "  $(date -d "@$seconds" +%H:%M:%S)      action   $action"
      done
      actions_shown=$total
    fi
  fi
  total=$(wc -l < "$events")
  if [ "$total" -gt "$shown" ]; then
    sed -n "$((shown + 1)),${total}p" "$events" | sed 's/^/  /'
    shown=$total
  fi
}
started() { grep -q "Started .* agents" "$root/var/log/syslog" 2>/dev/null || ! kill -0 "$keld_pid" 2>/dev/null; }
# hubdsink writes each event as a line starting with its time, then the
# event's message on an indented line of its own.
event_count() { grep -c '^[0-9]' "$events" || true; }
received() { [ "$(event_count)" -ge "$1" ]; }
count_kind() { awk -v k="$1" '/^[0-9]/ && $2 == k { n++ } END { print n + 0 }' "$events"; }

# Sleeps until 50 ms past the next whole second: keld's timers count whole
# seconds, and the scenarios keep their observations clear of those edges.
align_to_second() {
  sleep "$(awk -v ns="$(date +%N)" 'BEGIN { printf "%.3f", (1e9 - ns) / 1e9 + 0.05 }')"
}

# Starts hubdsink and keld, plays the scenarios, prints the summary and stops
# keld; runs in the background, as the leader of its own process group.
play() {
  set +m
  echo "keld demo: simulated root $root"
  echo "host model: examples/host.conf"

  "$build/hubdsink" --text >> "$events" 2> "$root/hubdsink.err" &
  hubd_pid=$!
  wait_for 5 test -S "$root/var/run/ombrel/hubd-vprob.sock" || die "hubdsink did not start: $(cat "$root/hubdsink.err")"

  "$build/keld" > "$root/keld.out" 2>&1 &
  keld_pid=$!
  wait_for 10 started || true
  kill -0 "$keld_pid" 2>/dev/null || die "keld did not start: $(tail -n 3 "$root/var/log/syslog" "$root/keld.out" 2>/dev/null)"
  echo "keld is running (pid $keld_pid); hubdsink plays hubd."
  echo "Each event as hubd receives it: local time, kind, event ID, arguments (separated"
  echo "by |), and below it the event's message; host actions that keld took are"
  echo "marked \"action\"."

  observations=0
  scenarios=0
  goal=0
  for scenario in "$examples"/scenarios/*.obs; do
    name=$(basename "$scenario" .obs)
    title=$(sed -n '1{s/^# *//;s/\.$//;p}' "$scenario")
    options=$(sed -n 's/^# kelinject options: *//p' "$scenario" | head -n 1)
    sent=$(grep -cE '^[[:space:]]*\+' "$scenario" || true)
    # kelreplay says how many events the scenario leads to, so the demo knows
    # when keld is done with it.
    expected=$("$build/kelreplay" --json --host-model "$examples/host.conf" "$scenario" 2>/dev/null |
               grep -c '"kind"' || true)
    echo
    echo "--- $name: $title ($sent observations)"
    align_to_second
    # shellcheck disable=SC2086  # the options are words
    "$build/kelinject" $options --file "$scenario" &
    inject_pid=$!
    while kill -0 "$inject_pid" 2>/dev/null; do
      show_new
      sleep 0.1
    done
    wait "$inject_pid" || die "kelinject failed on $scenario"
    inject_pid=
    # The last decisions fall due up to a few seconds after the last observation.
    goal=$((goal + expected))
    wait_for 8 received "$goal" || true
    show_new
    observations=$((observations + sent))
    scenarios=$((scenarios + 1))
  done

  total=$(event_count)
  echo
  echo "=== Summary"
  echo "observations sent   $observations ($scenarios scenarios)"
  echo "events received     $total: $(count_kind problem) problem, $(count_kind audit) audit, $(count_kind clear) clear"
  actions=$( [ -f "$journal" ] && wc -l < "$journal" || echo 0)
  echo "host actions        $actions (R/var/log/hostsim-actions.log)"
  if [ "$actions" -gt 0 ]; then
    while read -r seconds action; do
      echo "  $(date -d "@$seconds" +%H:%M:%S)  $action"
    done < "$journal"
  fi

  kill -TERM "$keld_pid"
  status=0
  wait "$keld_pid" || status=$?
  kill -TERM "$hubd_pid"
  wait "$hubd_pid" || true
  echo "keld stopped (exit status $status); $(grep -c '' "$root/var/log/syslog") lines in R/var/log/syslog"
  [ "$status" -eq 0 ] || die "keld exited with status $status"
}

set -m
play < /dev/null &
play_pid=$!
set +m
status=0
wait "$play_pid" || status=$?
exit "$status"
