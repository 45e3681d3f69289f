// The application crash correlator: every row from its data file, the
// ten-hour rule with its running count, and the retry pass that carries the
// hubd crash events.
#include <gtest/gtest.h>

#include "correlatorHarness.h"
#include "correlators/keldCorrelators.h"
#include "events/keldVprob.h"
#include "rowCases.h"

namespace {

// Sends a plain core dump of `name`; returns what it posted.
std::vector<PostedEvent> Crash(CorrelatorHarness &h, const std::string &name) {
  h.Send("kel.uw.core.dumped", "%s %d %s", {KelArg::Str(name), KelArg::I32(0), KelArg::Str("/var/core/c")});
  return h.Take();
}

TEST(UserWorldCorrelator, RowsPostTheirEvents) {
  CorrelatorHarness h(UserWorldCorrelator_Def());
  for (const std::string &failure : RunRowCases(h, "userworld.rows")) ADD_FAILURE() << failure;
}

TEST(UserWorldCorrelator, CrashesReportedOncePerTenHoursWithTheRunningCount) {
  CorrelatorHarness h(UserWorldCorrelator_Def());
  ASSERT_EQ(Crash(h, "alpha-svc").size(), 1u);
  ASSERT_EQ(Crash(h, "beta-svc").size(), 1u);
  for (int crash = 2; crash <= 5; crash++) {
    h.Advance(1000);
    EXPECT_TRUE(Crash(h, "alpha-svc").empty()) << "crash " << crash;
  }
  h.Advance(35999 - 4000);
  EXPECT_TRUE(Crash(h, "beta-svc").empty());
  h.Advance(1);
  std::vector<PostedEvent> first = Crash(h, "alpha-svc");
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(ArgTexts(first[0]), (std::vector<std::string>{"alpha-svc", "6", "/var/core/c"}));
  std::vector<PostedEvent> second = Crash(h, "beta-svc");
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(ArgTexts(second[0])[1], "3");
  // The report clock restarted at the report.
  h.Advance(35999);
  EXPECT_TRUE(Crash(h, "alpha-svc").empty());
}

TEST(UserWorldCorrelator, PlainAndEncryptedShareACount) {
  CorrelatorHarness h(UserWorldCorrelator_Def());
  ASSERT_EQ(Crash(h, "alpha-svc").size(), 1u);
  h.Advance(36000);
  h.Send("kel.uw.core.dumped.encrypted", "%s %d %s %s",
         {KelArg::Str("alpha-svc"), KelArg::I32(0), KelArg::Str("/var/core/c"), KelArg::Str("k1")});
  std::vector<PostedEvent> events = h.Take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, "nox.problem.application.core.dumped.encrypted");
  EXPECT_EQ(ArgTexts(events[0])[1], "2");
}

TEST(UserWorldCorrelator, HubdCrashIsSentAtTheNextRetryPass) {
  CorrelatorHarness h(UserWorldCorrelator_Def());
  std::vector<PostedEvent> events = Crash(h, "/usr/lib/hubd");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].deferred);
  EXPECT_EQ(VProb_QueueLength(), 1u);
  h.Advance(179);
  EXPECT_EQ(VProb_QueueLength(), 1u);
  h.Advance(1);
  EXPECT_EQ(VProb_QueueLength(), 0u);
  EXPECT_NE(h.Syslog().find("Successfully sent event (nox.problem.hubd.core.dumped) after 1 failure."),
            std::string::npos);
}

}  // namespace
