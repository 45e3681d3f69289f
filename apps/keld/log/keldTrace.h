// Trace socket service: every observation read ("IN") and every event
// composed ("OUT") becomes one comma-separated line, kept in a 128 KiB
// history and copied to every connected client. IDs and string arguments are
// escaped and every line is cut at the line cap (keldLine.h); an ID holding a
// comma, a double quote or an escape is quoted as a string argument is.
//
// Locking: one trace lock guards the history, its byte count, the client
// table, every client record and the service's stopping flag; one condition
// variable is broadcast on every publication while a client is connected, on
// every client close and when the service closes. The lock is never held
// while writing to a socket or waiting for a thread. It may be taken inside
// the stream lock, never the other way round.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/msgFmt.h"

// Opens the listening socket at `path` (null: R/var/run/ombrel/keld-trace.sock),
// removing a stale file first. The descriptor, or a negative value with errno
// set. Main thread.
int TraceListen(const char *path);
// Closes the service that TraceListen opened: closes `listenFd` (nothing
// when negative) and ends every connected client once the lines it was
// given are written. The socket file stays, as after any stop. Lines
// published later still enter the history. Main thread, at shutdown.
void TraceClose(int listenFd);
// Accepts one client on the listening descriptor and starts its threads.
// 0, or the errno of the failed accept() (the caller reports it: a listener
// out of descriptors fails on every call, and is best paused). Main thread.
int TraceAccept(int listenFd);
// Publishes an "IN" line for one observation record (validated, whole).
// Called by the intake under the stream lock.
void TraceObservation(const uint8_t *record);
// Publishes an "OUT" line for one composed event record (arguments captured
// and swizzled). Any thread.
void TraceEvent(const uint8_t *record);
// Builds and publishes one line. `args` is a swizzled block of `numArgs`
// records whose bytes end at `end`.
void TracePublish(const char *direction, uint64_t recordTime, const char *id,
                  const MsgFmt_Arg *args, uint32_t numArgs, const uint8_t *end);

// Builds the line without publishing it, in time linear in the record and
// the line cap. False (line unspecified) when the argument records or a
// string argument do not lie inside the block. `args` may be unaligned.
// Exposed for tests and fuzzing.
bool Trace_BuildLine(std::string &line, const struct timespec &now, const char *direction,
                     uint64_t recordTime, const char *id, const MsgFmt_Arg *args,
                     uint32_t numArgs, const uint8_t *end);
