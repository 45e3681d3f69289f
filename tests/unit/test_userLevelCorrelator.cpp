// The user-level correlator: every row from its data file, the one message
// with a line feed, the account lock audit record and the two throttles.
#include <gtest/gtest.h>

#include "correlatorHarness.h"
#include "correlators/keldCorrelators.h"
#include "rowCases.h"

namespace {

TEST(UserLevelCorrelator, RowsPostTheirEvents) {
  CorrelatorHarness h(UserLevelCorrelator_Def());
  for (const std::string &failure : RunRowCases(h, "userlevel.rows")) ADD_FAILURE() << failure;
  EXPECT_EQ(h.Table().size(), 70u);
}

// A data file cannot hold a line feed inside a message.
TEST(UserLevelCorrelator, InvalidHardwareMessageSpansTwoLines) {
  CorrelatorHarness h(UserLevelCorrelator_Def());
  h.Send("kel.user.noximage.install.invalidhardware", "%s %s", {KelArg::Str("std"), KelArg::Str("CPU too old")});
  std::vector<PostedEvent> events = h.Take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, "nox.problem.noximage.install.invalidhardware");
  EXPECT_EQ(events[0].message, "Host doesn't meet image profile 'std' hardware requirements:\nCPU too old");
}

TEST(UserLevelCorrelator, AccountLockedIsAuditedOnlyWhenComplete) {
  CorrelatorHarness h(UserLevelCorrelator_Def());
  h.Send("kel.user.account.locked", "%s %d", {KelArg::Str("root"), KelArg::I32(900)});
  EXPECT_TRUE(h.Take().empty());
  EXPECT_EQ(h.Journal().find("audit"), std::string::npos);

  h.Send("kel.user.account.locked", "%s %d %d", {KelArg::Str("root"), KelArg::I32(900), KelArg::I32(5)});
  EXPECT_EQ(h.Take().size(), 1u);
  EXPECT_NE(h.Journal().find(" audit account.locked root \"\" 1\n"), std::string::npos) << h.Journal();
}

TEST(UserLevelCorrelator, LeaseWithoutExpiryOncePer1200SecondsPerServer) {
  CorrelatorHarness h(UserLevelCorrelator_Def());
  auto offer = [&](const char *server) {
    h.Send("kel.user.dhclient.lease.offered.noexpiry", "%s", {KelArg::Str(server)});
    return h.Take().size();
  };
  EXPECT_EQ(offer("10.0.0.1"), 1u);
  h.Advance(1200);
  EXPECT_EQ(offer("10.0.0.1"), 0u);
  EXPECT_EQ(offer("10.0.0.2"), 1u);
  h.Advance(1);
  EXPECT_EQ(offer("10.0.0.1"), 1u);
  EXPECT_EQ(offer("10.0.0.2"), 0u);
}

TEST(UserLevelCorrelator, InvalidLogDirectoryOncePer91SecondsPerPair) {
  CorrelatorHarness h(UserLevelCorrelator_Def());
  auto invalid = [&](const char *configured, const char *fallback) {
    h.Send("kel.user.hysyslogd.storage.logdir.invalid", "%s %s", {KelArg::Str(configured), KelArg::Str(fallback)});
    return h.Take().size();
  };
  EXPECT_EQ(invalid("/scratch/log", "/var/log"), 1u);
  h.Advance(90);
  EXPECT_EQ(invalid("/scratch/log", "/var/log"), 0u);
  EXPECT_EQ(invalid("/scratch/log", "/tmp/log"), 1u);
  EXPECT_EQ(invalid("/var/log", "/scratch/log"), 1u);  // the pair is ordered
  h.Advance(1);
  EXPECT_EQ(invalid("/scratch/log", "/var/log"), 1u);
}

}  // namespace
