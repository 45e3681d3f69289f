// keld's lines for humans and the stand-in host's files under hostile input,
// end to end: bounded lines and memory, unforgeable lines, files that are not
// what they should be.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

#include "kelRecord.h"
#include "kelSend.h"
#include "keldHost.h"
#include "platform/msgFmt.h"

namespace {

constexpr size_t kLineCap = 65536;

// The trace history a new client is given (up to the empty line), as lines.
std::vector<std::string> TraceHistory(const KeldHost &host) {
  std::string path = host.Path("/var/run/ombrel/keld-trace.sock"), text;
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  char buf[65536];
  ssize_t n = 0;
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) {
    while (text.find("\n\n") == std::string::npos && text != "\n" && (n = read(fd, buf, sizeof buf)) > 0) {
      text.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  std::vector<std::string> lines;
  std::istringstream in(text.substr(0, text.find("\n\n") + 1));
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

bool Traced(const KeldHost &host, const std::string &needle) {
  return KeldHost::WaitFor([&] {
    for (const std::string &l : TraceHistory(host)) {
      if (l.find(needle) != std::string::npos) return true;
    }
    return false;
  });
}

long VmHwmKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("VmHWM:", 0) == 0) return std::stol(l.substr(6));
  }
  return 0;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
constexpr bool kSanitized = __has_feature(address_sanitizer) || __has_feature(thread_sanitizer);
#else
constexpr bool kSanitized = false;
#endif

size_t LongestLine(const std::vector<std::string> &lines) {
  size_t longest = 0;
  for (const std::string &l : lines) longest = std::max(longest, l.size() + 1);  // with its newline
  return longest;
}

// Five records of 94 KB whose 1,000 string arguments all point at one
// 60,000-byte text (each would render 60 MB): lines stop at the cap with the
// marker, and keld's peak memory stays small.
TEST(HostileOutput, AmplifyingRecordGivesBoundedLinesAndMemory) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeld());
  std::string format;
  for (int i = 0; i < 1000; i++) format += "%s";
  std::vector<uint8_t> rec = KelRecord_Build("kel.net.firewall.enabled", format, {}, 1);
  const size_t block = rec.size(), text = 1000 * sizeof(MsgFmt_Arg);
  rec.resize(block + text + 60000, 'A');
  rec.push_back(0);
  for (size_t i = 0; i < 1000; i++) {
    MsgFmt_Arg arg{};
    arg.type = MSGFMT_ARG_STRING8;
    arg.v.offset = text;
    memcpy(&rec[block + i * sizeof arg], &arg, sizeof arg);
  }
  uint32_t header[2] = {static_cast<uint32_t>(rec.size()), 1000};  // total length, number of arguments
  memcpy(&rec[16], header, sizeof header);
  setenv("KELD_ROOT", host.Root().c_str(), 1);
  const long startHwm = VmHwmKb(host.KeldPid());
  std::string error;
  for (int i = 0; i < 5; i++) ASSERT_TRUE(KelSend_ToKernel(0, rec.data(), rec.size(), &error)) << error;
  ASSERT_TRUE(host.WaitSyslog("[kel.net.firewall.enabled] AAAA", 5));

  long hwm = VmHwmKb(host.KeldPid());
  std::printf("[ figures ] amplifying record x5: keld VmHWM %ld kB (%ld kB at start)\n", hwm, startHwm);
  // A sanitizer build starts larger (shadow memory); what counts there is the growth.
  EXPECT_LT(hwm - (kSanitized ? startHwm : 0), 16 * 1024);
  EXPECT_LE(LongestLine(host.Lines("/var/log/syslog")), kLineCap);
  std::vector<std::string> trace = TraceHistory(host);
  ASSERT_FALSE(trace.empty());
  EXPECT_EQ(LongestLine(trace), kLineCap);
  for (const std::string &l : host.SyslogLines("[kel.net.firewall.enabled]")) {
    EXPECT_EQ(l.size() + 1, kLineCap);
    EXPECT_EQ(l.substr(l.size() - 14), "...[truncated]");
  }
  EXPECT_TRUE(host.KeldRunning());
}

// A newline in a string argument or in an ID, a comma, a quote or a backslash
// in an ID: every line of the log and of the trace is one of keld's own.
TEST(HostileOutput, ControlCharactersCannotForgeLogOrTraceLines) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeld());
  const std::string forged = "2026-12-04T15:29:49.123Z: [netCorrelator] 1us: [kel.net.hynic.linkstate.down] "
                             "hynic0 is down";
  ASSERT_EQ(host.Inject({"kel.net.firewall.enabled", "%s", "s:x\n" + forged}), 0);
  ASSERT_EQ(host.Inject({"--time", "7", "kel.user.a\n1,IN,1,kel.forged,,", "m\tx"}), 0);
  ASSERT_EQ(host.Inject({"--time", "8", "kel.user.b,\"c\\", "m"}), 0);
  ASSERT_TRUE(host.WaitSyslog("[kel.user.b,\"c\\\\] m"));
  ASSERT_TRUE(Traced(host, ",OUT,"));

  const std::regex logLine(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z: .*)");
  for (const std::string &l : host.Lines("/var/log/syslog")) {
    EXPECT_TRUE(std::regex_match(l, logLine)) << l;
    EXPECT_NE(l.rfind(forged.substr(0, 40), 0), 0u) << l;
  }
  // The observation line and the event line carry the forged text, escaped.
  EXPECT_EQ(host.SyslogLines("x\\n" + forged).size(), 2u) << host.Syslog();
  EXPECT_EQ(host.SyslogLines("[kel.user.a\\n1,IN,1,kel.forged,,] m\\tx").size(), 1u) << host.Syslog();

  const std::regex traceLine(R"(^\d+\.\d{9},(IN|OUT),\d+,.*)");
  std::string ids;
  for (const std::string &l : TraceHistory(host)) {
    EXPECT_TRUE(std::regex_match(l, traceLine)) << l;
    if (l.find(",IN,7,") != std::string::npos || l.find(",IN,8,") != std::string::npos) ids += l.substr(l.find(",IN,") + 4) + "|";
  }
  EXPECT_EQ(ids, "7,\"kel.user.a\\n1,IN,1,kel.forged,,\",|8,\"kel.user.b,\"\"c\\\\\",|");
  EXPECT_TRUE(host.KeldRunning());
}

// The host model as a FIFO, a link to an endless device and 50,000 bad lines:
// one clear line each, and the last good model serves (the path loss is
// posted with its datastore). The system log renamed: a new one follows.
TEST(HostileOutput, StandInHostFilesGiveOneLineEachAndKeldRuns) {
  const std::string good = KeldHost::DefaultHostModel() + "path p1 naa.600\nlun naa.600 1 1\nvolume naa.600:1 ds1\n";
  KeldHost host(good);
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  const std::string model = host.Path("/etc/hostsim.conf");
  size_t losses = 0;
  time_t stamp = time(nullptr) + 100;
  auto replaceAndLose = [&](int kind) {
    unlink(model.c_str());
    if (kind == 0) {
      ASSERT_EQ(mkfifo(model.c_str(), 0644), 0);
    } else if (kind == 1) {
      ASSERT_EQ(symlink("/dev/zero", model.c_str()), 0);
    } else {
      std::ofstream out(model);
      out << good;
      for (int i = 0; i < 50000; i++) out << "bogus " << i << "\n";
    }
    struct timespec times[2] = {{0, UTIME_OMIT}, {stamp += 10, 0}};
    utimensat(AT_FDCWD, model.c_str(), times, AT_SYMLINK_NOFOLLOW);
    ASSERT_EQ(host.Inject({"kel.scsi.scsipath.pathstate.dead", "Path %s changed state from %s", "s:p1", "s:on"}), 0);
    ASSERT_TRUE(host.WaitHubd(++losses));
  };
  for (int kind : {0, 1, 2}) replaceAndLose(kind);
  EXPECT_EQ(host.SyslogLines(model + " is not a regular file; the last host model read stays in use").size(), 2u);
  EXPECT_EQ(host.SyslogLines("; line skipped").size(), 5u);
  EXPECT_EQ(host.SyslogLines(model + ": 49995 more bad lines skipped").size(), 1u);
  std::vector<std::string> hubd = host.HubdLines();
  EXPECT_NE(hubd.at(1).find(R"("args":["naa.600","p1","\"ds1\""])"), std::string::npos) << hubd.at(1);

  const std::string syslog = host.Path("/var/log/syslog");
  ASSERT_EQ(rename(syslog.c_str(), (syslog + ".1").c_str()), 0);
  ASSERT_TRUE(KeldHost::WaitFor([&] {
    host.Inject({"kel.user.after.rotation", "m"});
    return host.WaitSyslog("[kel.user.after.rotation] m", 1, std::chrono::milliseconds(300));
  }));
  EXPECT_TRUE(host.KeldRunning());
}

// A directory where the actions journal is, and then where the system log
// was: said once each on stderr, and keld goes on handling observations.
TEST(HostileOutput, UnwritableLogAndJournalAreSaidOnceOnStderr) {
  KeldHost host;
  ASSERT_EQ(mkdir(host.Path("/var").c_str(), 0755) | mkdir(host.Path("/var/log").c_str(), 0755) |
                mkdir(host.Path("/var/log/hostsim-actions.log").c_str(), 0755),
            0);
  ASSERT_TRUE(host.StartKeld());
  const std::string syslog = host.Path("/var/log/syslog");
  ASSERT_EQ(unlink(syslog.c_str()) | mkdir(syslog.c_str(), 0755), 0);
  // The log is looked at again within 100 ms; every line after that tries it.
  ASSERT_TRUE(KeldHost::WaitFor([&] {
    host.Inject({"--user", "kel.user.account.locked", "Account %s locked for %d seconds after %d failures", "s:root",
                 "i:900", "i:5"});
    return host.Lines("/keld.err").size() >= 2;
  }));
  for (int i = 0; i < 3; i++) host.Inject({"kel.user.more", "m"});
  ASSERT_TRUE(Traced(host, "kel.user.more"));
  std::string err = host.ReadFile("/keld.err");
  EXPECT_NE(err.find("hostsim: cannot open the actions journal " + host.Path("/var/log/hostsim-actions.log") +
                     ": Is a directory; actions are not journaled\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("hostsim: cannot open the system log " + syslog + ": Is a directory; its lines are lost\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(host.Lines("/keld.err").size(), 2u) << err;
  EXPECT_TRUE(host.KeldRunning());
}

}  // namespace
