// The shared handler helpers (PostRow, ReadArgs, QuoteJoin, KeyThrottle) and
// the table-driven harness, on a small correlator made for the test.
#include <gtest/gtest.h>

#include "correlatorHarness.h"
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
          {"kel.t.throws", [](Observation) { throw std::runtime_error("dropped"); }}};
}

const CorrelatorDef kDef = {"t", {"t"}, Unhandled_Report, Table, nullptr, nullptr, nullptr};

TEST(Rows, TableDrivenCasesHold) {
  CorrelatorHarness h(kDef);
  std::vector<std::string> failures = RunRowCases(h, "rows_selftest.rows");
  for (const std::string &f : failures) ADD_FAILURE() << f;
}

TEST(Rows, UnhandledAndThrowingHandlersAreContained) {
  CorrelatorHarness h(kDef);
  h.Send("kel.t.nosuch", "x");
  h.Send("kel.t.throws", "x");
  h.Send("kel.t.b", "x");
  EXPECT_EQ(h.Take().size(), 1u);
  EXPECT_NE(h.Syslog().find("No correlator for kel.t.nosuch \n"), std::string::npos);
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
}

}  // namespace
