// The shared handler helpers (PostRow, ReadArgs, QuoteJoin, KeyThrottle) and
// the table-driven harness, on a small correlator made for the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "correlatorHarness.h"
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "correlators/keldThrottle.h"
#include "rowCases.h"

namespace {

constexpr EventRow kAudit = {"%p %d", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.t.a", "Port %s limit %d"), 0};
constexpr EventRow kBare = {"", VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.t.b", "Nothing to fill"), 0};
constexpr EventRow kLater = {"%u", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.t.c", "Count %u"), 1};

HandlerTable Table() {
  return {{"kel.t.a", PostRow<kAudit, Text, Int>},
          {"kel.t.b", PostRow<kBare>},
          {"kel.t.c", PostRow<kLater, UInt>},
          {"kel.t.throws", [](Observation) { throw std::runtime_error("dropped"); }},
          // Unchecked on purpose: posting itself must refuse a template of another kind.
          {"kel.t.wrongkind", [](Observation) { VProb_Post(0, VPROB_CLEAR, VPROB_TEMPLATE("nox.problem.t.d", "x")); }}};
}

const CorrelatorDef kDef = {"t", {"t"}, Unhandled_Report, Table, nullptr, nullptr, nullptr};

TEST(Rows, TableDrivenCasesHold) {
  CorrelatorHarness h(kDef);
  std::vector<std::string> failures = RunRowCases(h, "rows_selftest.rows");
  for (const std::string &f : failures) ADD_FAILURE() << f;
}

TEST(Rows, UnhandledThrowingAndMismatchedHandlersAreContained) {
  CorrelatorHarness h(kDef);
  h.Send("kel.t.nosuch", "x");
  h.Send("kel.t.throws", "x");
  h.Send("kel.t.wrongkind", "x");
  h.Send("kel.t.b", "x");
  EXPECT_EQ(h.Take().size(), 1u);
  EXPECT_NE(h.Syslog().find("No correlator for kel.t.nosuch \n"), std::string::npos);
  EXPECT_NE(h.Syslog().find("Event template does not begin with \"nox.clear.\"; dropped.\n"), std::string::npos);
}

// The checks behind VPROB_POST and EventRow: a template of another kind, or
// values that do not fit the message's conversions, must not compile.
using eventcheck::TemplateFitsKind;
using eventcheck::Values;
static_assert(TemplateFitsKind(VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.a.b", "m")));
static_assert(TemplateFitsKind(VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.a", "")));
static_assert(!TemplateFitsKind(VPROB_CLEAR, VPROB_TEMPLATE("nox.problem.a.b", "m")));
static_assert(!TemplateFitsKind(VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.", "m")));  // no short ID
static_assert(!TemplateFitsKind(VPROB_AUDIT, "nox.audit.a)m"));                   // no marker
static_assert(Values<const char *, int32_t, uint64_t>::Fit(VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.a", "%s %#x %lu")));
static_assert(Values<int32_t, int64_t>::Fit(VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.a", "100%% %*ld")));
static_assert(Values<uint8_t, bool>::Fit(VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.a", "%hhu %d")));  // promoted
static_assert(!Values<int32_t>::Fit(VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.a", "%lu")));        // too narrow
static_assert(!Values<uint64_t>::Fit(VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.a", "%s")));        // not a text
static_assert(!Values<const char *>::Fit(VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.a", "%s %s")));  // too few
static_assert(!Values<const char *, int>::Fit(VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.a", "%s")));  // too many
static_assert(!Values<>::Fit(VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.a", "%n")));                 // refused
// A group of rows chosen among at run time fits only when every row does.
constexpr EventRow kGroup[] = {{"", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.g.a", "%s"), 0},
                               {"", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.g.b", "%s %d"), 0}};
constexpr EventRow kAlike[] = {kGroup[0], kGroup[0]};
static_assert(eventcheck::RowsTake<Text>(kAlike));
static_assert(!eventcheck::RowsTake<Text>(kGroup) && !eventcheck::RowsTake<Text, Int>(kGroup));

// The IDs of every data file, by file name.
std::map<std::string, RowFileIds> AllRowFileIds() {
  std::map<std::string, RowFileIds> all;
  for (const std::string &name : RowFileNames()) {
    std::string error;
    if (!RowFileIdsOf(name, &all[name], &error)) ADD_FAILURE() << error;
  }
  return all;
}

// Every observation ID in any correlator's table has a case in some data
// file, so a row added without a case fails here.
TEST(Rows, EveryRowOfEveryTableHasACase) {
  std::set<std::string> cased;
  for (const auto &[name, ids] : AllRowFileIds()) cased.insert(ids.observations.begin(), ids.observations.end());
  for (const CorrelatorDef *def : Correlators_All()) {
    for (const auto &[id, handler] : def->buildTable()) {
      if (cased.count(id) == 0) ADD_FAILURE() << def->name << ": no case in tests/data/*.rows for " << id;
    }
  }
}

// Every ID that a table handles or that a case expects is written out in
// full, between double quotes, in the daemon's source.
TEST(Rows, EveryIdIsWrittenOutInTheDaemon) {
  std::string source;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(std::string(KELD_SOURCE_DIR) + "/apps")) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path());
    source.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::set<std::string> ids;
  for (const CorrelatorDef *def : Correlators_All()) {
    for (const auto &[id, handler] : def->buildTable()) ids.insert(id);
  }
  for (const auto &[name, fileIds] : AllRowFileIds()) {
    if (name != "rows_selftest.rows") ids.insert(fileIds.events.begin(), fileIds.events.end());
  }
  for (const std::string &id : ids) {
    if (source.find('"' + id + '"') == std::string::npos) ADD_FAILURE() << "not written out in apps/: " << id;
  }
}

TEST(Rows, QuoteJoin) {
  EXPECT_EQ(QuoteJoin({}), "");
  EXPECT_EQ(QuoteJoin({"A"}), "\"A\"");
  EXPECT_EQ(QuoteJoin({"A", "B"}), "\"A\", \"B\"");
}

TEST(Rows, ThrottleRules) {
  TextThrottle after = TextThrottle::After(90);  // due when more than 90 s passed
  EXPECT_TRUE(after.Pass("k", 1000));
  EXPECT_FALSE(after.Pass("k", 1090));
  EXPECT_TRUE(after.Pass("k", 1091));
  EXPECT_TRUE(after.Pass("other", 1091));

  TextThrottle atLeast = TextThrottle::AtLeast(3600);
  EXPECT_TRUE(atLeast.Pass("k", 5000));
  EXPECT_FALSE(atLeast.Pass("k", 8599));
  EXPECT_FALSE(atLeast.Pass("k", 4000));  // clock stepped back: still throttled
  EXPECT_TRUE(atLeast.Pass("k", 8600));

  TextThrottle touch = TextThrottle::After(300);
  EXPECT_TRUE(touch.PassAndTouch("k", 1000));
  EXPECT_FALSE(touch.PassAndTouch("k", 1200));
  EXPECT_FALSE(touch.PassAndTouch("k", 1400));  // refreshed at 1200
  EXPECT_TRUE(touch.PassAndTouch("k", 1701));

  TextThrottle first = TextThrottle::AtLeast(36000);
  EXPECT_TRUE(first.PassFirstOrDue("k", 5));  // a new key passes even early on a fake clock
  EXPECT_FALSE(first.PassFirstOrDue("k", 36004));
  EXPECT_TRUE(first.PassFirstOrDue("k", 36005));
  EXPECT_FALSE(first.PassFirstOrDue("k", 72004));  // timed from the last pass

  WindowCount window(60);
  for (int i = 0; i < 1000; i++) window.Add(100);  // a burst in one second
  EXPECT_EQ(window.Add(160), 1001u);               // exactly 60 s old still counts
  EXPECT_EQ(window.Add(161), 2u);
  EXPECT_EQ(window.Add(150), 3u);  // clock stepped back: counted behind the newer ones
  EXPECT_EQ(window.Add(221), 3u);  // ... and leaves only after them
  EXPECT_EQ(window.Add(222), 2u);
  window.Clear();
  EXPECT_EQ(window.Add(221), 1u);

  RecentTimes<4> recent;
  EXPECT_EQ(recent.NthNewest(1), 0);
  for (int64_t t : {10, 20, 30, 40, 50}) recent.Add(t);
  EXPECT_EQ(recent.NthNewest(1), 50);
  EXPECT_EQ(recent.NthNewest(4), 20);  // 10 was pushed out
}

}  // namespace
