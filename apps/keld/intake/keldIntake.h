// Intake stage: the main thread reads observations from the kernel contexts
// and the user connections and hands each whole record to the fan-out streams
// (keldStream.h), one pipe per agent, which pass it to the agents stage. The
// main thread alone owns the poll tables and the read buffer; the stream lock
// guards the stream registry and its pending bytes (see keldStream.h). The
// stop flag (keldShutdown.h) and the one-keld-per-root lock (keldInstance.h)
// belong to this stage too.
//
// Start-up, the intake loop and shutdown: the work of the main thread.
#pragma once

#include <poll.h>

#include <cstdint>

#include "platform/kelLib.h"

enum : int {
  INTAKE_FIXED_ENTRIES = 26,  // 24 kernel contexts, user listener, trace listener
  INTAKE_MAX_ENTRIES = 34,    // plus at most 8 user connections
  INTAKE_USER_ENTRY = 24,
  INTAKE_TRACE_ENTRY = 25,
};
enum : uint32_t { INTAKE_INITIAL_BUFFER = 8192, INTAKE_MAX_BUFFER = 131072 };
// Intake_ReadAndDispatch: the read brought no records, or 131072 bytes or
// more; only that read is lost.
enum : int32_t { INTAKE_READ_DISCARDED = -1 };

// The daemon: parses options, starts everything, runs the intake loop until a
// termination signal or a fatal error, shuts down. Returns the exit status.
int Keld_Main(int argc, char **argv);
// The same daemon with the extra agents added by Agent_AddExtra (keldx adds
// the logger agent and the test correlator) started after the registry's
// correlators; for self-tests only.
int Keld_MainWithExtras(int argc, char **argv);

// Reads the records waiting on `fd` into the intake buffer (growing it as
// needed) and publishes them. 0, the fan-out's status, INTAKE_READ_DISCARDED,
// KELLIB_STATUS_TOO_BIG when the buffer cannot grow enough, or another status
// of KelLib_ReadFromFd. Main thread.
int32_t Intake_ReadAndDispatch(int fd, KelLib_Handle handle);
// Closes the user connection at table[*index] and compacts the table (the
// last live entry moves into its place and *index steps back so the walk
// examines it). 0, or the negative status of the close (nothing changed).
int32_t UserCnx_Close(struct pollfd *table, int *index, int *count);
// The current intake buffer size (tests).
uint32_t Intake_BufferSize(void);
