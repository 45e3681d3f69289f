// Shared helpers of the correlators' handlers: reading an observation's
// arguments, posting a stateless table row, and quoted lists. Correlator
// threads only; no state.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "kelLib.h"
#include "keldVprob.h"

// Argument types for reading formats: "%p" -> Text, "%d" -> Int, "%u" -> UInt,
// "%lu"/"%lx" -> ULong, "%ld" -> Long.
typedef const char *Text;
typedef int32_t Int;
typedef uint32_t UInt;
typedef int64_t Long;
typedef uint64_t ULong;

// Reads consecutive arguments from index 0 with one Kel_GetArgs call; the
// outputs are zeroed first. True on success.
template <typename... T>
bool ReadArgs(Observation obs, const char *format, T *...out) {
  ((*out = T{}), ...);
  return Kel_GetArgs(obs, 0, format, out...) == 0;
}

// One stateless row: the reading format and the event posted with the
// arguments in the order read.
struct EventRow {
  const char *readFormat;  // conversion-only format for Kel_GetArgs ("" for none)
  VProbKind kind;
  const char *eventTemplate;  // VPROB_TEMPLATE(full ID, message)
  uint8_t deferred;
};

// The handler of a row: reads the arguments typed Args... and posts them in
// order; posts nothing when the read fails. Use as PostRow<kRow, Text, Int>.
template <const EventRow &Row, typename... Args>
void PostRow(Observation obs) {
  std::tuple<Args...> values{};
  if constexpr (sizeof...(Args) > 0) {
    bool ok = std::apply([&](Args &...a) { return ReadArgs(obs, Row.readFormat, &a...); }, values);
    if (!ok) return;
  }
  std::apply([&](Args... a) { VProb_Post(Row.deferred, Row.kind, Row.eventTemplate, a...); }, values);
}

// Items each between double quotes, separated by ", ": "A", "B".
std::string QuoteJoin(const std::vector<std::string> &items);

// The observation's ID, or "" when it has none.
const char *ObservationId(Observation obs);
