#!/bin/sh
# Writes a kelreplay load scenario of N observation lines (default 100000) to
# standard output, 1 ms apart: per ten lines four application crashes (over
# 50 names), two DHCP lease offers without expiry, two ramdisk-full
# complaints and two link losses (over 8 NICs).
#   examples/gen-replay-load.sh 1000000 > /tmp/load.obs
#   kelreplay --quiet --host-model examples/host.conf /tmp/load.obs
set -eu
count=${1:-100000}
case $count in
  ''|*[!0-9]*) echo "usage: $0 [LINES]" >&2; exit 2 ;;
esac
awk -v count="$count" 'BEGIN {
  crash = 0; lease = 0; full = 0; link = 0
  for (i = 0; i < count; i++) {
    slot = i % 10
    if (slot < 4) {
      app = "app" (crash++ % 50)
      printf "+0.001 kel.uw.core.dumped \"%%s %%d %%s\" s:%s i:11 s:/var/core/%s.core\n", app, app
    } else if (slot < 6) {
      printf "+0.001 kel.user.dhclient.lease.offered.noexpiry \"%%s\" s:10.0.0.%d\n", lease++ % 8
    } else if (slot < 8) {
      printf "+0.001 kel.lumfs.ramdisk.full \"%%s %%s\" s:/var/log/file%d.log s:root\n", full++ % 10
    } else {
      printf "+0.001 kel.net.hynic.linkstate.down \"Physical NIC %%s is down\" s:hynic%d\n", link++ % 8
    }
  }
}'
