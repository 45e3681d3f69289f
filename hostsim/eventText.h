// Event records rendered for people and for JSON readers: shared by the tools
// that print what reaches hubd (hubdsink, kelreplay) and by the tests.
// Stateless and thread-safe.
#pragma once

#include <string>

#include "vprobRecordReader.h"

// A JSON string literal, quotes included; bytes that are not valid UTF-8
// become U+FFFD, control characters \u00XX.
std::string EventText_Json(const std::string &text);
// An argument as a JSON value: string, null for a null string, a number
// (null for a float that is not finite), {"type":N} for an unknown kind.
std::string EventText_ArgJson(const VProbArg &arg);
// An argument as plain text: a string as it is, "(null)", a number in
// decimal, "?typeN" for an unknown kind.
std::string EventText_Arg(const VProbArg &arg);
// "problem", "audit" or "clear" for "nox.problem.", "nox.audit." and
// "nox.clear." identifiers; "?" for anything else.
const char *EventKind(const std::string &id);
