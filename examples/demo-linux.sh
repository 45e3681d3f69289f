#!/usr/bin/env bash
# keld watching real Linux links: builds a network namespace with a bridge br0
# and two veth ports (uplink0, uplink1) whose far ends sit in a second
# namespace playing the physical switch, runs kelwatch there and keld with
# hubdsink in a temporary root, takes the ports' carrier down and up, makes
# one port flap, and prints the events hubd receives and the port that keld
# took down for real. Needs root and network namespaces; touches nothing
# outside the two namespaces and the temporary root, which are removed at
# the end.
#
#   examples/demo-linux.sh BUILD_DIR     (what `make demo-linux` runs)
set -eu -o pipefail

usage() { echo "Usage: $0 BUILD_DIR   (the CMake build directory holding keld, kelwatch and hubdsink)"; }
die() { echo "demo-linux: $*" >&2; exit 1; }

case "${1:-}" in
  -h|--help) usage; exit 0 ;;
  "") usage >&2; exit 2 ;;
esac
build=$(cd "$1" && pwd)
for tool in keld kelwatch hubdsink; do
  [ -x "$build/$tool" ] || die "$build/$tool is missing (run: make demo-linux)"
done
[ "$(id -u)" -eq 0 ] || die "needs root to create network namespaces, a bridge and veth pairs (try: sudo make demo-linux)"
command -v ip >/dev/null || die "the ip command (iproute2) is missing"

ns=keld-demo-$$
sw=keld-demo-$$-sw
ip netns add "$ns" 2>/dev/null || die "cannot create a network namespace on this machine"
root=$(mktemp -d "${TMPDIR:-/tmp}/keld-demo-linux-XXXXXX")
export KELD_ROOT=$root
pids=()
cleanup() {
  for pid in ${pids[@]+"${pids[@]}"}; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  ip netns del "$ns" 2>/dev/null || true
  ip netns del "$sw" 2>/dev/null || true
  if [ -n "${KELD_DEMO_KEEP:-}" ]; then echo "The root is kept: $root"; else rm -rf "$root"; fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

ip netns add "$sw"
ip -n "$ns" link add br0 type bridge 2>/dev/null || die "cannot create a Linux bridge on this machine"
ip -n "$ns" link set br0 up
for i in 0 1; do
  ip -n "$ns" link add "uplink$i" type veth peer name "port$i" netns "$sw" 2>/dev/null ||
    die "cannot create veth pairs on this machine"
  ip -n "$ns" link set "uplink$i" master br0 up
  ip -n "$sw" link set "port$i" up
done

mkdir -p "$root/etc/keld"
cat > "$root/etc/keld/kelwatch.conf" <<CONF
allow nic.down uplink*
kernel-log off
auth-log off
clock-poll 0
CONF
ip netns exec "$ns" "$build/kelwatch" 2> "$root/kelwatch.log" &
pids+=($!)
for _ in $(seq 50); do grep -q "host model written" "$root/kelwatch.log" 2>/dev/null && break; sleep 0.1; done
grep -q "host model written" "$root/kelwatch.log" || die "kelwatch did not start: $(cat "$root/kelwatch.log")"
"$build/hubdsink" --text > "$root/hubd.txt" &
pids+=($!)
for _ in $(seq 50); do [ -S "$root/var/run/ombrel/hubd-vprob.sock" ] && break; sleep 0.1; done
"$build/keld" &
pids+=($!)
for _ in $(seq 50); do grep -q "Started " "$root/var/log/syslog" 2>/dev/null && break; sleep 0.1; done
# tail ends with this script (--pid), the sed with the tail.
tail -n +1 -f --pid=$$ "$root/hubd.txt" | sed -u 's/^/  /' &
pids+=($!)

echo "=== namespace $ns: bridge br0 with ports uplink0 and uplink1 (host model: portgroup \"br0\" br0)"
step() { echo "--- $1"; }
far() { ip -n "$sw" link set "port$1" "$2"; }
step "uplink0 loses carrier: redundancy lost for br0"
far 0 down; sleep 3
step "uplink1 loses carrier too: connectivity lost"
far 1 down; sleep 3
step "uplink1 is back: connectivity restored"
far 1 up; sleep 3
step "uplink0 is back: redundancy restored"
far 0 up; sleep 3
step "uplink1 flaps: four carrier losses within the minute (keld allows 3)"
for _ in 1 2 3 4; do far 1 down; sleep 0.3; far 1 up; sleep 0.3; done
sleep 3

echo "=== What kelwatch did on keld's behalf"
grep "action " "$root/kelwatch.log" | sed 's/^/  /' || echo "  (nothing)"
echo "=== The ports now"
for i in 0 1; do
  state=$(ip -n "$ns" -o link show "uplink$i" | sed 's/.*<\([^>]*\)>.*/\1/')
  case ",$state," in
    *,UP,*) echo "  uplink$i  administratively up   <$state>" ;;
    *) echo "  uplink$i  administratively DOWN <$state>" ;;
  esac
done
echo "=== $(wc -l < "$root/hubd.txt") events received by hubd"
