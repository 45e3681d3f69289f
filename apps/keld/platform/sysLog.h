// The system log sink. With $KELD_ROOT set, every call appends one line to
// R/var/log/syslog (a newline is added where the text has none), written with
// one write() so that lines from different threads never interleave; without
// it, vsyslog() is called. Thread-safe.
#pragma once

#include <cstdarg>

void SysLog_VLog(int priority, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
