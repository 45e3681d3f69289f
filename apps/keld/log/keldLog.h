// Log stage: the system log (this unit) and the trace socket service
// (keldTrace.h), both fed by every other stage, with one escaper and one line
// cap (keldLine.h). The log takes no lock of its own; the trace lock guards
// the trace history and its clients.
//
// Logging: every diagnostic of the daemon goes to the system log through
// LogMsg, with a local-time prefix carrying milliseconds
// ("2026-12-04T15:29:49.123Z: "). All operations may be called from any thread
// at once; none takes a lock of its own (the system log sink writes whole
// lines).
#pragma once

#include <cstdint>

#include "platform/kelLib.h"

// Formats and logs one message at LOG_INFO. The text goes out unchanged (no
// newline is added here).
void LogMsg(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Writes "Keld - Panic: " and the message to standard error, logs the prefix
// and the message as two lines, and aborts the process.
[[noreturn]] void Panic(const char *format, ...) __attribute__((format(printf, 1, 2)));

// "[thread] <time>us: [<id>] <message>\n" for one observation.
void LogObservation(Observation obs);

// The same line for a posted event: full identifier, formatted message, event
// time in microseconds.
void LogEventLine(const char *fullId, const char *message, uint64_t timeUs);

// Builds the timestamp prefix into `buf` (at least 32 bytes). Empty when the
// clock cannot be read. Exposed for tests.
void Log_FormatPrefix(char *buf, unsigned size);

// Panic helpers for impossible cases and failed small allocations; `unit` is
// the source unit name.
#define KELD_NOT_REACHED(unit) Panic("NOT_REACHED %s:%d\n", unit, __LINE__)
#define KELD_MEM_ALLOC(unit) Panic("MEM_ALLOC %s:%d\n", unit, __LINE__)
