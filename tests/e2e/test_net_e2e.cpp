// The network correlator in the running daemon, with the real timers: uplink
// loss and recovery of a standard switch, a NIC's link state on its own, and
// the watchdog window. Each test takes a few seconds of wall-clock time.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "keldHost.h"

namespace {

using Strings = std::vector<std::string>;

// "ID [ARGS]" of one hubdsink line, e.g. nox.clear.x ["a",1].
std::string Summary(const std::string &line) {
  size_t id = line.find("\"id\":\"");
  size_t idEnd = line.find("\",\"uuid\"");
  size_t args = line.find("\"args\":");
  if (id == std::string::npos || idEnd == std::string::npos || args == std::string::npos) return line;
  return line.substr(id + 6, idEnd - id - 6) + " " + line.substr(args + 7, line.size() - args - 8);
}

// Event time of one hubdsink line, in microseconds.
uint64_t EventTime(const std::string &line) { return std::stoull(line.substr(line.find(':') + 1)); }

uint64_t NowMicros() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

class NetE2E : public ::testing::Test {
 protected:
  void Start(const std::string &extraModel) {
    host = std::make_unique<KeldHost>(KeldHost::DefaultHostModel() + extraModel);
    ASSERT_TRUE(host->StartHubd());
    ASSERT_TRUE(host->StartKeld());
  }
  // Sends a scenario (kelinject --file lines) at the start of a second;
  // returns the time it started.
  uint64_t Play(const std::string &scenario) {
    std::ofstream(host->Path("/scenario")) << scenario;
    KeldHost::StartOfNextSecond();
    uint64_t start = NowMicros();
    EXPECT_EQ(host->Inject({"--file", host->Path("/scenario")}), 0);
    return start;
  }
  // Waits for `count` events in all; returns the summaries of those after the
  // first `skip`.
  Strings Events(size_t count, size_t skip, uint64_t notBefore) {
    EXPECT_TRUE(host->WaitHubd(count, std::chrono::milliseconds(15000)));
    Strings out;
    Strings lines = host->HubdLines();
    for (size_t i = skip; i < lines.size(); i++) {
      EXPECT_GE(EventTime(lines[i]), notBefore) << lines[i];
      out.push_back(Summary(lines[i]));
    }
    return out;
  }
  std::unique_ptr<KeldHost> host;
};

TEST_F(NetE2E, UplinkLossAndRecoveryOnAStandardSwitch) {
  Start("portgroup P1 vSwitch0\nportgroup P2 vSwitch0\n");
  uint64_t down = Play(
      "+0 kel.net.hynic.linkstate.down \"Link down %s\" s:hynic1\n"
      "+0.1 kel.net.pg.uplink.transition.down \"%s %s %d %d\" s:hynic1 s:P1 i:1 i:0\n"
      "+0 kel.net.pg.uplink.transition.down \"%s %s %d %d\" s:hynic1 s:P2 i:0 i:0\n");
  EXPECT_EQ(Events(2, 0, down + 1000000), (Strings{
      R"(nox.problem.net.connectivity.lost ["\"vSwitch0\"","hynic1","\"P2\""])",
      R"(nox.problem.net.redundancy.lost ["\"vSwitch0\"","hynic1","\"P1\""])"}));

  uint64_t up = Play(
      "+0 kel.net.hynic.linkstate.up \"Link up %s\" s:hynic1\n"
      "+0.1 kel.net.pg.uplink.transition.up \"%s %s %d\" s:hynic1 s:P2 i:1\n"
      "+0 kel.net.pg.uplink.transition.up \"%s %s %d\" s:hynic1 s:P1 i:2\n");
  EXPECT_EQ(Events(4, 2, up + 1000000), (Strings{
      R"(nox.clear.net.connectivity.restored ["\"vSwitch0\"","\"P2\"","hynic1"])",
      R"(nox.clear.net.redundancy.restored ["\"vSwitch0\"","\"P1\"","hynic1"])"}));
}

TEST_F(NetE2E, LinkStateOfANicWithoutPortGroups) {
  Start("");
  uint64_t down = Play("+0 kel.net.hynic.linkstate.down \"Link down %s\" s:hynic3\n");
  EXPECT_EQ(Events(1, 0, down + 500000), Strings{R"(nox.problem.net.hynic.linkstate.down ["hynic3"])"});
  uint64_t up = Play("+0 kel.net.hynic.linkstate.up \"Link up %s\" s:hynic3\n");
  EXPECT_EQ(Events(2, 1, up + 500000), Strings{R"(nox.clear.net.hynic.linkstate.up ["hynic3"])"});
}

// hynic1 goes down and comes back inside its watchdog window; hynic2 goes
// down and stays down.
TEST_F(NetE2E, WatchdogWindowReportsTransientFailureOrHeldBackLoss) {
  Start("portgroup P1 vSwitch0\nportgroup P3 vSwitch1\n");
  uint64_t start = Play(
      "+0 kel.net.uplink.watchdog.timeout \"Watchdog %s\" s:hynic1\n"
      "+0 kel.net.uplink.watchdog.timeout \"Watchdog %s\" s:hynic2\n"
      "+0 kel.net.hynic.linkstate.down \"Link down %s\" s:hynic1\n"
      "+0 kel.net.pg.uplink.transition.down \"%s %s %d %d\" s:hynic1 s:P1 i:0 i:0\n"
      "+0 kel.net.pg.uplink.transition.down \"%s %s %d %d\" s:hynic2 s:P3 i:0 i:0\n"
      "+2.5 kel.net.hynic.linkstate.up \"Link up %s\" s:hynic1\n"
      "+0 kel.net.pg.uplink.transition.up \"%s %s %d\" s:hynic1 s:P1 i:1\n");
  EXPECT_EQ(Events(2, 0, start + 6000000), (Strings{
      R"(nox.problem.net.hynic.watchdog.reset ["hynic1"])",
      R"(nox.problem.net.connectivity.lost ["\"vSwitch1\"","hynic2","\"P3\""])"}));
}

}  // namespace
