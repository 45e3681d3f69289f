// Platform string helpers.
#pragma once

#include <cstdarg>
#include <cstddef>

// Formats into a new malloc'd string; null on failure. *length (may be null)
// receives the length.
char *Str_Asprintf(size_t *length, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
char *Str_Vasprintf(size_t *length, const char *format, va_list args)
    __attribute__((format(printf, 2, 0)));
// snprintf that always NUL-terminates; returns the length written, or -1 when
// the text was truncated.
int Str_Sprintf(char *buf, size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// Bounded copy that always NUL-terminates; truncates silently.
char *Str_Strcpy(char *dst, const char *src, size_t size);
