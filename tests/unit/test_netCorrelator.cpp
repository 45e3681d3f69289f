// The network correlator: its stateless rows (from tests/data/net.rows), the
// uplink connectivity and redundancy decisions under the fake clock, and link
// flapping damping.
#include <gtest/gtest.h>

#include <memory>

#include "correlatorHarness.h"
#include "keldCorrelators.h"
#include "rowCases.h"

namespace {

const char kHostModel[] =
    "portgroup P1 vSwitch0\n"
    "portgroup P2 vSwitch0\n"
    "portgroup \"VM Network\" vSwitch0\n"
    "portgroup P3 vSwitch1\n"
    "fail portgroup Broken\n"
    "advoption Net LinkFlappingThreshold 3\n";

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override { h = std::make_unique<CorrelatorHarness>(NetCorrelator_Def(), kHostModel); }

  void LinkDown(const std::string &nic) { h->Send("kel.net.hynic.linkstate.down", "%s", {KelArg::Str(nic)}); }
  void LinkUp(const std::string &nic) { h->Send("kel.net.hynic.linkstate.up", "%s", {KelArg::Str(nic)}); }
  void Watchdog(const std::string &nic) { h->Send("kel.net.uplink.watchdog.timeout", "%s", {KelArg::Str(nic)}); }
  void PgDown(const std::string &nic, const std::string &pg, int32_t active) {
    h->Send("kel.net.pg.uplink.transition.down", "%s %s %d %d",
            {KelArg::Str(nic), KelArg::Str(pg), KelArg::I32(active), KelArg::I32(0)});
  }
  void PgUp(const std::string &nic, const std::string &pg, int32_t active) {
    h->Send("kel.net.pg.uplink.transition.up", "%s %s %d",
            {KelArg::Str(nic), KelArg::Str(pg), KelArg::I32(active)});
  }
  void DvPort(bool down, const std::string &nic, const std::string &port, int32_t active) {
    std::vector<KelArg> args = {KelArg::Str(nic), KelArg::Str(port), KelArg::Str("kds0"), KelArg::I32(active)};
    if (down) args.push_back(KelArg::I32(0));
    h->Send(down ? "kel.net.dvport.uplink.transition.down" : "kel.net.dvport.uplink.transition.up",
            down ? "%s %s %s %d %d" : "%s %s %s %d", args);
  }
  // "ID: message" of every event posted since the last call.
  std::vector<std::string> Posted() {
    std::vector<std::string> out;
    for (const PostedEvent &e : h->Take()) out.push_back(e.id + ": " + e.message);
    return out;
  }
  // Only the IDs, for tests about when rather than what.
  std::vector<std::string> Ids() {
    std::vector<std::string> out;
    for (const PostedEvent &e : h->Take()) out.push_back(e.id);
    return out;
  }
  std::unique_ptr<CorrelatorHarness> h;
};

using Strings = std::vector<std::string>;
const std::string kLinkDown = "nox.problem.net.hynic.linkstate.down";
const std::string kConnectivityLost = "nox.problem.net.connectivity.lost";
const std::string kFlapping = "nox.problem.net.hynic.linkstate.flapping";

TEST(NetCorrelatorRows, StatelessRowsPostTheirEvents) {
  CorrelatorHarness h(NetCorrelator_Def(),
                      "vmgroup 42 \"web01\"\nvmgroup -2 neg\nvmgroup 43 x\nfail vmgroup 43\n");
  ASSERT_TRUE(h.SetupOk());
  EXPECT_EQ(h.Table().size(), 44u);
  for (const std::string &f : RunRowCases(h, "net.rows")) ADD_FAILURE() << f;
}

TEST_F(NetTest, PortGroupLossAndRecoveryAreDecidedPerBurst) {
  LinkDown("hynic1");
  PgDown("hynic1", "P1", 1);
  PgDown("hynic1", "P2", 0);
  PgDown("hynic1", "VM Network", 2);
  h->Advance(1);
  EXPECT_EQ(Posted(), Strings{});  // the port groups stand for the link state
  h->Advance(1);
  EXPECT_EQ(Posted(), (Strings{
      "nox.problem.net.connectivity.lost: Lost network connectivity on virtual switch \"vSwitch0\". "
      "Physical NIC hynic1 is down. Affected port groups: \"P2\"",
      "nox.problem.net.redundancy.lost: Lost uplink redundancy on virtual switch \"vSwitch0\". "
      "Physical NIC hynic1 is down. Affected port groups: \"P1\"",
      "nox.problem.net.redundancy.degraded: Uplink redundancy degraded on virtual switch \"vSwitch0\". "
      "Physical NIC hynic1 is down. Affected port groups: \"VM Network\""}));

  LinkUp("hynic1");
  PgUp("hynic1", "P2", 1);
  PgUp("hynic1", "P1", 2);
  PgUp("hynic1", "VM Network", 3);
  h->Advance(1);
  EXPECT_EQ(Posted(), Strings{});
  h->Advance(1);
  EXPECT_EQ(Posted(), (Strings{
      "nox.clear.net.connectivity.restored: Network connectivity restored on virtual switch \"vSwitch0\", "
      "portgroups: \"P2\". Physical NIC hynic1 is up",
      "nox.clear.net.redundancy.restored: Uplink redundancy restored on virtual switch \"vSwitch0\", "
      "portgroups: \"P1\", \"VM Network\". Physical NIC hynic1 is up"}));
  h->Advance(5);
  EXPECT_EQ(Posted(), Strings{});
}

TEST_F(NetTest, OneDecisionPerBurst) {
  PgDown("hynic1", "P1", 0);
  h->Advance(1);
  PgDown("hynic1", "P2", 0);  // joins the pending decision
  h->Advance(1);
  EXPECT_EQ(Posted(), Strings{"nox.problem.net.connectivity.lost: Lost network connectivity on virtual switch "
                              "\"vSwitch0\". Physical NIC hynic1 is down. Affected port groups: \"P1\", \"P2\""});
  PgDown("hynic1", "VM Network", 0);  // a new burst with a full delay of its own
  h->Advance(1);
  EXPECT_EQ(Ids(), Strings{});
  h->Advance(1);
  EXPECT_EQ(Ids(), Strings{kConnectivityLost});
}

TEST_F(NetTest, DVPortLossAndRecovery) {
  DvPort(true, "hynic1", "101", 0);
  DvPort(true, "hynic1", "102", 1);
  DvPort(true, "hynic1", "103", 2);
  h->Advance(2);
  EXPECT_EQ(Posted(), (Strings{
      "nox.problem.net.dvport.connectivity.lost: Lost network connectivity on DVPorts: \"101/kds0\". "
      "Physical NIC hynic1 is down.",
      "nox.problem.net.dvport.redundancy.lost: Lost uplink redundancy on DVPorts: \"102/kds0\". "
      "Physical NIC hynic1 is down.",
      "nox.problem.net.dvport.redundancy.degraded: Uplink redundancy degraded on DVPorts: \"103/kds0\". "
      "Physical NIC hynic1 is down."}));
  DvPort(false, "hynic1", "101", 1);
  DvPort(false, "hynic1", "102", 2);
  DvPort(false, "hynic1", "103", 3);
  h->Advance(2);
  EXPECT_EQ(Posted(), (Strings{
      "nox.clear.net.dvport.connectivity.restored: Network connectivity restored on DVPorts: \"101/kds0\". "
      "Physical NIC hynic1 is up",
      "nox.clear.net.dvport.redundancy.restored: Uplink redundancy restored on DVPorts: \"102/kds0\", "
      "\"103/kds0\". Physical NIC hynic1 is up recently"}));
}

TEST_F(NetTest, NoConnectivityRestoredWhileAnotherPortGroupIsStillWithout) {
  PgDown("hynic1", "P2", 0);
  PgDown("hynic2", "P3", 0);
  h->Advance(2);
  EXPECT_EQ(Ids(), (Strings{kConnectivityLost, kConnectivityLost}));
  PgUp("hynic1", "P2", 1);
  h->Advance(2);
  EXPECT_EQ(Ids(), Strings{});  // P3 is still without connectivity
  PgUp("hynic2", "P3", 1);
  h->Advance(2);
  // P2 is not reported late.
  EXPECT_EQ(Posted(), Strings{"nox.clear.net.connectivity.restored: Network connectivity restored on "
                              "virtual switch \"vSwitch1\", portgroups: \"P3\". Physical NIC hynic2 is up"});
}

TEST_F(NetTest, RedundancyRestoredWaitsUntilEveryLossIsMatched) {
  PgDown("hynic1", "P1", 2);
  PgDown("hynic2", "VM Network", 2);
  h->Advance(2);
  h->Take();
  PgUp("hynic1", "P1", 3);
  h->Advance(2);
  EXPECT_EQ(Ids(), Strings{});
  PgUp("hynic2", "VM Network", 3);
  h->Advance(2);
  EXPECT_EQ(Posted(), Strings{"nox.clear.net.redundancy.restored: Uplink redundancy restored on virtual "
                              "switch \"vSwitch0\", portgroups: \"P1\", \"VM Network\". Physical NIC hynic2 is up"});
}

TEST_F(NetTest, OneTimerServesEveryNicAtItsOwnDeadline) {
  Watchdog("hynic3");
  PgDown("hynic1", "P1", 0);  // due first: the timer is moved earlier
  h->Advance(1);
  PgDown("hynic2", "P3", 0);
  LinkDown("hynic4");  // due before hynic2's burst
  EXPECT_EQ(Ids(), Strings{});
  h->Advance(1);
  EXPECT_EQ(Posted(), (Strings{
      "nox.problem.net.connectivity.lost: Lost network connectivity on virtual switch \"vSwitch0\". "
      "Physical NIC hynic1 is down. Affected port groups: \"P1\"",
      "nox.problem.net.hynic.linkstate.down: Physical NIC hynic4 linkstate is down"}));
  h->Advance(1);
  EXPECT_EQ(Ids(), Strings{kConnectivityLost});
  h->Advance(10);
  EXPECT_EQ(Ids(), Strings{});
}

TEST_F(NetTest, LinkStateOfANicWithoutUplinkTransitions) {
  LinkDown("hynic5");
  h->Advance(1);
  LinkUp("hynic5");
  h->Advance(1);
  EXPECT_EQ(Posted(), (Strings{"nox.problem.net.hynic.linkstate.down: Physical NIC hynic5 linkstate is down",
                               "nox.clear.net.hynic.linkstate.up: Physical NIC hynic5 linkstate is up"}));
}

TEST_F(NetTest, WatchdogWindowReportsATransientFailureOnce) {
  Watchdog("hynic1");
  LinkDown("hynic1");
  PgDown("hynic1", "P1", 0);
  h->Advance(2);
  LinkUp("hynic1");
  PgUp("hynic1", "P1", 1);
  h->Advance(4);
  EXPECT_EQ(Ids(), Strings{});
  h->Advance(1);
  EXPECT_EQ(Posted(), Strings{"nox.problem.net.hynic.watchdog.reset: Uplink hynic1 has recovered from a "
                              "transient failure due to watchdog timeout"});
  h->Advance(10);
  EXPECT_EQ(Ids(), Strings{});
  LinkDown("hynic1");  // the NIC's flags were all cleared
  h->Advance(1);
  EXPECT_EQ(Ids(), Strings{kLinkDown});
}

TEST_F(NetTest, WatchdogHoldsBackALossUntilItsDecision) {
  Watchdog("hynic1");
  PgDown("hynic1", "P2", 0);
  h->Advance(6);
  EXPECT_EQ(Ids(), Strings{});
  h->Advance(1);
  EXPECT_EQ(Ids(), Strings{kConnectivityLost});
  // The window ended with its decision: the next loss is not held back.
  LinkDown("hynic1");
  h->Advance(1);
  EXPECT_EQ(Ids(), Strings{kLinkDown});
}

TEST_F(NetTest, UnknownSwitchOrUnreadableTransitionPostsNothing) {
  PgDown("hynic1", "Nowhere", 0);
  PgDown("hynic2", "Broken", 0);
  h->Send("kel.net.pg.uplink.transition.down", "%s %s %d", {KelArg::Str("hynic3"), KelArg::Str("P1"), KelArg::I32(0)});
  h->Send("kel.net.pg.uplink.transition.down", "%s %s %d %d",
          {KelArg::NullStr(), KelArg::Str("P1"), KelArg::I32(0), KelArg::I32(0)});
  h->Advance(3);
  EXPECT_EQ(Ids(), Strings{});
  // The dropped burst does not swallow the NIC's next one.
  PgDown("hynic1", "P1", 0);
  h->Advance(2);
  EXPECT_EQ(Ids(), Strings{kConnectivityLost});
}

TEST_F(NetTest, FlappingLinkIsTakenDownOncePerSeries) {
  struct Case {
    const char *name;
    std::string hostModel;
    std::vector<int> downAt;  // seconds from the first link-down
    size_t flapping;          // events expected
    int nicDowns;             // journal lines expected
  };
  const std::string three = "advoption Net LinkFlappingThreshold 3\n";
  const Case cases[] = {
      {"fourth within the window", three, {0, 1, 2, 3}, 1, 1},
      {"fifth starts a new series", three, {0, 1, 2, 3, 4}, 1, 1},
      {"eighth is the fourth of the second series", three, {0, 1, 2, 3, 4, 5, 6, 7}, 2, 2},
      {"oldest aged out", three, {0, 20, 40, 61}, 0, 0},
      {"exactly 60 seconds old still counts", three, {0, 20, 40, 60}, 1, 1},
      {"threshold 0", "advoption Net LinkFlappingThreshold 0\n", {0, 0, 0, 0, 0, 0}, 0, 0},
      {"low 32 bits 0", "advoption Net LinkFlappingThreshold 0x100000000\n", {0, 0, 0, 0, 0}, 0, 0},
      {"option missing", "", {0, 0, 0, 0, 0}, 0, 0},
      {"take-down fails", three + "fail nicdown hynic2\n", {0, 0, 0, 0}, 0, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    CorrelatorHarness hc(NetCorrelator_Def(), c.hostModel);
    int at = 0;
    size_t flapping = 0;
    for (int t : c.downAt) {
      hc.Advance(t - at);
      at = t;
      hc.Send("kel.net.hynic.linkstate.down", "%s", {KelArg::Str("hynic2")});
      for (const PostedEvent &e : hc.Take()) {
        if (e.id != kFlapping) continue;
        EXPECT_EQ(e.message, "Taking down physical NIC hynic2 because the link is flapping.");
        flapping++;
      }
    }
    EXPECT_EQ(flapping, c.flapping);
    std::string journal = hc.Journal();
    int nicDowns = 0;
    for (size_t p = 0; (p = journal.find(" nic.down hynic2\n", p)) != std::string::npos; p++) nicDowns++;
    EXPECT_EQ(nicDowns, c.nicDowns) << journal;
  }
}

TEST_F(NetTest, FailedTakeDownStillEmptiesTheCount) {
  h->WriteHostModel(std::string(kHostModel) + "fail nicdown hynic2\n");
  for (int i = 0; i < 4; i++) LinkDown("hynic2");
  h->WriteHostModel(kHostModel);
  for (int i = 0; i < 3; i++) LinkDown("hynic2");
  EXPECT_EQ(h->Journal(), "");
  LinkDown("hynic2");
  EXPECT_NE(h->Journal().find("nic.down hynic2"), std::string::npos);
}

}  // namespace
