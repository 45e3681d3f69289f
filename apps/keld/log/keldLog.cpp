#include "log/keldLog.h"

#include <syslog.h>

#include <charconv>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "log/keldLine.h"
#include "platform/clock.h"
#include "platform/sysLog.h"
#include "platform/vthreadBase.h"

namespace {

void VLogWithPrefix(const char *format, va_list args) __attribute__((format(printf, 1, 0)));

void VLogWithPrefix(const char *format, va_list args) {
  char prefix[32];
  Log_FormatPrefix(prefix, sizeof prefix);
  // Join prefix and format so that the caller's conversions keep their places;
  // the prefix holds no '%'. A small stack buffer covers nearly every format.
  size_t plen = strlen(prefix);
  size_t flen = strlen(format);
  char stackFmt[512];
  char *joined = stackFmt;
  if (plen + flen + 1 > sizeof stackFmt) {
    joined = static_cast<char *>(malloc(plen + flen + 1));
  }
  if (joined == nullptr) {
    SysLog_VLog(LOG_INFO, format, args);
    return;
  }
  memcpy(joined, prefix, plen);
  memcpy(joined + plen, format, flen + 1);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  SysLog_VLog(LOG_INFO, joined, args);
#pragma GCC diagnostic pop
  if (joined != stackFmt) free(joined);
}

}  // namespace

void Log_FormatPrefix(char *buf, unsigned size) {
  if (size == 0) return;
  buf[0] = '\0';
  struct timespec now = Clock_Realtime();
  // The broken-down local time changes only with the second, so each thread
  // keeps the text of its last second: localtime_r() and strftime() (which
  // take the time zone lock) run once a second per thread, not once a line.
  thread_local time_t cachedSecond = -1;
  thread_local char cachedText[32];
  thread_local size_t cachedLength = 0;
  if (now.tv_sec != cachedSecond) {
    time_t secs = now.tv_sec;
    struct tm local {};
    if (localtime_r(&secs, &local) == nullptr) return;
    cachedLength = strftime(cachedText, sizeof cachedText, "%Y-%m-%dT%H:%M:%SZ: ", &local);
    cachedSecond = cachedLength > 0 ? now.tv_sec : -1;
  }
  size_t n = cachedLength < size ? cachedLength : 0;
  memcpy(buf, cachedText, n);
  buf[n] = '\0';
  if (n >= 3) {
    // The milliseconds replace the cached "Z: ": ".mmmZ: ", cut to the buffer.
    int ms = static_cast<int>(now.tv_nsec / 1000000);
    if (ms < 0 || ms > 999) {
      snprintf(buf + n - 3, size - (n - 3), ".%03dZ: ", ms);
      return;
    }
    const char tail[] = {'.', static_cast<char>('0' + ms / 100), static_cast<char>('0' + ms / 10 % 10),
                         static_cast<char>('0' + ms % 10), 'Z', ':', ' '};
    size_t room = size - (n - 3) - 1;
    size_t k = room < sizeof tail ? room : sizeof tail;
    memcpy(buf + n - 3, tail, k);
    buf[n - 3 + k] = '\0';
  }
}

void LogMsg(const char *format, ...) {
  va_list args;
  va_start(args, format);
  VLogWithPrefix(format, args);
  va_end(args);
}

void Panic(const char *format, ...) {
  // The panic's own lines are written at once (held, they could need memory
  // that is not there), after what this thread held; then what every other
  // thread holds goes out before the abort.
  SysLog_EndBatch();
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  fputs("Keld - Panic: ", stderr);
  vfprintf(stderr, format, args);
  fflush(stderr);
  LogMsg("%s", "Keld - Panic: ");
  VLogWithPrefix(format, copy);
  va_end(copy);
  va_end(args);
  SysLog_FlushAll();
  abort();
}

namespace {

// "<prefix>[thread] <time>us: [<id>] <message>\n", ID and message escaped,
// cut at the line cap. Built directly, without a format pass, in the
// thread's own buffer. Out of memory, the line is lost and the caller goes
// on.
void WriteRecordLine(const char *id, uint64_t timeUs, const char *message, size_t messageLength,
                     bool messageCut) {
  thread_local std::string line;
  try {
    // The head up to the ID is put together here and added in one piece;
    // a thread name too long for it goes in through the builder.
    char head[160];
    Log_FormatPrefix(head, 32);
    size_t n = strlen(head);
    head[n++] = '[';
    const char *thread = VThreadBase_CurName();
    size_t threadLength = strlen(thread);
    LineBuilder b(line, LINE_LOG_MARKER);
    // `head` is a counted buffer, never a C string: no terminator is due.
    // NOLINTBEGIN(bugprone-not-null-terminated-result)
    if (threadLength <= 64) {
      memcpy(head + n, thread, threadLength);
      n += threadLength;
    } else {
      b.Raw(head, n);
      b.Raw(thread, threadLength);
      n = 0;
    }
    memcpy(head + n, "] ", 2);
    n += 2;
    n = static_cast<size_t>(std::to_chars(head + n, head + n + 24, static_cast<unsigned long>(timeUs)).ptr - head);
    memcpy(head + n, "us: [", 5);
    n += 5;
    // NOLINTEND(bugprone-not-null-terminated-result)
    b.Raw(head, n);
    b.Escaped(id ? id : "(null)");
    b.Raw("] ");
    if (message) {
      b.Escaped(message, messageLength);
      if (messageCut) b.MarkTruncated();
    } else {
      b.Raw("(null)");
    }
    b.Finish();
    SysLog_Write(LOG_INFO, line.data(), line.size());
  } catch (const std::bad_alloc &) {
  }
  Line_Trim(line);
}

}  // namespace

void LogObservation(Observation obs) {
  const char *id = nullptr;
  uint64_t ts = 0;
  char *msg = nullptr;
  size_t length = 0;
  bool cut = false;
  Kel_GetID(obs, &id);
  Kel_GetTimestamp(obs, &ts);
  // No more of the message is rendered than a line can hold.
  Kel_GetMsgBounded(obs, kLineCap, &msg, &length, &cut);
  WriteRecordLine(id, ts, msg, length, cut);
  free(msg);
}

void LogEventLine(const char *fullId, const char *message, uint64_t timeUs) {
  WriteRecordLine(fullId, timeUs, message, message ? strlen(message) : 0, false);
}
