// keld's lines for humans and the stand-in host's files under hostile input,
// end to end: bounded lines and memory, unforgeable lines, files that are not
// what they should be.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "kelRecord.h"
#include "kelSend.h"
#include "keldHost.h"

namespace {

constexpr size_t kLineCap = 65536;

long VmHwmKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// Starts keltrace writing into R/trace.out and waits until it is live.
pid_t StartTrace(const KeldHost &host) {
  pid_t pid = fork();
  if (pid == 0) {
    setenv("KELD_ROOT", host.Root().c_str(), 1);
    std::string out = host.Path("/trace.out"), tool = KeldHost::Tool("keltrace");
    if (!freopen(out.c_str(), "w", stdout)) _exit(127);
    execl(tool.c_str(), tool.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  EXPECT_TRUE(KeldHost::WaitFor([&] { return !host.Lines("/trace.out").empty(); }));
  return pid;
}

void StopTrace(pid_t pid) {
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
}

// A record whose `count` string arguments all point at one text of `size`
// bytes, with the format "%s" repeated `count` times.
std::vector<uint8_t> AmplifyingRecord(const std::string &id, size_t count, size_t size) {
  std::string format;
  for (size_t i = 0; i < count; i++) format += "%s";
  std::vector<uint8_t> rec = KelRecord_Build(id, format, {}, 1);
  size_t blockStart = rec.size();
  size_t textOffset = count * 32;
  rec.resize(blockStart + textOffset + size + 1, 0);
  for (size_t i = 0; i < count; i++) {
    int32_t type = 6;  // 8-bit string
    uint64_t offset = textOffset;
    memcpy(&rec[blockStart + i * 32], &type, sizeof type);
    memcpy(&rec[blockStart + i * 32 + 8], &offset, sizeof offset);
  }
  memset(&rec[blockStart + textOffset], 'A', size);
  uint32_t total = static_cast<uint32_t>(rec.size()), numArgs = static_cast<uint32_t>(count);
  memcpy(&rec[16], &total, sizeof total);
  memcpy(&rec[20], &numArgs, sizeof numArgs);
  return rec;
}

size_t LongestLine(const std::vector<std::string> &lines) {
  size_t longest = 0;
  for (const std::string &l : lines) longest = std::max(longest, l.size() + 1);  // with its newline
  return longest;
}

// Five records of 94 KB whose 1,000 string arguments all point at one
// 60,000-byte text: each would render 60 MB. Lines stop at the cap with the
// marker, and keld's peak memory stays small.
TEST(HostileOutput, AmplifyingRecordGivesBoundedLinesAndMemory) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeld());
  pid_t trace = StartTrace(host);
  setenv("KELD_ROOT", host.Root().c_str(), 1);
  std::vector<uint8_t> rec = AmplifyingRecord("kel.net.firewall.enabled", 1000, 60000);
  ASSERT_GT(rec.size(), 90000u);
  for (int i = 0; i < 5; i++) {
    std::string error;
    ASSERT_TRUE(KelSend_ToKernel(0, rec.data(), rec.size(), &error)) << error;
  }
  ASSERT_TRUE(host.WaitSyslog("[kel.net.firewall.enabled] AAAA", 5));
  ASSERT_TRUE(KeldHost::WaitFor([&] { return host.Lines("/trace.out").size() >= 6; }));
  long hwm = VmHwmKb(host.KeldPid());
  std::printf("[ figures ] amplifying record x5: keld VmHWM %ld kB, longest log line %zu, longest trace line %zu\n",
              hwm, LongestLine(host.Lines("/var/log/syslog")), LongestLine(host.Lines("/trace.out")));
  EXPECT_LT(hwm, 16 * 1024);
  EXPECT_LE(LongestLine(host.Lines("/var/log/syslog")), kLineCap);
  EXPECT_LE(LongestLine(host.Lines("/trace.out")), kLineCap);
  for (const std::string &l : host.SyslogLines("[kel.net.firewall.enabled]")) {
    EXPECT_EQ(l.size() + 1, kLineCap);
    EXPECT_EQ(l.substr(l.size() - 14), "...[truncated]");
  }
  StopTrace(trace);
  EXPECT_TRUE(host.KeldRunning());
}

// A newline in a string argument or in an ID, a comma in an ID: every line of
// the log and of the trace is still one of keld's own, with the bytes escaped.
TEST(HostileOutput, ControlCharactersCannotForgeLogOrTraceLines) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeld());
  pid_t trace = StartTrace(host);
  const std::string forged = "2026-12-04T15:29:49.123Z: [netCorrelator] 1us: [kel.net.hynic.linkstate.down] "
                             "hynic0 is down";
  ASSERT_EQ(host.Inject({"kel.net.firewall.enabled", "%s", "s:x\n" + forged}), 0);
  ASSERT_EQ(host.Inject({"--time", "7", "kel.user.a\n1,IN,1,kel.forged,,", "m\tx"}), 0);
  ASSERT_EQ(host.Inject({"--time", "8", "kel.user.b,\"c\\", "m"}), 0);
  ASSERT_TRUE(host.WaitSyslog("[nox.audit.net.firewall.enabled]"));
  ASSERT_TRUE(host.WaitSyslog("[kel.user.b,\"c\\\\] m"));
  ASSERT_TRUE(KeldHost::WaitFor([&] { return host.ReadFile("/trace.out").find(",OUT,") != std::string::npos; }));
  ASSERT_TRUE(KeldHost::WaitFor([&] { return host.ReadFile("/trace.out").find(",IN,8,") != std::string::npos; }));

  const std::regex logLine(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z: .*)");
  for (const std::string &l : host.Lines("/var/log/syslog")) {
    EXPECT_TRUE(std::regex_match(l, logLine)) << l;
    EXPECT_NE(l.rfind(forged.substr(0, 40), 0), 0u) << l;
  }
  // The observation line and the event line carry the forged text, escaped inside them.
  EXPECT_GE(host.SyslogLines("x\\n" + forged).size(), 2u);
  EXPECT_EQ(host.SyslogLines("[kel.user.a\\n1,IN,1,kel.forged,,] m\\tx").size(), 1u) << host.Syslog();

  const std::regex traceLine(R"(^\d+\.\d{9},(IN|OUT),\d+,.*)");
  std::string in7, in8;
  for (const std::string &l : host.Lines("/trace.out")) {
    if (l.empty()) continue;  // the end of the history
    EXPECT_TRUE(std::regex_match(l, traceLine)) << l;
    if (l.find(",IN,7,") != std::string::npos) in7 = l;
    if (l.find(",IN,8,") != std::string::npos) in8 = l;
  }
  const std::string id7 = ",IN,7,\"kel.user.a\\n1,IN,1,kel.forged,,\",";
  EXPECT_TRUE(in7.size() > id7.size() && in7.compare(in7.size() - id7.size(), id7.size(), id7) == 0) << in7;
  EXPECT_NE(in8.find(",IN,8,\"kel.user.b,\"\"c\\\\\",") , std::string::npos) << in8;
  StopTrace(trace);
  EXPECT_TRUE(host.KeldRunning());
}

// The stand-in host's files when they are not what they should be: each case
// gives one clear line and keld goes on. The host model is read again at a
// path lookup; a model that cannot serve keeps the last good one, so the path
// loss is still posted with its datastore.
TEST(HostileOutput, StandInHostFilesGiveOneLineEachAndKeldRuns) {
  const std::string good = KeldHost::DefaultHostModel() + "path p1 naa.600\nlun naa.600 1 1\nvolume naa.600:1 ds1\n";
  KeldHost host(good);
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  const std::string model = host.Path("/etc/hostsim.conf");
  size_t losses = 0;
  auto pathLoss = [&] {
    ASSERT_EQ(host.Inject({"kel.scsi.scsipath.pathstate.dead", "Path %s changed state from %s", "s:p1", "s:on"}), 0);
    ASSERT_TRUE(host.WaitHubd(++losses));
  };
  pathLoss();
  static time_t stamp = time(nullptr) + 100;
  auto replace = [&](const std::function<void()> &make) {
    unlink(model.c_str());
    make();
    struct timespec times[2] = {{0, UTIME_OMIT}, {stamp += 10, 0}};
    utimensat(AT_FDCWD, model.c_str(), times, AT_SYMLINK_NOFOLLOW);
  };
  // A FIFO (reading it would wait for a writer) and a link to an endless device.
  replace([&] { ASSERT_EQ(mkfifo(model.c_str(), 0644), 0); });
  pathLoss();
  EXPECT_EQ(host.SyslogLines(model + " is not a regular file; the last host model read stays in use").size(), 1u);
  replace([&] { ASSERT_EQ(symlink("/dev/zero", model.c_str()), 0); });
  pathLoss();
  pathLoss();
  EXPECT_EQ(host.SyslogLines(model + " is not a regular file").size(), 2u);
  // 50,000 bad lines: five in full, then their count.
  replace([&] {
    std::ofstream out(model);
    out << good;
    for (int i = 0; i < 50000; i++) out << "bogus " << i << "\n";
  });
  pathLoss();
  EXPECT_EQ(host.SyslogLines("; line skipped").size(), 5u);
  EXPECT_EQ(host.SyslogLines(model + ": 49995 more bad lines skipped").size(), 1u);

  // The system log renamed, as log rotation does: lines go to a new file.
  const std::string syslog = host.Path("/var/log/syslog");
  ASSERT_EQ(rename(syslog.c_str(), (syslog + ".1").c_str()), 0);
  ASSERT_TRUE(KeldHost::WaitFor([&] {
    host.Inject({"kel.user.after.rotation", "m"});
    return host.WaitSyslog("[kel.user.after.rotation] m", 1, std::chrono::milliseconds(300));
  }));
  EXPECT_TRUE(host.KeldRunning());
  std::vector<std::string> hubd = host.HubdLines();
  ASSERT_EQ(hubd.size(), losses);
  EXPECT_NE(hubd.back().find(R"("args":["naa.600","p1","\"ds1\""])"), std::string::npos) << hubd.back();
}

// A directory where the system log and the actions journal should be: said
// once each on stderr, and keld still handles observations and acts.
TEST(HostileOutput, UnwritableLogAndJournalAreSaidOnceOnStderr) {
  KeldHost host;
  ASSERT_EQ(system(("mkdir -p " + host.Path("/var/log/syslog") + " " + host.Path("/var/log/hostsim-actions.log"))
                       .c_str()),
            0);
  // Started by hand: it never gets to log that it started.
  pid_t keld = fork();
  if (keld == 0) {
    setenv("KELD_ROOT", host.Root().c_str(), 1);
    int err = open(host.Path("/keld.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    std::string tool = KeldHost::Tool("keld");
    execl(tool.c_str(), tool.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  struct Reaper {
    pid_t pid;
    ~Reaper() {
      if (kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    }
  } reaper{keld};
  ASSERT_TRUE(KeldHost::WaitFor([&] { return host.ReadFile("/keld.err").find("system log") != std::string::npos; }));
  ASSERT_TRUE(KeldHost::WaitFor([&] {
    return access(host.Path("/var/run/ombrel/kel-user.sock").c_str(), F_OK) == 0;
  }));
  for (int i = 0; i < 3; i++) {
    ASSERT_EQ(host.Inject({"--user", "kel.user.account.locked", "Account %s locked for %d seconds after %d failures",
                           "s:root", "i:900", "i:5"}),
              0);
  }
  ASSERT_TRUE(KeldHost::WaitFor([&] { return host.ReadFile("/keld.err").find("actions journal") != std::string::npos; }));
  std::vector<std::string> lines = host.Lines("/keld.err");
  ASSERT_EQ(lines.size(), 2u) << host.ReadFile("/keld.err");
  EXPECT_EQ(lines[0], "hostsim: cannot open the system log " + host.Path("/var/log/syslog") +
                          ": Is a directory; its lines are lost");
  EXPECT_EQ(lines[1], "hostsim: cannot open the actions journal " + host.Path("/var/log/hostsim-actions.log") +
                          ": Is a directory; actions are not journaled");
  EXPECT_EQ(waitpid(keld, nullptr, WNOHANG), 0);
  kill(keld, SIGTERM);
  int status = 0;
  waitpid(keld, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
