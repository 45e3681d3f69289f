// Events to hubd and the trace socket, end to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "keldHost.h"

namespace {

size_t CountLines(const std::vector<std::string> &lines, const std::string &needle) {
  size_t n = 0;
  for (const std::string &l : lines) n += l.find(needle) != std::string::npos;
  return n;
}

TEST(KeldDelivery, EventReachesHubdWithHostUuidAndArguments) {
  KeldHost host;
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  ASSERT_EQ(host.Inject({"--ctx", "9", "kel.net.firewall.disabled", "off"}), 0);
  ASSERT_EQ(host.Inject({"--user", "kel.net.firewall.enabled", "on for %s", "s:port \"7\""}), 0);
  ASSERT_TRUE(host.WaitHubd(2));
  std::vector<std::string> got = host.HubdLines();
  EXPECT_NE(got[0].find("\"id\":\"nox.audit.net.firewall.disabled\""), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\"uuid\":\"564d0c1e-4a6b-7e2f-9a3c-0123456789ab\""), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\"args\":[]"), std::string::npos) << got[0];
  EXPECT_NE(got[1].find("\"args\":[\"port \\\"7\\\"\"]"), std::string::npos) << got[1];
  EXPECT_EQ(host.SyslogLines("[nox.audit.net.firewall.enabled] Firewall has been enabled for port port \"7\"").size(),
            1u);
}

TEST(KeldDelivery, HubdAbsentQueuesTheEvent) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeld());
  ASSERT_EQ(host.Inject({"--ctx", "1", "kel.net.firewall.disabled", "off"}), 0);
  EXPECT_TRUE(host.WaitSyslog(
      "An event (nox.audit.net.firewall.disabled) could not be sent immediately to hubd; queueing for retry."));
  EXPECT_TRUE(host.KeldRunning());
}

// Starts keltrace writing into R/<name>; returns its pid.
pid_t StartTrace(const KeldHost &host, const std::string &name) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("KELD_ROOT", host.Root().c_str(), 1);
    std::string out = host.Path("/" + name);
    if (!freopen(out.c_str(), "w", stdout)) _exit(127);
    std::string tool = KeldHost::Tool("keltrace");
    execl(tool.c_str(), tool.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  return pid;
}

void StopTrace(pid_t pid) {
  kill(pid, SIGTERM);
  int status;
  waitpid(pid, &status, 0);
}

TEST(KeldTrace, ObservationsAndEventsAreTraced) {
  KeldHost host;
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  pid_t trace = StartTrace(host, "trace.out");
  // The empty line marks the end of the history: the client is live.
  ASSERT_TRUE(KeldHost::WaitFor([&] { return CountLines(host.Lines("/trace.out"), "") > 0; }));
  ASSERT_EQ(host.Inject({"--ctx", "3", "--time", "42", "kel.x.y", "%d %s", "i:7", "s:a\"b"}), 0);
  ASSERT_EQ(host.Inject({"--ctx", "3", "kel.net.firewall.enabled", "%s", "s:port1"}), 0);
  ASSERT_TRUE(KeldHost::WaitFor([&] { return CountLines(host.Lines("/trace.out"), ",OUT,") == 1; }));
  std::vector<std::string> lines = host.Lines("/trace.out");
  std::string in, out;
  for (const std::string &l : lines) {
    if (l.find(",IN,42,") != std::string::npos) in = l;
    if (l.find(",OUT,") != std::string::npos) out = l;
  }
  EXPECT_NE(in.find(",IN,42,kel.x.y,,7,\"a\"\"b\""), std::string::npos) << in;
  EXPECT_NE(out.find(",nox.audit.net.firewall.enabled,,\"port1\""), std::string::npos) << out;
  StopTrace(trace);
}

TEST(KeldTrace, StaleSocketIsReplacedAndUnusablePathIsSurvived) {
  {
    KeldHost host;
    ASSERT_TRUE(host.StartKeld());
    host.StopKeld(SIGKILL);  // leaves the socket file behind
    ASSERT_TRUE(host.StartKeld());
    pid_t trace = StartTrace(host, "trace.out");
    EXPECT_TRUE(KeldHost::WaitFor([&] { return !host.Lines("/trace.out").empty(); }));
    StopTrace(trace);
  }
  {
    KeldHost host;
    // A non-empty directory where the socket should be: it cannot be removed.
    ASSERT_EQ(system(("mkdir -p " + host.Path("/var/run/ombrel/keld-trace.sock/x")).c_str()), 0);
    ASSERT_TRUE(host.StartKeld());
    ASSERT_EQ(host.Inject({"--ctx", "0", "kel.user.still.works", "yes"}), 0);
    EXPECT_TRUE(host.WaitSyslog("[kel.user.still.works]"));
  }
}

}  // namespace
