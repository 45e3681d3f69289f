// The event catalog: every event keld can post (ID, kind, message template,
// argument names and types, the correlator that posts it) and which clear
// events resolve which problems. Used by the tools that show events to people
// (hubdsink --text, kelcatalog, hubd-alertmanager) and by the tests that keep
// it equal to what the daemon posts.
//
// The tables are constant; every function is thread-safe.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "vprobRecordReader.h"

struct CatalogArg {
  std::string name;  // a label-safe word: [a-z0-9_]+
  std::string type;  // "string", "int32", "int64", "pointer", "float"
};

struct CatalogEvent {
  const char *id;
  const char *kind;        // "problem", "audit" or "clear"
  const char *correlator;  // the posting correlator's name, e.g. "net"
  const char *message;     // the message template (printf conversions)
  std::vector<CatalogArg> args;
};

// What one resolving event clears. It resolves a problem's alert when it
// carries, under the same argument names, the values of the problem's
// identifying arguments (Catalog_IdentifyingArgs).
struct CatalogPairing {
  const char *resolver;               // usually a clear ID
  std::vector<const char *> problems;  // problem IDs it resolves
};

// Every event, in the order of the correlators' sources.
const std::vector<CatalogEvent> &Catalog_Events(void);
// The event with this ID, or null.
const CatalogEvent *Catalog_Find(const std::string &id);
// Every resolver and what it resolves.
const std::vector<CatalogPairing> &Catalog_Pairings(void);
// The pairing of a resolver, or null when `id` resolves nothing.
const CatalogPairing *Catalog_PairingOf(const std::string &id);
// The resolvers that clear `problemId` (empty when nothing does).
std::vector<const char *> Catalog_ClearedBy(const std::string &problemId);
// The names of the arguments that identify the object of a problem: the
// first text argument (usually the switch, NIC, device or volume); none for
// an event without one, whose repeats are then one alert. Numbers (counts,
// times, sizes) change from one event to the next and would split it.
std::vector<std::string> Catalog_IdentifyingArgs(const CatalogEvent &event);

// The event's message with its arguments, rendered by the platform's
// message-format library as the daemon renders it. False (and *out
// unchanged) when the arguments do not fit the template (wrong count or
// types), e.g. a record from another version of keld.
bool Catalog_Render(const CatalogEvent &event, const std::vector<VProbArg> &args, std::string *out);
// The message of a received event: the rendered template when the ID is
// known and the arguments fit, else "".
std::string Catalog_Message(const std::string &id, const std::vector<VProbArg> &args);

// An argument as a JSON value: a string (invalid UTF-8 becomes U+FFFD when
// dumped with the replace handler), null for a null string or a float that
// is not finite, a number, {"type":N} for a kind the decoder does not know.
nlohmann::ordered_json Catalog_ArgJson(const VProbArg &arg);
// A received event as hubdsink prints it: {"time","id","uuid","args"} and
// "message" when the catalog renders it.
nlohmann::ordered_json Catalog_EventJson(const VProbRecordDecoded &record);
// Dumps JSON on one line, invalid UTF-8 replaced.
std::string Catalog_Dump(const nlohmann::ordered_json &value);

// The whole catalog as one JSON object per line, or as a Markdown document
// (docs/events.md is this text).
std::string Catalog_JsonLines(void);
std::string Catalog_Markdown(void);
