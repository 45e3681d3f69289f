// Table-driven correlator tests read from data files. A file holds cases:
//
//   # comment
//   case ID FORMAT [ARG...]          one observation (kelinject argument syntax)
//   expect EVENT-ID MESSAGE [ARG...]  an event it must post, args as text
//                                     (\n in MESSAGE stands for a line break)
//   expect-deferred EVENT-ID MESSAGE [ARG...]   the same, queued for retry
//   expect-none                       it must post nothing
//   advance SECONDS                   move the fake clock before the next case
//
// Words are split shell-style (the scenario tokenizer). Each case's events are
// compared, in order, with what the correlator composed for that observation.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "correlatorHarness.h"

// Runs every case of the file at tests/data/<name> through `harness`.
// Returns one line per mismatch (empty when all cases hold).
std::vector<std::string> RunRowCases(CorrelatorHarness &harness, const std::string &name);
// The path of a data file under tests/data.
std::string TestDataPath(const std::string &name);

// The IDs a data file names: the observation IDs of its cases and the event
// IDs it expects. False (with `error` set) when the file cannot be read.
struct RowFileIds {
  std::set<std::string> observations;
  std::set<std::string> events;
};
bool RowFileIdsOf(const std::string &name, RowFileIds *ids, std::string *error);
// The message of an expect line as posted: "\n" in the file stands for a
// line break.
std::string RowCaseMessage(const std::string &word);
// The names of all data files of row cases (tests/data/*.rows), sorted.
std::vector<std::string> RowFileNames();
