// The network correlator: its stateless rows (from tests/data/net.rows), the uplink connectivity and redundancy
// decisions under the fake clock, and link flapping damping.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "correlatorHarness.h"
#include "correlators/keldCorrelators.h"
#include "rowCases.h"

namespace {

using Strings = std::vector<std::string>;
using Active = std::vector<std::pair<std::string, int32_t>>;
const char kHostModel[] =
    "portgroup P1 vSwitch0\nportgroup P2 vSwitch0\nportgroup \"VM Network\" vSwitch0\nportgroup P3 vSwitch1\n"
    "fail portgroup Broken\nadvoption Net LinkFlappingThreshold 3\n";
const std::string kLinkDown = "nox.problem.net.hynic.linkstate.down";
const std::string kConnectivityLost = "nox.problem.net.connectivity.lost";

class NetTest : public ::testing::Test {
 protected:
  void SetUp() override { h = std::make_unique<CorrelatorHarness>(NetCorrelator_Def(), kHostModel); }
  void LinkDown(const std::string &nic) { h->Send("kel.net.hynic.linkstate.down", "%s", {KelArg::Str(nic)}); }
  void LinkUp(const std::string &nic) { h->Send("kel.net.hynic.linkstate.up", "%s", {KelArg::Str(nic)}); }
  void Watchdog(const std::string &nic) { h->Send("kel.net.uplink.watchdog.timeout", "%s", {KelArg::Str(nic)}); }
  // Uplink transitions of `nic` ("pg", or "dvport" on kds0), each naming a port group or port and the uplinks left.
  void Uplinks(const std::string &kind, bool down, const std::string &nic, const Active &list) {
    for (const auto &[name, active] : list) {
      std::vector<KelArg> args = {KelArg::Str(nic), KelArg::Str(name)};
      if (kind == "dvport") args.push_back(KelArg::Str("kds0"));
      args.push_back(KelArg::I32(active));
      if (down) args.push_back(KelArg::I32(0));
      std::string format = std::string(kind == "dvport" ? "%s %s %s %d" : "%s %s %d") + (down ? " %d" : "");
      h->Send("kel.net." + kind + ".uplink.transition." + (down ? "down" : "up"), format, args);
    }
  }
  void PgDown(const std::string &nic, const Active &list) { Uplinks("pg", true, nic, list); }
  void PgUp(const std::string &nic, const Active &list) { Uplinks("pg", false, nic, list); }
  // "ID: message" of every event posted since the last call, or only the IDs.
  Strings Posted(bool idsOnly = false) {
    Strings out;
    for (const PostedEvent &e : h->Take()) out.push_back(idsOnly ? e.id : e.id + ": " + e.message);
    return out;
  }
  Strings Ids() { return Posted(true); }
  std::unique_ptr<CorrelatorHarness> h;
};

TEST(NetCorrelatorRows, StatelessRowsPostTheirEvents) {
  CorrelatorHarness h(NetCorrelator_Def(), "vmgroup 42 \"web01\"\nvmgroup -2 neg\nvmgroup 43 x\nfail vmgroup 43\n");
  ASSERT_TRUE(h.SetupOk());
  EXPECT_EQ(h.Table().size(), 44u);
  for (const std::string &f : RunRowCases(h, "net.rows")) ADD_FAILURE() << f;
}

// A burst is decided 2 s after its first transition (the port groups stand for the link state); a transition
// arriving meanwhile joins it, one arriving later starts a burst with a full delay of its own. Bursts of an unknown
// switch or with unreadable transitions are dropped, without swallowing the NIC's next one.
TEST_F(NetTest, PortGroupLossAndRecoveryAreDecidedPerBurst) {
  LinkDown("hynic1");
  PgDown("hynic1", {{"P1", 1}});
  h->Advance(1);
  PgDown("hynic1", {{"P2", 0}, {"VM Network", 2}});
  EXPECT_EQ(Posted(), Strings{});
  h->Advance(1);
  EXPECT_EQ(Posted(), (Strings{
      "nox.problem.net.connectivity.lost: Lost network connectivity on virtual switch \"vSwitch0\". "
      "Physical NIC hynic1 is down. Affected port groups: \"P2\"",
      "nox.problem.net.redundancy.lost: Lost uplink redundancy on virtual switch \"vSwitch0\". "
      "Physical NIC hynic1 is down. Affected port groups: \"P1\"",
      "nox.problem.net.redundancy.degraded: Uplink redundancy degraded on virtual switch \"vSwitch0\". "
      "Physical NIC hynic1 is down. Affected port groups: \"VM Network\""}));

  LinkUp("hynic1");
  PgUp("hynic1", {{"P2", 1}, {"P1", 2}, {"VM Network", 3}});
  h->Advance(1);
  EXPECT_EQ(Posted(), Strings{});
  h->Advance(1);
  EXPECT_EQ(Posted(), (Strings{
      "nox.clear.net.connectivity.restored: Network connectivity restored on virtual switch \"vSwitch0\", "
      "portgroups: \"P2\". Physical NIC hynic1 is up",
      "nox.clear.net.redundancy.restored: Uplink redundancy restored on virtual switch \"vSwitch0\", "
      "portgroups: \"P1\", \"VM Network\". Physical NIC hynic1 is up"}));
  PgDown("hynic1", {{"P1", 0}, {"P2", 0}});
  h->Advance(1);
  EXPECT_EQ(Ids(), Strings{});
  h->Advance(1);
  EXPECT_EQ(Posted(), Strings{"nox.problem.net.connectivity.lost: Lost network connectivity on virtual switch "
                              "\"vSwitch0\". Physical NIC hynic1 is down. Affected port groups: \"P1\", \"P2\""});
  h->Advance(5);
  EXPECT_EQ(Ids(), Strings{});
  PgDown("hynic1", {{"Nowhere", 0}});
  PgDown("hynic2", {{"Broken", 0}});
  h->Send("kel.net.pg.uplink.transition.down", "%s %s %d", {KelArg::Str("hynic3"), KelArg::Str("P1"), KelArg::I32(0)});
  h->Send("kel.net.pg.uplink.transition.down", "%s %s %d %d",
          {KelArg::NullStr(), KelArg::Str("P1"), KelArg::I32(0), KelArg::I32(0)});
  h->Advance(3);
  EXPECT_EQ(Ids(), Strings{});
  PgDown("hynic1", {{"VM Network", 0}});
  h->Advance(2);
  EXPECT_EQ(Ids(), Strings{kConnectivityLost});
}

TEST_F(NetTest, DVPortLossAndRecovery) {
  Uplinks("dvport", true, "hynic1", {{"101", 0}, {"102", 1}, {"103", 2}});
  h->Advance(2);
  EXPECT_EQ(Posted(), (Strings{
      "nox.problem.net.dvport.connectivity.lost: Lost network connectivity on DVPorts: \"101/kds0\". "
      "Physical NIC hynic1 is down.",
      "nox.problem.net.dvport.redundancy.lost: Lost uplink redundancy on DVPorts: \"102/kds0\". "
      "Physical NIC hynic1 is down.",
      "nox.problem.net.dvport.redundancy.degraded: Uplink redundancy degraded on DVPorts: \"103/kds0\". "
      "Physical NIC hynic1 is down."}));
  Uplinks("dvport", false, "hynic1", {{"101", 1}, {"102", 2}, {"103", 3}});
  h->Advance(2);
  EXPECT_EQ(Posted(), (Strings{
      "nox.clear.net.dvport.connectivity.restored: Network connectivity restored on DVPorts: \"101/kds0\". "
      "Physical NIC hynic1 is up",
      "nox.clear.net.dvport.redundancy.restored: Uplink redundancy restored on DVPorts: \"102/kds0\", "
      "\"103/kds0\". Physical NIC hynic1 is up recently"}));
}

// Connectivity restored is not posted while another port group is still without it (nor late); redundancy
// restored waits until every loss is matched.
TEST_F(NetTest, RestorationsWaitForTheWholeHost) {
  PgDown("hynic1", {{"P2", 0}});
  PgDown("hynic2", {{"P3", 0}});
  h->Advance(2);
  EXPECT_EQ(Ids(), (Strings{kConnectivityLost, kConnectivityLost}));
  PgUp("hynic1", {{"P2", 1}});
  h->Advance(2);
  EXPECT_EQ(Ids(), Strings{});
  PgUp("hynic2", {{"P3", 1}});
  h->Advance(2);
  EXPECT_EQ(Posted(), Strings{"nox.clear.net.connectivity.restored: Network connectivity restored on "
                              "virtual switch \"vSwitch1\", portgroups: \"P3\". Physical NIC hynic2 is up"});
  PgDown("hynic1", {{"P1", 2}});
  PgDown("hynic2", {{"VM Network", 2}});
  h->Advance(2);
  h->Take();
  PgUp("hynic1", {{"P1", 3}});
  h->Advance(2);
  EXPECT_EQ(Ids(), Strings{});
  PgUp("hynic2", {{"VM Network", 3}});
  h->Advance(2);
  EXPECT_EQ(Posted(), Strings{"nox.clear.net.redundancy.restored: Uplink redundancy restored on virtual "
                              "switch \"vSwitch0\", portgroups: \"P1\", \"VM Network\". Physical NIC hynic2 is up"});
}

TEST_F(NetTest, OneTimerServesEveryNicAtItsOwnDeadline) {
  Watchdog("hynic3");
  PgDown("hynic1", {{"P1", 0}});  // due first: the timer is moved earlier
  h->Advance(1);
  PgDown("hynic2", {{"P3", 0}});
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
  LinkUp("hynic4");  // a NIC without uplink transitions
  h->Advance(1);
  EXPECT_EQ(Posted(), Strings{"nox.clear.net.hynic.linkstate.up: Physical NIC hynic4 linkstate is up"});
}

// hynic1 fails and recovers inside its watchdog window, hynic2 stays down: each decided when the window ends.
TEST_F(NetTest, WatchdogWindowReportsATransientFailureOrHoldsBackALoss) {
  Watchdog("hynic1");
  Watchdog("hynic2");
  LinkDown("hynic1");
  PgDown("hynic1", {{"P1", 0}});
  PgDown("hynic2", {{"P3", 0}});
  h->Advance(2);
  LinkUp("hynic1");
  PgUp("hynic1", {{"P1", 1}});
  h->Advance(4);
  EXPECT_EQ(Ids(), Strings{});
  h->Advance(1);
  EXPECT_EQ(Posted(), (Strings{"nox.problem.net.hynic.watchdog.reset: Uplink hynic1 has recovered from a "
                               "transient failure due to watchdog timeout",
                               "nox.problem.net.connectivity.lost: Lost network connectivity on virtual switch "
                               "\"vSwitch1\". Physical NIC hynic2 is down. Affected port groups: \"P3\""}));
  h->Advance(10);
  EXPECT_EQ(Ids(), Strings{});
  // The windows ended with their decisions (hynic1's flags all cleared): the next losses are not held back.
  LinkDown("hynic1");
  LinkDown("hynic2");
  h->Advance(1);
  EXPECT_EQ(Ids(), (Strings{kLinkDown, kLinkDown}));
}

// Watchdog windows, step by step: every loss and every recovery a window sees reaches hubd exactly once, a
// decision is never repeated by a record due in the same wake-up, and a second window outlives the first.
TEST_F(NetTest, WatchdogWindowsReportEveryLossAndRecoveryOnce) {
  const std::string nic = "hynic1";
  int now = 0;
  Strings timeline;
  auto at = [&](int t) {
    for (; now < t; now++) {
      h->Advance(1);
      for (const std::string &id : Ids()) timeline.push_back(std::to_string(now + 1) + " " + id.substr(id.find(".net.") + 5));
    }
  };
  auto dv = [&](bool down, const Active &list) { Uplinks("dvport", down, nic, list); };
  struct Case {
    const char *name;
    std::function<void()> play;
    Strings expected;
  } cases[] = {
      {"link-down due with the decision", [&] { Watchdog(nic); at(6); LinkDown(nic); },
       {"7 hynic.linkstate.down"}},
      {"link-down beside the port group loss", [&] { Watchdog(nic); at(6); LinkDown(nic); PgDown(nic, {{"P1", 1}}); },
       {"7 redundancy.lost"}},
      {"second window outlives the first",
       [&] { Watchdog(nic); at(3); Watchdog(nic); at(7); PgDown(nic, {{"P1", 1}}); at(8); PgUp(nic, {{"P1", 2}}); },
       {"10 hynic.watchdog.reset"}},
      {"link-only loss and recovery", [&] { Watchdog(nic); LinkDown(nic); at(8); Watchdog(nic); LinkUp(nic); },
       {"7 hynic.linkstate.down", "15 hynic.linkstate.up"}},
      {"window with only a port group up",
       [&] {
         PgDown(nic, {{"P1", 0}});
         at(3); Watchdog(nic); PgUp(nic, {{"P1", 1}});
         at(12); PgDown(nic, {{"P1", 0}});
         at(15); PgUp(nic, {{"P1", 1}});
       },
       {"2 connectivity.lost", "10 connectivity.restored", "14 connectivity.lost", "17 connectivity.restored"}},
      {"port group and DVPort down in one window",
       [&] {
         Watchdog(nic); PgDown(nic, {{"P1", 0}}); dv(true, {{"101", 0}});
         at(10); LinkDown(nic);
         at(12); dv(true, {{"102", 1}});
       },
       {"7 connectivity.lost", "7 dvport.connectivity.lost", "11 hynic.linkstate.down", "14 dvport.redundancy.lost"}},
      {"transient failure on both kinds of switch",
       [&] {
         Watchdog(nic); PgDown(nic, {{"P1", 1}}); dv(true, {{"101", 1}});
         at(2); PgUp(nic, {{"P1", 2}}); dv(false, {{"101", 2}});
         at(10); dv(true, {{"101", 1}});
       },
       {"7 hynic.watchdog.reset", "12 dvport.redundancy.lost"}},
  };
  for (Case &c : cases) {
    h.reset();
    SetUp();
    now = 0;
    timeline.clear();
    c.play();
    at(now + 20);
    EXPECT_EQ(timeline, c.expected) << c.name;
  }
}

TEST_F(NetTest, FlappingLinkIsTakenDownOncePerSeries) {
  // A failed take-down still empties the count.
  h->WriteHostModel(std::string(kHostModel) + "fail nicdown hynic2\n");
  for (int i = 0; i < 4; i++) LinkDown("hynic2");
  h->WriteHostModel(kHostModel);
  for (int i = 0; i < 3; i++) LinkDown("hynic2");
  EXPECT_EQ(h->Journal(), "");
  LinkDown("hynic2");
  EXPECT_NE(h->Journal().find("nic.down hynic2"), std::string::npos);
  const std::string three = "advoption Net LinkFlappingThreshold 3\n";
  // Link-downs of hynic2 at seconds from the first, and the take-downs expected (events and journal lines).
  struct { const char *name; std::string hostModel; std::vector<int> downAt; size_t takeDowns; } cases[] = {
      {"fourth within the window", three, {0, 1, 2, 3}, 1},
      {"eighth is the fourth of the second series", three, {0, 1, 2, 3, 4, 5, 6, 7}, 2},
      {"oldest aged out", three, {0, 20, 40, 61}, 0},
      {"exactly 60 seconds old still counts", three, {0, 20, 40, 60}, 1},
      {"threshold 0", "advoption Net LinkFlappingThreshold 0\n", {0, 0, 0, 0, 0, 0}, 0},
      {"low 32 bits 0", "advoption Net LinkFlappingThreshold 0x100000000\n", {0, 0, 0, 0, 0}, 0},
      {"option missing", "", {0, 0, 0, 0, 0}, 0},
      {"take-down fails", three + "fail nicdown hynic2\n", {0, 0, 0, 0}, 0},
  };
  for (const auto &c : cases) {
    CorrelatorHarness hc(NetCorrelator_Def(), c.hostModel);
    int at = 0;
    Strings events;
    for (int t : c.downAt) {
      hc.Advance(t - at);
      at = t;
      hc.Send("kel.net.hynic.linkstate.down", "%s", {KelArg::Str("hynic2")});
      for (const PostedEvent &e : hc.Take()) {
        if (e.id == "nox.problem.net.hynic.linkstate.flapping") events.push_back(e.message);
      }
    }
    EXPECT_EQ(events, Strings(c.takeDowns, "Taking down physical NIC hynic2 because the link is flapping.")) << c.name;
    std::string journal = hc.Journal();
    size_t nicDowns = 0;
    for (size_t p = 0; (p = journal.find(" nic.down hynic2\n", p)) != std::string::npos; p++) nicDowns++;
    EXPECT_EQ(nicDowns, c.takeDowns) << c.name << "\n" << journal;
  }
}

}  // namespace
