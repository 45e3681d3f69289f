// The system log sink. With $KELD_ROOT set, every call appends one line to
// R/var/log/syslog (a newline is added where the text has none); every
// write() carries whole lines only, so that lines from different threads
// never interleave (outside a batch, each line is one write() of its own).
// Without it, vsyslog() is called. Thread-safe.
//
// Each call is one message and makes one line, as a system log daemon does:
// a final newline ends it and every other control character (below 0x20,
// and 0x7f) is written as '#' and three octal digits ("#012" for a newline).
//
// The open log file is cached together with the path it was opened for and
// reopened when $KELD_ROOT changes, and within 100 ms of being renamed or
// removed (log rotation). A log that cannot be opened (a directory in its
// place) is reported once on stderr; its lines are lost and callers go on.
//
// Batches: between SysLog_BeginBatch and SysLog_EndBatch the calling
// thread's lines are held and written together (whole lines only, at the
// end, once 32 KiB are held, or when the thread ends), so that a busy thread
// makes one write per batch rather than one per line. A thread that is about
// to wait, or to call something that can block, ends its batch first, so that
// no line waits on an idle or blocked thread.
#pragma once

#include <cstdarg>
#include <cstddef>

void SysLog_VLog(int priority, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
void SysLog_Log(int priority, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// One line already formatted: `length` bytes of `text` (no terminating NUL
// needed), taken as they are; a newline is added where the text has none.
void SysLog_Write(int priority, const char *text, size_t length);

// The calling thread's lines are held from now on (a batch already open stays
// open).
void SysLog_BeginBatch(void);
// Writes the calling thread's held lines and ends its batch. Cheap when
// nothing is held.
void SysLog_EndBatch(void);
// Writes the lines that every thread holds, batches staying open: for a
// process about to end at once (a panic). Any thread.
void SysLog_FlushAll(void);
