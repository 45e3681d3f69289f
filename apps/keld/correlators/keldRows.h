// Shared helpers of the correlators' handlers: reading an observation's
// arguments, posting a stateless table row, and quoted lists. Correlator
// threads only; no state.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
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

// One stateless row: the reading format and the event posted with the
// arguments in the order read.
struct EventRow {
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
  std::apply([&](Args... a) { VProb_Post(Row.deferred, Row.kind, Row.eventTemplate, a...); }, values);
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
  std::apply([&](Args... a) { VProb_Post(Row.event.deferred, Row.event.kind, Row.event.eventTemplate, a...); },
             values);
}

// Items each between double quotes, separated by ", ": "A", "B".
std::string QuoteJoin(const std::vector<std::string> &items);

// The observation's ID, or "" when it has none.
const char *ObservationId(Observation obs);
