// String helpers around the C formatting functions. No state.
#include "platform/str.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

char *Str_Vasprintf(size_t *length, const char *format, va_list args) {
  if (!format) return nullptr;
  va_list measure;
  va_copy(measure, args);
  int needed = vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (needed < 0) return nullptr;
  char *text = static_cast<char *>(malloc(static_cast<size_t>(needed) + 1));
  if (!text) return nullptr;
  va_list render;
  va_copy(render, args);
  vsnprintf(text, static_cast<size_t>(needed) + 1, format, render);
  va_end(render);
  if (length) *length = static_cast<size_t>(needed);
  return text;
}

char *Str_Asprintf(size_t *length, const char *format, ...) {
  va_list args;
  va_start(args, format);
  char *text = Str_Vasprintf(length, format, args);
  va_end(args);
  return text;
}

int Str_Sprintf(char *buf, size_t size, const char *format, ...) {
  if (!buf || size == 0) return -1;
  va_list args;
  va_start(args, format);
  int written = vsnprintf(buf, size, format, args);
  va_end(args);
  if (written < 0) {
    buf[0] = '\0';
    return -1;
  }
  return static_cast<size_t>(written) >= size ? -1 : written;
}

char *Str_Strcpy(char *dst, const char *src, size_t size) {
  if (!dst || size == 0) return dst;
  size_t n = src ? strnlen(src, size - 1) : 0;
  if (n) memcpy(dst, src, n);
  dst[n] = '\0';
  return dst;
}
