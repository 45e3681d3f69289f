#include "rowCases.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "kelScenario.h"

#ifndef KELD_SOURCE_DIR
#error "KELD_SOURCE_DIR must name the source tree"
#endif

namespace {

struct Expected {
  std::string id;
  std::string message;
  std::vector<std::string> args;
  bool deferred = false;
};

struct Case {
  int line = 0;
  std::string id;
  std::string format;
  std::vector<KelArg> args;
  std::vector<Expected> expected;
  int64_t advanceBefore = 0;
};

std::string Join(const std::vector<std::string> &v) {
  std::string out;
  for (const std::string &s : v) out += (out.empty() ? "" : "|") + s;
  return out;
}

std::string Describe(const std::string &id, const std::string &message, const std::vector<std::string> &args,
                     bool deferred) {
  return (deferred ? "deferred " : "") + id + " \"" + message + "\" [" + Join(args) + "]";
}

bool Load(const std::string &path, std::vector<Case> *cases, std::string *error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  int lineNo = 0;
  int64_t pendingAdvance = 0;
  for (std::string line; std::getline(in, line);) {
    lineNo++;
    std::vector<std::string> w;
    if (!KelScenario_SplitWords(line, &w, error)) {
      *error = path + ":" + std::to_string(lineNo) + ": " + *error;
      return false;
    }
    if (w.empty()) continue;
    const std::string &verb = w[0];
    if (verb == "case" && w.size() >= 3) {
      Case c;
      c.line = lineNo;
      c.id = w[1];
      c.format = w[2];
      c.advanceBefore = pendingAdvance;
      pendingAdvance = 0;
      if (!KelRecord_ParseArgs(std::vector<std::string>(w.begin() + 3, w.end()), &c.args, error)) {
        *error = path + ":" + std::to_string(lineNo) + ": " + *error;
        return false;
      }
      cases->push_back(c);
    } else if ((verb == "expect" || verb == "expect-deferred") && w.size() >= 3 && !cases->empty()) {
      Expected e;
      e.id = w[1];
      e.message = RowCaseMessage(w[2]);
      e.args.assign(w.begin() + 3, w.end());
      e.deferred = verb == "expect-deferred";
      cases->back().expected.push_back(e);
    } else if (verb == "expect-none" && !cases->empty()) {
      // nothing expected: the case's list stays empty
    } else if (verb == "advance" && w.size() == 2) {
      pendingAdvance += std::stoll(w[1]);
    } else {
      *error = path + ":" + std::to_string(lineNo) + ": bad line: " + line;
      return false;
    }
  }
  return true;
}

}  // namespace

std::string RowCaseMessage(const std::string &word) {
  std::string message = word;
  for (size_t at = 0; (at = message.find("\\n", at)) != std::string::npos; at++) message.replace(at, 2, "\n");
  return message;
}

std::string TestDataPath(const std::string &name) { return std::string(KELD_SOURCE_DIR) + "/tests/data/" + name; }

std::vector<std::string> RunRowCases(CorrelatorHarness &harness, const std::string &name) {
  std::vector<std::string> failures;
  std::vector<Case> cases;
  std::string error;
  if (!Load(TestDataPath(name), &cases, &error)) return {error};
  if (cases.empty()) return {name + ": no cases"};
  harness.Take();
  for (const Case &c : cases) {
    if (c.advanceBefore > 0) harness.Advance(c.advanceBefore);
    harness.Take();
    harness.Send(c.id, c.format, c.args);
    std::vector<PostedEvent> got = harness.Take();
    std::string where = name + ":" + std::to_string(c.line) + " " + c.id + ": ";
    size_t n = std::max(got.size(), c.expected.size());
    for (size_t i = 0; i < n; i++) {
      std::string want = i < c.expected.size()
                             ? Describe(c.expected[i].id, c.expected[i].message, c.expected[i].args,
                                        c.expected[i].deferred)
                             : "(nothing)";
      std::string have = i < got.size() ? Describe(got[i].id, got[i].message, ArgTexts(got[i]), got[i].deferred)
                                        : "(nothing)";
      if (want != have) failures.push_back(where + "expected " + want + "\n    got " + have);
    }
  }
  return failures;
}

bool RowFileIdsOf(const std::string &name, RowFileIds *ids, std::string *error) {
  std::vector<Case> cases;
  if (!Load(TestDataPath(name), &cases, error)) return false;
  for (const Case &c : cases) {
    ids->observations.insert(c.id);
    for (const Expected &e : c.expected) ids->events.insert(e.id);
  }
  return true;
}

std::vector<std::string> RowFileNames() {
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(TestDataPath(""))) {
    if (entry.path().extension() == ".rows") names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}
