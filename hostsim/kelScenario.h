// Observation scenarios, shared by the tools that replay them: one
// observation per line, "+SECONDS ID FORMAT ARG...", where SECONDS is the
// delay before that line (fractions allowed) and the ARGs use the typed
// syntax of kelRecord.h. Words are split shell-style: '...' is literal,
// "..." takes \" \\ \$ and \` escapes, a backslash outside quotes escapes the
// next character, and an unquoted '#' at the start of a word begins a
// comment. Blank and comment-only lines are skipped, and so are expectation
// lines (first word beginning with "expect") and "hubd-down" lines, which
// only kelreplay reads.
#pragma once

#include <string>
#include <vector>

#include "kelRecord.h"

struct KelScenarioLine {
  int lineNumber = 0;  // 1-based line in the text
  double delaySeconds = 0;
  std::string id;
  std::string format;
  std::vector<KelArg> args;
};

// A delay word: "+1.5" -> 1.5. Digits and at most one point only: no signs,
// exponents, hex or infinities.
bool KelScenario_ParseDelay(const std::string &word, double *seconds);
// Splits one line into words. False with a reason on an unterminated quote
// or a trailing backslash.
bool KelScenario_SplitWords(const std::string &line, std::vector<std::string> *words,
                            std::string *error);
// Parses one line. True with *hasObservation false for a blank or comment
// line; false with "line N: reason" in *error for a bad one.
bool KelScenario_ParseLine(const std::string &line, int lineNumber, bool *hasObservation,
                           KelScenarioLine *out, std::string *error);
// Parses a whole scenario text; stops at the first bad line.
bool KelScenario_Parse(const std::string &text, std::vector<KelScenarioLine> *out,
                       std::string *error);
// Reads and parses a scenario file; errors are prefixed with the path.
bool KelScenario_ParseFile(const std::string &path, std::vector<KelScenarioLine> *out,
                           std::string *error);
