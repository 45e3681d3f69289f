// Events to hubd and the trace socket, end to end.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "keldHost.h"

namespace {

std::string Queued(const std::string &id) {
  return "An event (" + id + ") could not be sent immediately to hubd; queueing for retry.";
}

// Events reach hubd with the host's UUID and their arguments; with no hubd, or
// for hubd's own crash, they wait in the retry queue (its pass, 180 s later, is
// covered by the unit tests under the fake clock).
TEST(KeldDelivery, EventsReachHubdOrWaitInTheRetryQueue) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeld());
  ASSERT_EQ(host.Inject({"--ctx", "1", "kel.net.firewall.disabled", "off"}), 0);
  EXPECT_TRUE(host.WaitSyslog(Queued("nox.audit.net.firewall.disabled")));

  ASSERT_TRUE(host.StartHubd());
  ASSERT_EQ(host.Inject({"--ctx", "9", "kel.net.firewall.disabled", "off"}), 0);
  ASSERT_EQ(host.Inject({"--user", "kel.net.firewall.enabled", "on for %s", "s:port \"7\""}), 0);
  const std::string crash = "%s crashed (%d), core at %s";
  ASSERT_EQ(host.Inject({"kel.uw.core.dumped", crash, "s:/usr/lib/hubd", "i:11", "s:/var/core/hubd.core"}), 0);
  ASSERT_EQ(host.Inject({"kel.uw.core.dumped", crash, "s:alpha-svc", "i:12", "s:/var/core/alpha-svc.core"}), 0);
  // The crashes are handled in order: when the second has arrived the first has been queued.
  ASSERT_TRUE(host.WaitHubd(3));
  EXPECT_TRUE(host.WaitSyslog(Queued("nox.problem.hubd.core.dumped")));
  std::vector<std::string> got = host.HubdLines();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_NE(got[0].find("\"id\":\"nox.audit.net.firewall.disabled\""), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\"uuid\":\"564d0c1e-4a6b-7e2f-9a3c-0123456789ab\""), std::string::npos) << got[0];
  EXPECT_NE(got[0].find("\"args\":[]"), std::string::npos) << got[0];
  EXPECT_NE(got[1].find("\"args\":[\"port \\\"7\\\"\"]"), std::string::npos) << got[1];
  EXPECT_NE(got[2].find("\"id\":\"nox.problem.application.core.dumped\""), std::string::npos) << got[2];
  EXPECT_NE(got[2].find("\"args\":[\"alpha-svc\",1,\"/var/core/alpha-svc.core\"]"), std::string::npos) << got[2];
  EXPECT_EQ(host.SyslogLines("[nox.audit.net.firewall.enabled] Firewall has been enabled for port port \"7\"").size(),
            1u);
  EXPECT_TRUE(host.KeldRunning());
}

// Starts keltrace writing into R/<name>; returns its pid.
pid_t StartTrace(const KeldHost &host, const std::string &name) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("KELD_ROOT", host.Root().c_str(), 1);
    std::string out = host.Path("/" + name), tool = KeldHost::Tool("keltrace");
    if (!freopen(out.c_str(), "w", stdout)) _exit(127);
    execl(tool.c_str(), tool.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  return pid;
}

void StopTrace(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// Observations and events are traced, by a keld whose killed predecessor left its socket file behind.
TEST(KeldTrace, ObservationsAndEventsAreTracedPastAStaleSocket) {
  KeldHost host;
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  host.StopKeld(SIGKILL);
  ASSERT_TRUE(host.StartKeld());
  pid_t trace = StartTrace(host, "trace.out");
  // The empty line marks the end of the history: the client is live.
  ASSERT_TRUE(KeldHost::WaitFor([&] { return !host.Lines("/trace.out").empty(); }));
  ASSERT_EQ(host.Inject({"--ctx", "3", "--time", "42", "kel.x.y", "%d %s", "i:7", "s:a\"b"}), 0);
  ASSERT_EQ(host.Inject({"--ctx", "3", "kel.net.firewall.enabled", "%s", "s:port1"}), 0);
  ASSERT_TRUE(KeldHost::WaitFor([&] { return host.ReadFile("/trace.out").find(",OUT,") != std::string::npos; }));
  std::string in, out;
  for (const std::string &l : host.Lines("/trace.out")) {
    if (l.find(",IN,42,") != std::string::npos) in = l;
    if (l.find(",OUT,") != std::string::npos) out = l;
  }
  EXPECT_NE(in.find(",IN,42,kel.x.y,,7,\"a\"\"b\""), std::string::npos) << in;
  EXPECT_NE(out.find(",nox.audit.net.firewall.enabled,,\"port1\""), std::string::npos) << out;
  StopTrace(trace);
}

// A non-empty directory where the trace socket should be: it cannot be removed, keld goes on without it.
TEST(KeldTrace, UnusableSocketPathIsSurvived) {
  KeldHost host;
  ASSERT_EQ(system(("mkdir -p " + host.Path("/var/run/ombrel/keld-trace.sock/x")).c_str()), 0);
  ASSERT_TRUE(host.StartKeld());
  ASSERT_EQ(host.Inject({"--ctx", "0", "kel.user.still.works", "yes"}), 0);
  EXPECT_TRUE(host.WaitSyslog("[kel.user.still.works]"));
}

}  // namespace
