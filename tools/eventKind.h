// The kind of an event, read from its identifier: shared by the tools that
// print events for people (hubdsink --text, kelreplay).
#pragma once

#include <string>

// "problem", "audit" or "clear" for "nox.problem.", "nox.audit." and
// "nox.clear." identifiers; "?" for anything else.
inline const char *EventKind(const std::string &id) {
  if (id.rfind("nox.problem.", 0) == 0) return "problem";
  if (id.rfind("nox.audit.", 0) == 0) return "audit";
  if (id.rfind("nox.clear.", 0) == 0) return "clear";
  return "?";
}
