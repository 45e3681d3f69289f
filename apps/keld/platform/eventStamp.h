// The kernel's event-stamp system call (number 1216): stamps an event record
// with the event time. Thread-safe.
#pragma once

#include <cstdint>

enum : int32_t { EVENT_STAMP_SYSCALL = 1216 };

// `record` points to an event record of at least 16 writable bytes. On
// success the call stores the time in microseconds since the epoch at offset 0
// (unsigned 64-bit, little-endian) and returns 0; offset 8, the kernel's second
// stamp word, is left as it is (zero in a freshly built record). On failure it
// returns a negative errno value (system call convention) and leaves the
// record unchanged.
int32_t EventStamp_Call(void *record);
