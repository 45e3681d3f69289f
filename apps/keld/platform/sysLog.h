// The system log sink. With $KELD_ROOT set, every call appends one line to
// R/var/log/syslog (a newline is added where the text has none), written with
// one write() so that lines from different threads never interleave; without
// it, vsyslog() is called. Thread-safe.
//
// The open log file is cached together with the path it was opened for and
// reopened when $KELD_ROOT changes; a file removed while the root stays the
// same is not recreated (lines go to the removed file).
#pragma once

#include <cstdarg>

void SysLog_VLog(int priority, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
void SysLog_Log(int priority, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
