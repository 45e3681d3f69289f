// The extra agents of keldx: the logger of every domain, and the self-test
// correlator run as it is meant to run.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "kelRecord.h"
#include "kelSend.h"
#include "keldHost.h"

namespace {

// Plain keld runs no logger: the intake tests see nothing logged for an unhandled kel.net ID.
TEST(LoggerAgent, LogsItsDomainsBesideTheCorrelators) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeldAs("keldx"));
  ASSERT_EQ(host.Inject({"--ctx", "6", "kel.net.hynic.linkstate.down", "link %s down", "s:hynic9"}), 0);
  ASSERT_EQ(host.Inject({"--ctx", "6", "kel.mem.x", "memory"}), 0);
  ASSERT_EQ(host.Inject({"--ctx", "6", "kel.user.marker", "last"}), 0);
  ASSERT_TRUE(host.WaitSyslog("[kel.user.marker]", 2));  // logger and Generic
  ASSERT_TRUE(host.WaitSyslog("[kel.net.hynic.linkstate.down]", 2));
  std::vector<std::string> down = host.SyslogLines("[kel.net.hynic.linkstate.down]");
  ASSERT_EQ(down.size(), 2u);
  bool byLogger = false, byNet = false;
  for (const std::string &l : down) {
    byLogger |= l.find("[LogAllLogger] ") != std::string::npos;
    byNet |= l.find("[netCorrelator] ") != std::string::npos;
  }
  EXPECT_TRUE(byLogger && byNet);
  std::vector<std::string> mem = host.SyslogLines("[kel.mem.x]");
  ASSERT_EQ(mem.size(), 1u);
  EXPECT_NE(mem[0].find("[LogAllLogger] "), std::string::npos);
}

// The test observations come from kelinject (the real record builder), with a corrupt record inside the corrupt
// window that must never reach the correlator. The verdict is the correlator's: its exit status and last line.
TEST(KeldTestE2E, SelfTestRunPasses) {
  KeldHost host;
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeldAs("keldx"));
  ASSERT_EQ(host.Inject({"kel.tests.marker.start", "start"}), 0);
  ASSERT_EQ(host.Inject({"--file", KELD_SOURCE_DIR "/tests/data/keldtest_run.scenario"}), 0);
  ASSERT_EQ(host.Inject({"kel.tests.marker.corruptions.start", "corruptions start"}), 0);
  // Its total length claims more bytes than the datagram carries: the observation library must drop it.
  std::vector<uint8_t> record = KelRecord_Build("kel.tests.corrupt.record", "%s", {KelArg::Str("x")}, 1);
  record[16] = record[17] = 0xff;  // total length, low bytes
  setenv("KELD_ROOT", host.Root().c_str(), 1);
  std::string error;
  bool sent = KelSend_ToKernel(0, record.data(), record.size(), &error);
  unsetenv("KELD_ROOT");
  ASSERT_TRUE(sent) << error;
  ASSERT_EQ(host.Inject({"kel.tests.marker.corruptions.end", "corruptions end"}), 0);
  ASSERT_EQ(host.Inject({"kel.tests.marker.end", "end"}), 0);

  int status = host.WaitKeldExit();
  std::string out = host.ReadFile("/keld.out");
  ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << out;
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  EXPECT_NE(out.find("\nINFO: Tests completed. Failures = 0\n"), std::string::npos) << out;
  // The corrupt record did arrive, and was dropped before any agent saw it.
  EXPECT_EQ(host.SyslogLines("dropped a malformed observation record").size(), 1u);

  // The posting tests: the five events that fit reached hubd, in order; the
  // huge argument and the huge identifier were dropped.
  ASSERT_TRUE(host.WaitHubd(5));
  std::vector<std::string> lines = host.HubdLines();
  const char *ids[] = {"nox.problem.keldtestcorrelator.test.0", "nox.problem.keldtestcorrelator.test.1d",
                       "nox.problem.keldtestcorrelator.test.1s", "nox.audit.keldtestcorrelator.test",
                       "nox.clear.keldtestcorrelator.test"};
  ASSERT_EQ(lines.size(), 5u);
  for (size_t i = 0; i < 5; i++) {
    EXPECT_NE(lines[i].find(std::string("\"id\":\"") + ids[i] + "\""), std::string::npos) << lines[i];
  }
  EXPECT_NE(lines[4].find("\"args\":[\"Three\",3,\"arg\"]"), std::string::npos) << lines[4];
}

}  // namespace
