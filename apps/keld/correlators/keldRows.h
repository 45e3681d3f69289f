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

// How arguments are read: by a conversion-only format (the default: a plain
// format text converts to it), by the observation's own message format, or one
// by one by index. The three differ in the status a missing argument gives,
// which failure lines print:
//  - Conversions(format): one Kel_GetArgs call from argument 0; a missing or
//    mistyped argument is EINVAL.
//  - Message(format): GetObservationArgs, which first reduces the message
//    format to conversions (KELD_ERR_INVALID, i.e. EINVAL, when it cannot),
//    then reads as Conversions does.
//  - Index(first): one accessor call per output from argument `first` on,
//    stopping at the first failure: Kel_GetStringArg for a Text (EOVERFLOW,
//    75, when the argument is missing; EINVAL when it is not a string),
//    Kel_GetIntArg for an integer (EINVAL when missing or not an integer; the
//    output takes the value's low bytes).
struct ReadBy {
  enum Method : uint8_t { kConversions, kMessage, kIndex };
  constexpr ReadBy(const char *conversions) : method(kConversions), format(conversions), first(0) {}  // NOLINT
  static constexpr ReadBy Message(const char *messageFormat) { return {kMessage, messageFormat, 0}; }
  static constexpr ReadBy Index(uint32_t firstIndex = 0) { return {kIndex, nullptr, firstIndex}; }

  Method method;
  const char *format;  // the conversion or message format; null when by index
  uint32_t first;      // by index: the first argument's index

 private:
  constexpr ReadBy(Method m, const char *f, uint32_t i) : method(m), format(f), first(i) {}
};

// What a read gave: the accessor's status, 0 on success; true on success.
struct ReadStatus {
  uint32_t status;
  explicit operator bool() const { return status == 0; }
};

// The one argument reader: fills `out...` (zeroed first: null texts, 0) as
// `by` says. On failure the outputs read before it may hold values, the rest
// stay zero. Outputs are Text or integer types (for Index: Text or integers
// of at most 64 bits).
template <typename... T>
ReadStatus ReadArgs(Observation obs, ReadBy by, T *...out) {
  ((*out = T{}), ...);
  switch (by.method) {
    case ReadBy::kConversions:
      return {Kel_GetArgs(obs, 0, by.format, out...)};
    case ReadBy::kMessage:
      return {GetObservationArgs(obs, by.format, out...)};
    case ReadBy::kIndex:
      break;
  }
  uint32_t status = 0;
  uint32_t index = by.first;
  auto one = [&](auto *o) {
    if (status != 0) return;
    using O = std::remove_pointer_t<decltype(o)>;
    if constexpr (std::is_same_v<O, Text>) {
      status = Kel_GetStringArg(obs, index++, o);
    } else {
      int64_t value = 0;
      status = Kel_GetIntArg(obs, index++, &value);
      if (status == 0) *o = static_cast<O>(static_cast<std::make_unsigned_t<O>>(value));
    }
  };
  (one(out), ...);
  return {status};
}

// A text argument for a log line or a map key: "(null)" for a null text.
inline const char *TextOrNull(Text text) { return text ? text : "(null)"; }

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

// The observation's ID for handlers that need it; when it has none, logs
// "FAIL: Received NULL kelID\n" and returns null (the handler then ends).
const char *RequireId(Observation obs);

// What a row's failure line is filled with. kIdAndStatus also makes the
// handler take the observation's ID first (RequireId), whether or not there is
// anything to read.
enum class FailWith : uint8_t { kStatus, kIdAndStatus };

// The one row type of the correlators' tables: how the arguments are read,
// the event posted with them, and the line logged when the read fails (none
// when null). A row whose event ID does not begin with its kind's prefix does
// not compile (rows are constexpr); the values posted with it are checked
// against its message where it is posted.
struct EventRow {
  constexpr EventRow(ReadBy readIn, VProbKind kindIn, const char *eventTemplateIn, uint8_t deferredIn,
                     const char *failLogIn = nullptr, FailWith failWithIn = FailWith::kStatus)
      : read(readIn), kind(kindIn), eventTemplate(eventTemplateIn), deferred(deferredIn), failLog(failLogIn),
        failWith(failWithIn) {
    if (!eventcheck::TemplateFitsKind(kind, eventTemplate)) throw "event ID does not begin with its kind's prefix";
  }
  ReadBy read;                // "" for nothing to read
  VProbKind kind;
  const char *eventTemplate;  // VPROB_TEMPLATE(full ID, message)
  uint8_t deferred;
  const char *failLog;  // (status) or (ID, status), as failWith says; null: a failed read is silent
  FailWith failWith;
};

namespace eventcheck {

// True when every row of a group, among which a handler chooses at run time,
// takes the values Args...; for a static_assert beside the group.
template <typename... Args, size_t N>
constexpr bool RowsTake(const EventRow (&rows)[N]) {
  for (const EventRow &row : rows) {
    if (!Values<Args...>::Fit(row.kind, row.eventTemplate)) return false;
  }
  return true;
}

}  // namespace eventcheck

// Reads a row's arguments into `out...` as the row says. False, with the
// row's failure line logged, when the read fails; false too when the row
// wants the ID and the observation has none. Nothing is read for no outputs.
template <const EventRow &Row, typename... T>
bool ReadRow(Observation obs, T *...out) {
  const char *id = nullptr;
  if constexpr (Row.failWith == FailWith::kIdAndStatus) {
    if ((id = RequireId(obs)) == nullptr) return false;
  }
  if constexpr (sizeof...(T) > 0) {
    uint32_t status = ReadArgs(obs, Row.read, out...).status;
    if (status == 0) return true;
    if constexpr (Row.failLog != nullptr) {
      if constexpr (Row.failWith == FailWith::kIdAndStatus) {
        LogMsg(Row.failLog, id, static_cast<int32_t>(status));
      } else {
        LogMsg(Row.failLog, static_cast<int32_t>(status));
      }
    }
    return false;
  }
  return true;
}

// Reads the arguments typed Args... and posts them in order. True when it
// posted; false (nothing posted) when the read failed. For handlers that act
// on the outcome, e.g. a throttle that records only posted events.
template <const EventRow &Row, typename... Args>
bool ReadAndPostRow(Observation obs) {
  static_assert(eventcheck::Values<Args...>::Fit(Row.kind, Row.eventTemplate), "values do not match the row's message");
  std::tuple<Args...> values{};
  if (!std::apply([&](Args &...a) { return ReadRow<Row>(obs, &a...); }, values)) return false;
  std::apply([](Args... a) { VProb_Post(Row.deferred, Row.kind, Row.eventTemplate, a...); }, values);
  return true;
}

// The handler of a row: reads the arguments typed Args... and posts them in
// order; posts nothing when the read fails. Use as PostRow<kRow, Text, Int>.
template <const EventRow &Row, typename... Args>
void PostRow(Observation obs) {
  ReadAndPostRow<Row, Args...>(obs);
}

// The handler of a row that posts even when its read fails: the row's
// failure line (if any; it takes the status) is logged and the values are
// posted as zeros and null texts.
template <const EventRow &Row, typename... Args>
void PostEvenUnread(Observation obs) {
  static_assert(Row.failWith == FailWith::kStatus, "a row that requires the ID posts nothing without one");
  static_assert(eventcheck::Values<Args...>::Fit(Row.kind, Row.eventTemplate), "values do not match the row's message");
  std::tuple<Args...> values{};
  if (!std::apply([&](Args &...a) { return ReadRow<Row>(obs, &a...); }, values)) values = {};
  std::apply([](Args... a) { VProb_Post(Row.deferred, Row.kind, Row.eventTemplate, a...); }, values);
}

// The current value of the host's integer configuration option (group,
// name). False (and 0) when it cannot be read.
bool ReadIntegerOption(const char *group, const char *name, uint64_t *value);

// Items each between double quotes, separated by ", ": "A", "B".
std::string QuoteJoin(const std::vector<std::string> &items);

// The observation's ID, or "" when it has none.
const char *ObservationId(Observation obs);
