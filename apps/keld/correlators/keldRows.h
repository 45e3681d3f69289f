// Shared helpers of the correlators' handlers: reading an observation's
// arguments, posting a stateless table row, and quoted lists. Correlator
// threads only; no state.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "correlators/keldToolkit.h"
#include "events/keldVprob.h"
#include "log/keldLog.h"
#include "platform/kelLib.h"

// Argument types for reading formats: "%p" -> Text, "%d" -> Int, "%u" -> UInt,
// "%lu"/"%lx" -> ULong, "%ld" -> Long.
typedef const char *Text;
typedef int32_t Int;
typedef uint32_t UInt;
typedef int64_t Long;
typedef uint64_t ULong;

// Reads consecutive arguments from index 0 with one Kel_GetArgs call; the
// outputs are zeroed first. Returns the accessor's status (0 on success), for
// handlers that log it.
template <typename... T>
uint32_t ReadArgsStatus(Observation obs, const char *format, T *...out) {
  ((*out = T{}), ...);
  return Kel_GetArgs(obs, 0, format, out...);
}

// As ReadArgsStatus; true on success.
template <typename... T>
bool ReadArgs(Observation obs, const char *format, T *...out) {
  return ReadArgsStatus(obs, format, out...) == 0;
}

// Reads the arguments by the observation's own message format
// (GetObservationArgs: "%s" -> Text, "%u" -> UInt, "%lu"/"%#lx" -> ULong);
// the outputs are zeroed first. True on success.
template <typename... T>
bool ReadMessageArgs(Observation obs, const char *messageFormat, T *...out) {
  ((*out = T{}), ...);
  return GetObservationArgs(obs, messageFormat, out...) == 0;
}

// A text argument for a log line or a map key: "(null)" for a null text.
inline const char *TextOrNull(Text text) { return text ? text : "(null)"; }

// One argument by its index: Kel_GetStringArg for a text, Kel_GetIntArg (low
// 32 bits) for an integer. *out is zeroed first (null, 0) and stays so on
// failure. Returns the accessor's status.
uint32_t ReadArgAt(Observation obs, uint32_t index, Text *out);
uint32_t ReadArgAt(Observation obs, uint32_t index, Int *out);
uint32_t ReadArgAt(Observation obs, uint32_t index, UInt *out);

// Compile-time checks of event templates (VPROB_TEMPLATE(full ID, message)):
// that the ID begins with the prefix of the event's kind, and that the values
// posted with it match the message's conversions in number and in size.
namespace eventcheck {

constexpr bool StartsWith(const char *text, const char *prefix) {
  for (; *prefix != '\0'; text++, prefix++) {
    if (*text != *prefix) return false;
  }
  return true;
}

constexpr size_t Length(const char *text) {
  size_t n = 0;
  while (text[n] != '\0') n++;
  return n;
}

// The marker, then the kind's prefix, then a non-empty rest of the ID closed
// by ")".
constexpr bool TemplateFitsKind(VProbKind kind, const char *eventTemplate) {
  if (!StartsWith(eventTemplate, VPROB_MARKER)) return false;
  const char *id = eventTemplate + Length(VPROB_MARKER);
  const char *prefix = VProb_KindPrefix(kind);
  if (prefix == nullptr || !StartsWith(id, prefix)) return false;
  const char *rest = id + Length(prefix);
  size_t n = 0;
  while (rest[n] != '\0' && rest[n] != ')') n++;
  return n > 0 && rest[n] == ')';
}

// What a conversion takes from the argument list: a text, a 32-bit integer
// (or anything promoted to int), a 64-bit integer, a double or a pointer.
enum ArgClass : char { kText = 's', kInt32 = 'i', kInt64 = 'l', kDouble = 'f', kPointer = 'p', kBad = '?' };

template <typename T>
constexpr ArgClass ClassOf() {
  using U = std::remove_cv_t<T>;
  if constexpr (std::is_same_v<U, const char *> || std::is_same_v<U, char *>) {
    return kText;
  } else if constexpr (std::is_pointer_v<U>) {
    return kPointer;
  } else if constexpr (std::is_enum_v<U>) {
    return sizeof(U) <= 4 ? kInt32 : kInt64;
  } else if constexpr (std::is_integral_v<U>) {
    return sizeof(U) <= 4 ? kInt32 : sizeof(U) == 8 ? kInt64 : kBad;
  } else if constexpr (std::is_floating_point_v<U>) {
    return std::is_same_v<U, long double> ? kBad : kDouble;
  } else {
    return kBad;
  }
}

// Walks the message's conversions ("%%" takes nothing, "*" takes an int) and
// compares each with the next of `classes`; true when all match and none is
// left over.
constexpr bool MessageTakes(const char *message, const ArgClass *classes, size_t count) {
  size_t next = 0;
  auto take = [&](ArgClass wanted) {
    if (next >= count) return false;
    ArgClass given = classes[next++];
    return given == wanted || (wanted == kPointer && given == kText);
  };
  for (const char *p = message; *p != '\0'; p++) {
    if (*p != '%') continue;
    p++;
    if (*p == '%') continue;
    while (*p == '-' || *p == '+' || *p == ' ' || *p == '#' || *p == '0' || *p == '\'') p++;
    if (*p == '*') {
      if (!take(kInt32)) return false;
      p++;
    }
    while (*p >= '0' && *p <= '9') p++;
    if (*p == '.') {
      p++;
      if (*p == '*') {
        if (!take(kInt32)) return false;
        p++;
      }
      while (*p >= '0' && *p <= '9') p++;
    }
    bool wide = false;
    while (*p == 'h' || *p == 'l' || *p == 'q' || *p == 'z' || *p == 'j' || *p == 't' || *p == 'L') {
      if (*p != 'h') wide = true;
      p++;
    }
    ArgClass wanted = kBad;
    switch (*p) {
      case 's': wanted = kText; break;
      case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c':
        wanted = wide ? kInt64 : kInt32;
        break;
      case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        wanted = kDouble;
        break;
      case 'p': wanted = kPointer; break;
      default: return false;
    }
    if (!take(wanted)) return false;
  }
  return next == count;
}

// The message of a template: what follows the ")" that closes the ID.
constexpr const char *TemplateMessage(const char *eventTemplate) {
  const char *p = eventTemplate;
  while (*p != '\0' && *p != ')') p++;
  return *p == ')' ? p + 1 : p;
}

template <typename... Args>
struct Values {
  static constexpr bool Fit(VProbKind kind, const char *eventTemplate) {
    constexpr ArgClass classes[sizeof...(Args) + 1] = {ClassOf<Args>()..., kBad};
    return TemplateFitsKind(kind, eventTemplate) &&
           MessageTakes(TemplateMessage(eventTemplate), classes, sizeof...(Args));
  }
};

// Never called: its type names the decayed types of a post's values.
template <typename... Args>
Values<std::decay_t<Args>...> ValuesOf(const char *eventTemplate, Args &&...values);

// A template held as data and chosen at run time among constants, checked
// where it is defined: a mismatch makes the constexpr object that holds it
// fail to compile.
template <typename... Args>
constexpr const char *Checked(VProbKind kind, const char *eventTemplate) {
  if (!Values<Args...>::Fit(kind, eventTemplate)) throw "event template does not match its kind or its values";
  return eventTemplate;
}

}  // namespace eventcheck

#define KELD_FIRST_ARG(...) KELD_FIRST_ARG_(__VA_ARGS__, 0)
#define KELD_FIRST_ARG_(first, ...) first

// VProb_Post with its template and values checked at compile time:
// VPROB_POST(deferred, kind, eventTemplate, values...). The template must be
// a constant expression.
#define VPROB_POST(deferred, kind, ...)                                                        \
  do {                                                                                         \
    static_assert(decltype(eventcheck::ValuesOf(__VA_ARGS__))::Fit(kind, KELD_FIRST_ARG(__VA_ARGS__)), \
                  "event template does not match its kind or its values");                     \
    VProb_Post(deferred, kind, __VA_ARGS__);                                                   \
  } while (0)

// One stateless row: the reading format and the event posted with the
// arguments in the order read. A row whose event ID does not begin with its
// kind's prefix does not compile (rows are constexpr).
struct EventRow {
  constexpr EventRow(const char *readFormatIn, VProbKind kindIn, const char *eventTemplateIn, uint8_t deferredIn)
      : readFormat(readFormatIn), kind(kindIn), eventTemplate(eventTemplateIn), deferred(deferredIn) {
    if (!eventcheck::TemplateFitsKind(kind, eventTemplate)) throw "event ID does not begin with its kind's prefix";
  }
  const char *readFormat;  // conversion-only format for Kel_GetArgs ("" for none)
  VProbKind kind;
  const char *eventTemplate;  // VPROB_TEMPLATE(full ID, message)
  uint8_t deferred;
};

// Reads the arguments typed Args... and posts them in order. True when it
// posted; false (nothing posted) when the read failed. For handlers that act
// on the outcome, e.g. a throttle that records only posted events.
template <const EventRow &Row, typename... Args>
bool ReadAndPostRow(Observation obs) {
  std::tuple<Args...> values{};
  if constexpr (sizeof...(Args) > 0) {
    bool ok = std::apply([&](Args &...a) { return ReadArgs(obs, Row.readFormat, &a...); }, values);
    if (!ok) return false;
  }
  static_assert(eventcheck::Values<Args...>::Fit(Row.kind, Row.eventTemplate), "values do not match the row's message");
  std::apply([](Args... a) { VProb_Post(Row.deferred, Row.kind, Row.eventTemplate, a...); }, values);
  return true;
}

// The handler of a row: reads the arguments typed Args... and posts them in
// order; posts nothing when the read fails. Use as PostRow<kRow, Text, Int>.
template <const EventRow &Row, typename... Args>
void PostRow(Observation obs) {
  ReadAndPostRow<Row, Args...>(obs);
}

// The observation's ID for handlers that need it; when it has none, logs
// "FAIL: Received NULL kelID\n" and returns null (the handler then ends).
const char *RequireId(Observation obs);

// Reads Args... by index from 0, one ReadArgAt each, up to the first
// failure. Returns its status (0 when all were read).
template <typename... Args>
uint32_t ReadArgsAt(Observation obs, std::tuple<Args...> &values) {
  uint32_t status = 0;
  uint32_t index = 0;
  std::apply([&](Args &...a) { ((status = status != 0 ? status : ReadArgAt(obs, index++, &a)), ...); },
             values);
  return status;
}

// A row whose failed read is logged. Its arguments are read with one
// Kel_GetArgs call by `event.readFormat`, or, when that is null, one by one by
// index (ReadArgsAt; the accessors differ in the status of a missing
// argument). With `idCheck` the handler first takes the ID (RequireId) and
// `failLog` is filled with (ID, status), as in "Failed to correlate %s: %d\n";
// without, `failLog` takes the status alone.
struct LoggedRow {
  EventRow event;
  const char *failLog;
  bool idCheck;
};

// The handler of a logged row: as PostRow, and a failed read is logged.
template <const LoggedRow &Row, typename... Args>
void PostLoggedRow(Observation obs) {
  const char *id = nullptr;
  if (Row.idCheck && (id = RequireId(obs)) == nullptr) return;
  std::tuple<Args...> values{};
  if constexpr (sizeof...(Args) > 0) {
    uint32_t status = 0;
    if constexpr (Row.event.readFormat == nullptr) {
      status = ReadArgsAt(obs, values);
    } else {
      status = std::apply([&](Args &...a) { return ReadArgsStatus(obs, Row.event.readFormat, &a...); }, values);
    }
    if (status != 0) {
      if constexpr (Row.idCheck) {
        LogMsg(Row.failLog, id, static_cast<int32_t>(status));
      } else {
        LogMsg(Row.failLog, static_cast<int32_t>(status));
      }
      return;
    }
  }
  static_assert(eventcheck::Values<Args...>::Fit(Row.event.kind, Row.event.eventTemplate),
                "values do not match the row's message");
  std::apply([](Args... a) { VProb_Post(Row.event.deferred, Row.event.kind, Row.event.eventTemplate, a...); },
             values);
}

// The current value of the host's integer configuration option (group,
// name). False (and 0) when it cannot be read.
bool ReadIntegerOption(const char *group, const char *name, uint64_t *value);

// Items each between double quotes, separated by ", ": "A", "B".
std::string QuoteJoin(const std::vector<std::string> &items);

// The observation's ID, or "" when it has none.
const char *ObservationId(Observation obs);
