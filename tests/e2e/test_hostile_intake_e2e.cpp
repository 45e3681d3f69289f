// keld against hostile or unlucky peers, end to end: reads that fill the
// intake buffer, half-closed user connections, descriptor exhaustion, a hubd
// that never accepts at shutdown, and a second keld on the same root. Each
// case prints its figures as "[ figures ]" lines.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "faultKit.h"
#include "testRoot.h"

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A user-level observation of exactly `size` bytes (its string argument padded).
std::vector<uint8_t> RecordOfSize(const std::string &id, size_t size) {
  size_t bare = Record(id, "%s", {KelArg::Str("")}).size();
  return Record(id, "%s", {KelArg::Str(std::string(size > bare ? size - bare : 0, 'p'))});
}

// Records in the flood; KELD_HOSTILE_RECORDS scales it for slow (sanitizer) builds.
size_t FloodSize() {
  const char *env = getenv("KELD_HOSTILE_RECORDS");
  return env != nullptr && atol(env) > 0 ? static_cast<size_t>(atol(env)) : 100000;
}

// One ~100 KB record grows the intake buffer to its largest size; then every
// record of a fast flood must be handled, over a user connection and over a
// kernel context: 512-byte records, and on the kernel context also 16 KiB
// ones (eight of them, all that its queue holds, fill the buffer exactly).
TEST(HostileIntake, NoRecordLostWhenAReadFillsTheBuffer) {
  const size_t count = FloodSize();
  KeldHost host;
  UseRoot(host);
  ASSERT_TRUE(host.StartKeld());
  LogTail log(host.Path("/var/log/syslog"), {"[kel.user.fill.big]", "[kel.user.fill.user.512]",
                                             "[kel.user.fill.ctx.512]", "[kel.user.fill.ctx.16384]"});
  size_t big = 0;
  for (bool user : {true, false}) {
    KelSender out;
    std::string error;
    ASSERT_TRUE(user ? out.OpenUser(&error) : out.OpenKernel(5, &error)) << error;
    ASSERT_TRUE(SendRecord(out, RecordOfSize("kel.user.fill.big", 100000)));
    ASSERT_TRUE(log.WaitCount("[kel.user.fill.big]", ++big, milliseconds(10000)));
    std::vector<std::pair<size_t, size_t>> floods = {{512, count}};
    if (!user) floods.emplace_back(16384, count / 125);
    for (const auto &flood : floods) {
      const std::string id = std::string("kel.user.fill.") + (user ? "user." : "ctx.") + std::to_string(flood.first);
      SCOPED_TRACE(id);
      const std::vector<uint8_t> record = RecordOfSize(id, flood.first);
      ASSERT_EQ(record.size(), flood.first);
      auto start = Clock::now();
      for (size_t i = 0; i < flood.second; i++) ASSERT_TRUE(out.Send(record.data(), record.size(), &error)) << error;
      bool all = log.WaitCount("[" + id + "]", flood.second, milliseconds(30000));
      Figure(id + ": " + std::to_string(log.Count("[" + id + "]")) + " of " + std::to_string(flood.second) +
             " records handled in " + std::to_string(SecondsSince(start)) + " s");
      EXPECT_TRUE(all);
    }
  }
  EXPECT_TRUE(host.KeldRunning());
}

// Eight connections that shut down their sending side and stay open must not
// hold the eight slots, nor make keld spin.
TEST(HostileIntake, HalfClosedUserConnectionsAreClosedAtOnce) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeld());
  double cpuBefore = CpuSeconds(host.KeldPid());
  std::vector<int> halfClosed;
  const std::vector<uint8_t> record = Record("kel.user.half", "then end of file");
  for (int i = 0; i < 8; i++) {
    int fd = ConnectUser(host);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, record.data(), record.size(), 0), static_cast<ssize_t>(record.size()));
    ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
    halfClosed.push_back(fd);
  }
  ASSERT_TRUE(host.WaitSyslog("[kel.user.half]", 8));
  ASSERT_EQ(host.Inject({"--user", "kel.user.good", "served"}), 0);
  EXPECT_TRUE(host.WaitSyslog("[kel.user.good]", 1, milliseconds(5000)));
  double cpu = CpuSeconds(host.KeldPid()) - cpuBefore;
  Figure("half-closed connections: keld used " + std::to_string(cpu) + " s of CPU");
  EXPECT_LT(cpu, 0.2);
  for (int fd : halfClosed) close(fd);
}

// With keld's descriptors used up, clients waiting on both listeners: keld
// pauses the listeners instead of spinning, reports the failures at most once
// a second, and serves again once descriptors are free.
TEST(HostileIntake, DescriptorExhaustionBacksOffAndRecovers) {
  KeldHost host;
  UseRoot(host);
  ASSERT_TRUE(host.StartKeld());
  pid_t pid = host.KeldPid();
  const std::string traceSocket = host.Path("/var/run/ombrel/keld-trace.sock");
  std::vector<int> traceClients;
  ASSERT_EQ(host.Inject({"--user", "kel.user.warm", "everything opened lazily is open"}), 0);
  ASSERT_TRUE(host.WaitSyslog("[kel.user.warm]"));
  // The warm-up connection closes asynchronously: the limit counts from the
  // fewest descriptors seen over a moment, once it is gone.
  size_t base = CountFds(pid);
  for (int i = 0; i < 20; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    base = std::min(base, CountFds(pid));
  }
  const size_t limit = base + 4;
  struct rlimit lowered = {limit, limit};
  ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &lowered, nullptr), 0);
  for (int i = 0; i < 4; i++) traceClients.push_back(ConnectUnix(traceSocket));
  ASSERT_TRUE(KeldHost::WaitFor([&] { return CountFds(pid) >= limit; }));
  // Clients that keld cannot take now: trace clients and user connections wait in the backlogs.
  for (int i = 0; i < 4; i++) traceClients.push_back(ConnectUnix(traceSocket));
  std::vector<KelSender> users(2);
  for (KelSender &u : users) {
    std::string error;
    ASSERT_TRUE(u.OpenUser(&error)) << error;
  }
  const std::string failed = "accept() failed";
  ASSERT_TRUE(host.WaitSyslog(failed));
  size_t linesBefore = host.SyslogLines(failed).size();
  double cpuBefore = CpuSeconds(pid);
  constexpr int kWindowSeconds = 2;
  std::this_thread::sleep_for(std::chrono::seconds(kWindowSeconds));  // the exhaustion lasts this long
  size_t lines = host.SyslogLines(failed).size() - linesBefore;
  double cpu = CpuSeconds(pid) - cpuBefore;
  Figure("descriptor exhaustion: " + std::to_string(lines) + " log lines and " + std::to_string(cpu) +
         " s of CPU in " + std::to_string(kWindowSeconds) + " s");
  EXPECT_LE(lines, static_cast<size_t>(kWindowSeconds + 1));  // at most one a second
  EXPECT_LT(cpu, 0.2);

  for (int fd : traceClients) close(fd);
  for (KelSender &u : users) u.Close();
  ASSERT_EQ(host.Inject({"--user", "kel.user.recovered", "served again"}), 0);
  EXPECT_TRUE(host.WaitSyslog("[kel.user.recovered]"));
  EXPECT_TRUE(host.KeldRunning());
}

// SIGTERM while the network correlator waits on a hubd that never accepts, ten
// events wait behind it, and a flood of them has filled its pipe so that the
// intake waits for room: keld ends at once and says what it dropped.
TEST(HostileIntake, TermEndsKeldPromptlyUnderAStuckHubd) {
  KeldHost host;
  UseRoot(host);
  FakeHubd hubd(host, FakeHubd::Mode::NeverAccept);
  ASSERT_TRUE(hubd.Ok());
  ASSERT_TRUE(host.StartKeld());
  for (int i = 0; i < 10; i++) ASSERT_EQ(host.Inject({"--ctx", "1", "kel.net.firewall.disabled", "off"}), 0);
  ASSERT_TRUE(host.WaitSyslog("[kel.net.firewall.disabled]"));
  // 1000-byte records: some 80 fill the pipe, the agent's read-ahead and the intake's batch.
  std::atomic<size_t> flooded{0};
  std::thread flood([&] {
    KelSender out;
    std::string error;
    const std::vector<uint8_t> record = RecordOfSize("kel.net.firewall.disabled", 1000);
    for (int i = 0; i < 2000 && out.OpenKernel(2, &error) && SendRecord(out, record); i++) flooded++;
  });
  size_t seen = 0;
  auto stalled = Clock::now();
  KeldHost::WaitFor([&] {
    if (flooded != seen) {
      seen = flooded;
      stalled = Clock::now();
    }
    return seen >= 50 && SecondsSince(stalled) > 0.3;  // the intake no longer reads
  });
  auto start = Clock::now();
  kill(host.KeldPid(), SIGTERM);
  int status = host.WaitKeldExit(milliseconds(120000));
  double secs = SecondsSince(start);
  flood.join();  // its sends fail once keld is gone
  Figure("SIGTERM under a hubd that never accepts, " + std::to_string(seen) + " records sent: keld ended in " +
         std::to_string(secs) + " s");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_LT(secs, kSanitized ? 3.0 : 1.0);
  EXPECT_EQ(host.SyslogLines("Exiting. rc:0").size(), 1u);
  std::vector<std::string> dropped = host.SyslogLines(" not sent to hubd");
  ASSERT_EQ(dropped.size(), 1u) << host.Syslog();
  EXPECT_NE(dropped[0].find(": Dropped "), std::string::npos) << dropped[0];  // one or two, by the timing
  // The retry queue is finalised before keld says it exits.
  EXPECT_LT(host.Syslog().find(" not sent to hubd"), host.Syslog().find("Exiting. rc:0"));
}

// A second keld on the same root leaves at once, naming the first, which keeps
// its sockets; the lock of a keld that died does not stop the next one.
TEST(HostileIntake, OneKeldPerRoot) {
  KeldHost host;
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  UseRoot(host);
  auto start = Clock::now();
  ToolResult second = TestTool_Run("keld", {}, 10);
  Figure("second keld: exit status " + std::to_string(second.exitCode) + " after " +
         std::to_string(SecondsSince(start)) + " s");
  const std::string holder = "process " + std::to_string(host.KeldPid());
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_EQ(std::count(second.err.begin(), second.err.end(), '\n'), 1) << second.err;
  EXPECT_NE(second.err.find(holder), std::string::npos) << second.err;
  EXPECT_EQ(host.SyslogLines(holder).size(), 1u) << host.Syslog();
  ASSERT_EQ(host.Inject({"--ctx", "1", "kel.net.firewall.disabled", "off"}), 0);
  EXPECT_TRUE(host.WaitHubd(1));

  host.StopKeld(SIGKILL);
  ASSERT_TRUE(host.StartKeld());
  ASSERT_EQ(host.Inject({"--ctx", "1", "kel.net.firewall.disabled", "off"}), 0);
  EXPECT_TRUE(host.WaitHubd(2));
}

}  // namespace
