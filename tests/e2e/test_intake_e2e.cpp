// The daemon as a process: options, signals, intake of kernel contexts and
// user connections, buffer growth and context reset.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "faultKit.h"

namespace {

TEST(KeldOptions, UsageExitsZeroAndBuildMismatchPanics) {
  KeldHost host;
  const std::string usage =
      "Usage: " + KeldHost::Tool("keld") + " [options]\nvalid options are:\n\t--help|-h - display this help\n";
  using Args = std::vector<std::string>;
  for (const Args &args : {Args{"-h"}, Args{"-l", "3"}, Args{"-t"}, Args{"--bogus"}, Args{"-e", "-h"}}) {
    std::string out;
    EXPECT_EQ(host.Run("keld", args, &out), 0) << args[0];
    EXPECT_NE(out.find(usage), std::string::npos) << out;
  }
  // -e before -h: usage before any configuration write.
  EXPECT_EQ(host.Journal().find("config.set"), std::string::npos);

  KeldHost mismatch(KeldHost::DefaultHostModel() + "build mismatch \"KERNEL-2026-11-30\"\n");
  std::string out;
  EXPECT_EQ(mismatch.Run("keld", {}, &out), 128 + SIGABRT);
  EXPECT_NE(out.find("Keld - Panic: md5 signature mismatch with running hykernel built on KERNEL-2026-11-30"),
            std::string::npos)
      << out;
  EXPECT_EQ(mismatch.SyslogLines("Keld - Panic: ").size(), 1u);
  EXPECT_EQ(mismatch.SyslogLines("md5 signature mismatch with running hykernel").size(), 1u);
}

// -e writes the kernel option (and only -e does); TERM and INT end with 0; PIPE is ignored.
TEST(KeldSignals, TermAndIntExitZeroAndPipeIsIgnored) {
  for (int sig : {SIGTERM, SIGINT}) {
    KeldHost host;
    ASSERT_TRUE(sig == SIGTERM ? host.StartKeld({"-e"}) : host.StartKeld());
    EXPECT_EQ(host.Journal().find("config.set Misc KelAsyncEnable 1") != std::string::npos, sig == SIGTERM);
    kill(host.KeldPid(), SIGPIPE);
    ASSERT_EQ(host.Inject({"--ctx", "2", "kel.user.after.pipe", "still alive"}), 0);
    ASSERT_TRUE(host.WaitSyslog("[kel.user.after.pipe]"));
    int status = host.StopKeld(sig);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << sig << ": " << status;
    std::string log = host.Syslog();
    size_t signalLine = log.find("Exiting due to signal.\n");
    EXPECT_NE(signalLine, std::string::npos);
    EXPECT_LT(signalLine, log.find("Exiting. rc:0\n"));
  }
}

TEST(KeldIntake, RoutingBufferGrowthAndOversizedRecordReset) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeld());
  ASSERT_EQ(host.Inject({"--ctx", "7", "kel.user.anything", "via %s", "s:kernel"}), 0);
  ASSERT_EQ(host.Inject({"--user", "kel.user.anything", "via %s", "s:user"}), 0);
  for (const char *id : {"kel.scsi.nosuch", "kel.net.nosuch", "kel.nobody.listens"}) {
    ASSERT_EQ(host.Inject({"--ctx", "0", id, "x"}), 0);
  }
  ASSERT_EQ(host.Inject({"--ctx", "0", "kel.user.marker", "last"}), 0);
  ASSERT_TRUE(host.WaitSyslog("[kel.user.marker] last"));
  ASSERT_TRUE(host.WaitSyslog("No correlator for kel.scsi.nosuch "));
  EXPECT_NE(host.Syslog().find(": No correlator for kel.scsi.nosuch \n"), std::string::npos);
  std::vector<std::string> lines = host.SyslogLines("[kel.user.anything]");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("[GenericCorrelator] "), std::string::npos);
  EXPECT_NE(lines[0].find("via kernel"), std::string::npos);
  EXPECT_NE(lines[1].find("via user"), std::string::npos);
  EXPECT_TRUE(host.SyslogLines("kel.net.nosuch").empty());  // nor by a logger, which runs only with extras
  EXPECT_TRUE(host.SyslogLines("kel.nobody.listens").empty());

  // A record past the initial buffer grows it; one past the largest buffer resets its context.
  ASSERT_EQ(host.Inject({"--ctx", "4", "kel.user.big", "%s", "s:" + std::string(9000, 'b')}), 0);
  ASSERT_TRUE(host.WaitSyslog("[kel.user.big]"));
  std::string half(70000, 'h');
  ASSERT_EQ(host.Inject({"--ctx", "4", "kel.user.huge", "%s%s", "s:" + half, "s:" + half}), 0);
  ASSERT_EQ(host.Inject({"--ctx", "4", "kel.user.after", "after the reset"}), 0);
  ASSERT_TRUE(host.WaitSyslog("[kel.user.after]"));
  EXPECT_TRUE(host.SyslogLines("[kel.user.huge]").empty());
  EXPECT_TRUE(host.KeldRunning());
}

bool SendOn(int fd, const std::string &id) {
  std::vector<uint8_t> r = KelRecord_Build(id, "user record", {}, 1);
  return send(fd, r.data(), r.size(), 0) == static_cast<ssize_t>(r.size());
}

TEST(KeldIntake, EightUserConnectionsAtATime) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeld());
  std::vector<int> fds;
  for (int i = 0; i < 8; i++) {
    fds.push_back(ConnectUser(host));
    ASSERT_GE(fds.back(), 0);
    // Each connection is admitted before the next one arrives.
    ASSERT_TRUE(SendOn(fds.back(), "kel.user.cnx" + std::to_string(i)));
    ASSERT_TRUE(host.WaitSyslog("[kel.user.cnx" + std::to_string(i) + "]"));
  }
  int ninth = ConnectUser(host);
  ASSERT_GE(ninth, 0);
  struct pollfd p = {ninth, POLLIN, 0};
  char c;
  EXPECT_TRUE(poll(&p, 1, 10000) > 0 && recv(ninth, &c, 1, 0) == 0) << "the ninth is closed by keld";
  close(ninth);
  for (int i = 0; i < 8; i++) ASSERT_TRUE(SendOn(fds[i], "kel.user.again" + std::to_string(i)));
  for (int i = 0; i < 8; i++) EXPECT_TRUE(host.WaitSyslog("[kel.user.again" + std::to_string(i) + "]"));

  // A closed connection frees its slot for a new one.
  close(fds[3]);
  int fresh = -1;
  ASSERT_TRUE(KeldHost::WaitFor([&] {
    if (fresh >= 0) close(fresh);
    fresh = ConnectUser(host);
    return fresh >= 0 && SendOn(fresh, "kel.user.fresh") &&
           host.WaitSyslog("[kel.user.fresh]", 1, std::chrono::milliseconds(300));
  }));
  fds[3] = fresh;
  for (int fd : fds) close(fd);
}

}  // namespace
