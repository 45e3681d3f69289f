// The network correlator in the running daemon, with the real timers (a few
// seconds of wall-clock time per test).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "keldHost.h"

namespace {

using Strings = std::vector<std::string>;

// "ID [ARGS]" of one hubdsink line, e.g. nox.clear.x ["a",1].
std::string Summary(const std::string &line) {
  size_t id = line.find("\"id\":\"") + 6, args = line.find("\"args\":") + 7;
  return line.substr(id, line.find('"', id) - id) + " " + line.substr(args, line.size() - args - 1);
}

// Sends a scenario (kelinject --file lines) at the start of a second; returns
// the time it started, in microseconds.
uint64_t Play(KeldHost &host, const std::string &scenario) {
  std::ofstream(host.Path("/scenario")) << scenario;
  KeldHost::StartOfNextSecond();
  auto now = std::chrono::system_clock::now().time_since_epoch();
  EXPECT_EQ(host.Inject({"--file", host.Path("/scenario")}), 0);
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

// Waits for `count` events in all; the summaries of those after the first
// `skip`, each sent no earlier than `notBefore` (the hold-back timers).
Strings Events(KeldHost &host, size_t count, size_t skip, uint64_t notBefore) {
  EXPECT_TRUE(host.WaitHubd(count, std::chrono::milliseconds(15000)));
  Strings out, lines = host.HubdLines();
  for (size_t i = skip; i < lines.size(); i++) {
    EXPECT_GE(std::stoull(lines[i].substr(lines[i].find(':') + 1)), notBefore) << lines[i];
    out.push_back(Summary(lines[i]));
  }
  return out;
}

// hynic1 carries two port groups of one switch; hynic3 carries none.
TEST(NetE2E, UplinkLossAndRecoveryAndLinkStateOfANicWithoutPortGroups) {
  KeldHost host(KeldHost::DefaultHostModel() + "portgroup P1 vSwitch0\nportgroup P2 vSwitch0\n");
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  uint64_t down = Play(host,
      "+0 kel.net.hynic.linkstate.down \"Link down %s\" s:hynic1\n"
      "+0.1 kel.net.pg.uplink.transition.down \"%s %s %d %d\" s:hynic1 s:P1 i:1 i:0\n"
      "+0 kel.net.pg.uplink.transition.down \"%s %s %d %d\" s:hynic1 s:P2 i:0 i:0\n");
  EXPECT_EQ(Events(host, 2, 0, down + 1000000), (Strings{
      R"(nox.problem.net.connectivity.lost ["\"vSwitch0\"","hynic1","\"P2\""])",
      R"(nox.problem.net.redundancy.lost ["\"vSwitch0\"","hynic1","\"P1\""])"}));
  uint64_t up = Play(host,
      "+0 kel.net.hynic.linkstate.up \"Link up %s\" s:hynic1\n"
      "+0.1 kel.net.pg.uplink.transition.up \"%s %s %d\" s:hynic1 s:P2 i:1\n"
      "+0 kel.net.pg.uplink.transition.up \"%s %s %d\" s:hynic1 s:P1 i:2\n");
  EXPECT_EQ(Events(host, 4, 2, up + 1000000), (Strings{
      R"(nox.clear.net.connectivity.restored ["\"vSwitch0\"","\"P2\"","hynic1"])",
      R"(nox.clear.net.redundancy.restored ["\"vSwitch0\"","\"P1\"","hynic1"])"}));

  down = Play(host, "+0 kel.net.hynic.linkstate.down \"Link down %s\" s:hynic3\n");
  EXPECT_EQ(Events(host, 5, 4, down + 500000), Strings{R"(nox.problem.net.hynic.linkstate.down ["hynic3"])"});
  up = Play(host, "+0 kel.net.hynic.linkstate.up \"Link up %s\" s:hynic3\n");
  EXPECT_EQ(Events(host, 6, 5, up + 500000), Strings{R"(nox.clear.net.hynic.linkstate.up ["hynic3"])"});
}

// hynic1 goes down and comes back inside its watchdog window; hynic2 goes
// down and stays down.
TEST(NetE2E, WatchdogWindowReportsTransientFailureOrHeldBackLoss) {
  KeldHost host(KeldHost::DefaultHostModel() + "portgroup P1 vSwitch0\nportgroup P3 vSwitch1\n");
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  uint64_t start = Play(host,
      "+0 kel.net.uplink.watchdog.timeout \"Watchdog %s\" s:hynic1\n"
      "+0 kel.net.uplink.watchdog.timeout \"Watchdog %s\" s:hynic2\n"
      "+0 kel.net.hynic.linkstate.down \"Link down %s\" s:hynic1\n"
      "+0 kel.net.pg.uplink.transition.down \"%s %s %d %d\" s:hynic1 s:P1 i:0 i:0\n"
      "+0 kel.net.pg.uplink.transition.down \"%s %s %d %d\" s:hynic2 s:P3 i:0 i:0\n"
      "+2.5 kel.net.hynic.linkstate.up \"Link up %s\" s:hynic1\n"
      "+0 kel.net.pg.uplink.transition.up \"%s %s %d\" s:hynic1 s:P1 i:1\n");
  EXPECT_EQ(Events(host, 2, 0, start + 6000000), (Strings{
      R"(nox.problem.net.hynic.watchdog.reset ["hynic1"])",
      R"(nox.problem.net.connectivity.lost ["\"vSwitch1\"","hynic2","\"P3\""])"}));
}

}  // namespace
