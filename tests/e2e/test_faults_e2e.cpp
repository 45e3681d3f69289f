// keld under faults and load, end to end; figures (rate, peak memory,
// descriptors) are printed as "[ figures ]" lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "faultKit.h"
#include "hostModel.h"
#include "platform/kelLib.h"

namespace {

using std::chrono::milliseconds;

constexpr int kContexts = static_cast<int>(KEL_NUM_KERNEL_CONTEXTS), kSenders = kContexts + 8;

// One sender per kernel context and eight user connections at once, each sending `perSender` kel.user.flood,
// then (unless stopped) a kel.user.flood.done marker. Returns the total sent.
uint64_t FloodAll(uint64_t perSender, const std::atomic<bool> *stop) {
  std::vector<std::thread> threads;
  std::vector<uint64_t> sent(kSenders, 0);
  for (int s = 0; s < kSenders; s++) {
    threads.emplace_back([&, s] {
      KelSender out;
      std::string error;
      if (!(s < kContexts ? out.OpenKernel(static_cast<uint32_t>(s), &error) : out.OpenUser(&error))) return;
      uint64_t &n = sent[s];
      for (; n < perSender && !(stop && *stop); n++) {
        std::vector<KelArg> args = {KelArg::I32(static_cast<int32_t>(n)), KelArg::I32(s)};
        if (!SendRecord(out, Record("kel.user.flood", "flood %d from %d", args))) break;
      }
      if (n == perSender) SendRecord(out, Record("kel.user.flood.done", "sender %d", {KelArg::I32(s)}));
    });
  }
  for (std::thread &t : threads) t.join();
  uint64_t total = 0;
  for (uint64_t n : sent) total += n;
  return total;
}

TEST(KeldFaults, MillionObservationFloodOverEveryContextThenTerm) {
  // A tenth of the flood under the thread sanitizer, to stay within the time limit.
  constexpr uint64_t kTotal = kThreadSanitizer ? 96000 : 1000000, kPerSender = kTotal / kSenders;
  static_assert(kPerSender * kSenders == kTotal, "the flood divides evenly");
  KeldHost host;
  UseRoot(host);
  ASSERT_TRUE(host.StartKeld());
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(FloodAll(kPerSender, nullptr), kTotal);
  // Each context is handled in order: all markers logged means all the flood was handled.
  LogTail log(host.Path("/var/log/syslog"), {"[kel.user.flood]", "[kel.user.flood.done]"});
  ASSERT_TRUE(log.WaitCount("[kel.user.flood.done]", kSenders, milliseconds(300000)));
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(log.Count("[kel.user.flood]"), kTotal);
  Figure("flood: " + std::to_string(kTotal) + " observations in " + std::to_string(secs) + " s, " +
         std::to_string(static_cast<long>(kTotal / secs)) + " per second, keld VmHWM " +
         std::to_string(StatusKb(host.KeldPid(), "VmHWM")) + " kB");

  // SIGTERM while every context is still under load.
  std::atomic<bool> stop{false};
  std::thread load([&] { FloodAll(kPerSender, &stop); });
  ASSERT_TRUE(log.WaitCount("[kel.user.flood]", kTotal + 1000, milliseconds(60000)));
  int status = host.StopKeld(SIGTERM);
  stop = true;
  load.join();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

void PutU32(std::vector<uint8_t> &r, size_t off, uint32_t v) { memcpy(r.data() + off, &v, sizeof v); }

// A record of every malformed kind the observation library must drop; `withOversize` adds a message larger
// than any reader takes (only a user connection can drop it alone).
std::vector<std::vector<uint8_t>> MalformedRecords(bool withOversize) {
  // 16-byte identifier area, 8-byte format area, then a string and an integer: block at 56, string at 56 + 64.
  const std::vector<uint8_t> good = Record("kel.bad.x", "%s %d", {KelArg::Str("text"), KelArg::I32(1)});
  const size_t block = 32 + 16 + 8;
  // Empty, one byte, shorter than the header.
  std::vector<std::vector<uint8_t>> bad = {{}, {0x42}, {good.begin(), good.begin() + 31}};
  // Total length +1 and -1; identifier length 0 and past the end; argument records past the end (3 and
  // 2^32 - 1); unknown and invalid argument type; string offset past the block and inside the records.
  const uint32_t size = static_cast<uint32_t>(good.size());
  const std::pair<size_t, uint32_t> words[] = {
      {KEL_RECORD_OFF_TOTAL_LENGTH, size + 1}, {KEL_RECORD_OFF_TOTAL_LENGTH, size - 1}, {KEL_RECORD_OFF_ID_LENGTH, 0},
      {KEL_RECORD_OFF_ID_LENGTH, 0xfffffff0u}, {KEL_RECORD_OFF_NUM_ARGS, 3}, {KEL_RECORD_OFF_NUM_ARGS, 0xffffffffu},
      {block, 99}, {block, 0}, {block + 8, 4096}, {block + 8, 8}};
  for (const auto &w : words) PutU32(bad.emplace_back(good), w.first, w.second);
  memset(bad.emplace_back(good).data() + 32, 'i', 16);  // identifier without NUL
  memset(bad.emplace_back(good).data() + 48, 'f', 8);   // format without NUL
  bad.emplace_back(good).back() = 'x';                  // string without NUL
  std::vector<uint8_t> &random = bad.emplace_back(good);  // random bytes with a plausible length
  for (size_t i = 0; i < size; i++) random[i] = static_cast<uint8_t>(i * 151 + 7);
  PutU32(random, KEL_RECORD_OFF_TOTAL_LENGTH, size);
  // Well formed, but the format asks for other arguments than it carries.
  bad.push_back(Record("kel.user.mismatch", "%s %d %f", {KelArg::I32(1)}));
  if (withOversize) {
    bad.push_back(Record("kel.user.oversize", "%s", {KelArg::Str(std::string(KELLIB_MAX_USER_RECORD, 'o'))}));
  }
  return bad;
}

// Malformed records between good ones on every transport, then a thousand user connections that must free
// their slots and descriptors.
TEST(KeldFaults, MalformedRecordsAndThousandUserConnections) {
  KeldHost host;
  UseRoot(host);
  ASSERT_TRUE(host.StartKeld());
  for (bool user : {true, false}) {
    SCOPED_TRACE(user ? "user connection" : "kernel context");
    std::string id = std::string("kel.user.good.") + (user ? "user" : "ctx"), good = "[" + id + "] good ";
    KelSender out;
    std::string error;
    ASSERT_TRUE(user ? out.OpenUser(&error) : out.OpenKernel(6, &error)) << error;
    // An oversized datagram resets a kernel context, losing what it holds: only the user connection gets one.
    std::vector<std::vector<uint8_t>> bad = MalformedRecords(user);
    for (size_t i = 0; i < bad.size(); i++) {
      ASSERT_TRUE(out.Send(bad[i].data(), bad[i].size(), &error)) << i << ": " << error;
      ASSERT_TRUE(SendRecord(out, Record(id, "good %d", {KelArg::I32(static_cast<int32_t>(i))})));
    }
    ASSERT_TRUE(host.WaitSyslog(good + std::to_string(bad.size() - 1)));
    std::vector<std::string> goods = host.SyslogLines(good);
    ASSERT_EQ(goods.size(), bad.size());
    for (size_t i = 0; i < goods.size(); i++) EXPECT_NE(goods[i].find(good + std::to_string(i)), std::string::npos);
  }
  auto useOne = [&](int n) {
    KelSender out;
    std::string error;
    return out.OpenUser(&error) && SendRecord(out, Record("kel.user.churn", "connection %d", {KelArg::I32(n)}));
  };
  // One connection first, so that everything opened lazily is open.
  ASSERT_TRUE(useOne(-1));
  ASSERT_TRUE(host.WaitSyslog("[kel.user.churn] connection -1"));
  size_t before = CountFds(host.KeldPid());
  // In groups of four, each waited for: each group must find its slots (eight) freed by the one before.
  constexpr int kConnections = 1000, kGroup = 4;
  const std::string churn = "[kel.user.churn] connection ";
  LogTail log(host.Path("/var/log/syslog"), {churn});
  for (int n = 0; n < kConnections; n += kGroup) {
    for (int k = n; k < n + kGroup; k++) ASSERT_TRUE(useOne(k)) << k;
    ASSERT_TRUE(log.WaitCount(churn, static_cast<size_t>(n + kGroup) + 1, milliseconds(10000))) << "connection " << n;
  }
  // The last connections close asynchronously, and so may the first one,
  // still open when `before` was counted: a leak shows as more, never fewer.
  KeldHost::WaitFor([&] { return CountFds(host.KeldPid()) <= before; });
  size_t after = CountFds(host.KeldPid());
  Figure("connection churn: " + std::to_string(kConnections) + " user connections, keld descriptors " +
         std::to_string(before) + " before, " + std::to_string(after) + " after");
  EXPECT_LE(after, before);
  EXPECT_EQ(log.Count(churn), static_cast<size_t>(kConnections) + 1);
  EXPECT_TRUE(host.KeldRunning());
}

const char kQueued[] =
    "An event (nox.audit.net.firewall.disabled) could not be sent immediately to hubd; queueing for retry.";

bool FirewallOff(KeldHost &host) { return host.Inject({"--ctx", "1", "kel.net.firewall.disabled", "off"}) == 0; }

// Sends `n` firewall-off observations (an audit and hubd connection each), waits for `n` more log lines
// holding `logged`, then for a user observation to be handled.
bool FirewallOffThenIntake(KeldHost &host, size_t n, const std::string &logged) {
  const char kMeanwhile[] = "[kel.user.meanwhile]";
  size_t before = host.SyslogLines(logged).size(), meanwhile = host.SyslogLines(kMeanwhile).size();
  for (size_t i = 0; i < n; i++) {
    if (!FirewallOff(host)) return false;
  }
  return host.WaitSyslog(logged, before + n) && host.Inject({"--user", "kel.user.meanwhile", "still handled"}) == 0 &&
         host.WaitSyslog(kMeanwhile, meanwhile + 1);
}

// hubd never accepts (only the poster waits, then the event is queued), accepts and never reads, closes each
// connection at once, then is gone.
TEST(KeldFaults, HubdThatNeverAcceptsNeverReadsClosesAtOnceOrIsGone) {
  KeldHost host;
  const std::string audit = "[nox.audit.net.firewall.disabled]";
  {
    FakeHubd hubd(host, FakeHubd::Mode::NeverAccept);
    ASSERT_TRUE(hubd.Ok());
    ASSERT_TRUE(host.StartKeld());
    // While the network correlator waits on hubd, the intake and the other correlators go on.
    ASSERT_TRUE(FirewallOffThenIntake(host, 1, "[kel.net.firewall.disabled]")) << host.Syslog();
    EXPECT_TRUE(host.SyslogLines(kQueued).empty());
    EXPECT_TRUE(host.WaitSyslog(kQueued, 1, milliseconds(20000)));
  }
  {
    // One record per connection, no answer expected: the bytes wait in the socket for hubd.
    FakeHubd hubd(host, FakeHubd::Mode::AcceptNeverRead);
    ASSERT_TRUE(hubd.Ok());
    ASSERT_TRUE(FirewallOffThenIntake(host, 3, audit)) << host.Syslog();
    ASSERT_TRUE(KeldHost::WaitFor([&] { return hubd.Held() == 3; }));
    EXPECT_EQ(host.SyslogLines(kQueued).size(), 1u);
  }
  {
    // Closing races with keld's send: each event is in the socket before the close or queued.
    FakeHubd hubd(host, FakeHubd::Mode::CloseAtOnce);
    ASSERT_TRUE(hubd.Ok());
    ASSERT_TRUE(FirewallOffThenIntake(host, 5, audit)) << host.Syslog();
    EXPECT_LE(host.SyslogLines(kQueued).size(), 6u);
  }
  // The listener is gone but its socket file stays, as after a crash of hubd.
  size_t queued = host.SyslogLines(kQueued).size();
  ASSERT_TRUE(FirewallOff(host));
  EXPECT_TRUE(host.WaitSyslog(kQueued, queued + 1));
  EXPECT_TRUE(host.KeldRunning());
}

// Reads a trace connection on its own thread, counting lines holding `needle`; Live() after the history
// (which ends with an empty line).
class TraceReader {
 public:
  TraceReader(int fd, std::string needle) : fd_(fd), needle_(std::move(needle)) {
    thread_ = std::thread([this] {
      FILE *in = fdopen(dup(fd_), "r");
      if (in == nullptr) return;
      char *line = nullptr;
      size_t capacity = 0;
      for (ssize_t n; (n = getline(&line, &capacity, in)) > 0;) {
        if (n == 1 && line[0] == '\n') live_ = true;
        if (strstr(line, needle_.c_str()) != nullptr) count_++;
      }
      free(line);
      fclose(in);
    });
  }
  ~TraceReader() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  size_t Count() const { return count_; }
  bool Live() const { return live_; }

 private:
  int fd_;
  std::string needle_;
  std::atomic<size_t> count_{0};
  std::atomic<bool> live_{false};
  std::thread thread_;
};

TEST(KeldFaults, TraceClientThatNeverReadsSlowsNeitherOtherClientsNorIntake) {
  KeldHost host;
  ASSERT_TRUE(host.StartKeld());
  const std::string socketPath = host.Path("/var/run/ombrel/keld-trace.sock");
  int sleeper = ConnectUnix(socketPath);
  ASSERT_GE(sleeper, 0);
  TraceReader first(ConnectUnix(socketPath), "kel.user.traced"), second(ConnectUnix(socketPath), "kel.user.traced");
  ASSERT_TRUE(KeldHost::WaitFor([&] { return first.Live() && second.Live(); }));
  constexpr size_t kCount = 100000;
  ASSERT_EQ(host.Inject({"--ctx", "8", "--count", std::to_string(kCount), "kel.user.traced",
                         "a line long enough to fill the sleeping client's socket soon %s", "s:payload"}),
            0);
  LogTail log(host.Path("/var/log/syslog"), {"[kel.user.traced]"});
  EXPECT_TRUE(log.WaitCount("[kel.user.traced]", kCount, milliseconds(120000)));
  EXPECT_TRUE(KeldHost::WaitFor([&] { return first.Count() == kCount && second.Count() == kCount; },
                                milliseconds(120000)))
      << first.Count() << " and " << second.Count();
  Figure("trace: " + std::to_string(kCount) + " observations past a client that never reads, keld VmHWM " +
         std::to_string(StatusKb(host.KeldPid(), "VmHWM")) + " kB");
  EXPECT_TRUE(host.KeldRunning());
  close(sleeper);
}

const char kGarbage[] = "\x01\x02 binary \xff\xfe\nuuid\n\"never closed\noption PageRetire ThresholdInterval ten\n"
                        "pageretire threshold 99999999999999999999999\nlun naa.600 x\n";

// Lines of kGarbage that the host model parser skips, each logged once (the
// first five of one reading in full).
size_t GarbageLines() {
  std::vector<std::string> errors;
  HostModel_Parse(kGarbage, &errors, nullptr, 5);
  return errors.size();
}

// Replaces the host model ("good", "missing", "unreadable" or "garbage"), moving its modification time on
// so that a new file of the same size and inode is seen as changed.
void ReplaceModel(const KeldHost &host, const std::string &kind) {
  static time_t stamp = time(nullptr) + 100;
  std::string path = host.Path("/etc/hostsim.conf");
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
  if (kind == "missing") return;
  if (kind == "unreadable") {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  }
  if (kind == "garbage") std::ofstream(path) << kGarbage;
  if (kind == "good") {
    std::ofstream(path) << KeldHost::DefaultHostModel()
                        << "path hba1:C0:T0:L0 naa.600\nlun naa.600 1 1\nvolume naa.600:1 ds1\n";
  }
  struct timespec times[2] = {{0, UTIME_OMIT}, {stamp += 10, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Without a usable host model the page retirement correlator has no threshold (a real host always has
// one): keld stops at start-up through its panic, saying why.
TEST(KeldFaults, HostModelMissingUnreadableOrGarbageAtStartUp) {
  for (std::string kind : {"missing", "unreadable", "garbage"}) {
    SCOPED_TRACE(kind);
    KeldHost host;
    ReplaceModel(host, kind);
    std::string out;
    EXPECT_EQ(host.Run("keld", {}, &out), 128 + SIGABRT) << out;
    EXPECT_EQ(host.SyslogLines("NOT_REACHED keldPageRetireCorrelator:").size(), 1u) << host.Syslog();
    if (kind == "garbage") {
      EXPECT_EQ(host.SyslogLines("; line skipped").size(), GarbageLines()) << host.Syslog();
    } else {
      EXPECT_EQ(host.SyslogLines(host.Path("/etc/hostsim.conf")).size(), 1u) << host.Syslog();
    }
  }
}

// While keld runs, the model disappears, becomes a directory or garbage: the host says why, a path loss
// finds no path and posts nothing (a directory keeps the last model), and the model coming back is used
// again.
TEST(KeldFaults, HostModelBrokenWhileRunning) {
  KeldHost host;
  ReplaceModel(host, "good");
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  std::string model = host.Path("/etc/hostsim.conf");
  size_t losses = 0;
  auto pathLoss = [&] {
    ASSERT_EQ(host.Inject({"--ctx", "2", "kel.scsi.scsipath.pathstate.dead", "Path %s changed state from %s",
                           "s:hba1:C0:T0:L0", "s:on"}),
              0);
    ASSERT_TRUE(host.WaitSyslog("[kel.scsi.scsipath.pathstate.dead] Path hba1:C0:T0:L0", ++losses));
  };
  const std::pair<const char *, std::string> broken[] = {
      {"missing", model + ": no such file; using an empty host model"},
      {"unreadable", model + " is not a regular file; the last host model read stays in use"},
      {"garbage", model + ": line " + std::to_string(GarbageLines()) + ": "},
  };
  size_t round = 0;
  for (const auto &b : broken) {
    SCOPED_TRACE(b.first);
    ReplaceModel(host, b.first);
    pathLoss();
    // Reported at the lookup (a directory in the model's place keeps the last model, so the loss is
    // posted); then the model comes back and the same loss is posted with its datastore.
    ASSERT_TRUE(host.WaitSyslog(b.second));
    if (std::string(b.first) == "unreadable") {
      ASSERT_TRUE(host.WaitHubd(++round));
    }
    ReplaceModel(host, "good");
    pathLoss();
    ASSERT_TRUE(host.WaitHubd(++round));
  }
  std::vector<std::string> got = host.HubdLines();
  ASSERT_EQ(got.size(), 4u);
  for (const std::string &line : got) {
    EXPECT_NE(line.find(R"("args":["naa.600","hba1:C0:T0:L0","\"ds1\""])"), std::string::npos) << line;
  }
  EXPECT_EQ(host.SyslogLines("; line skipped").size(), GarbageLines());
  EXPECT_TRUE(host.KeldRunning());
  int status = host.StopKeld(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// Start-up, events to hubd, a trace client, user connections, malformed records and SIGTERM under
// valgrind: no invalid access, no definite leak. Skipped without valgrind and in sanitizer builds.
TEST(KeldFaults, ValgrindFindsNoInvalidAccessAndNoDefiniteLeak) {
  std::string valgrind = access("/usr/bin/valgrind", X_OK) == 0 ? "/usr/bin/valgrind" : "/usr/local/bin/valgrind";
  if (access(valgrind.c_str(), X_OK) != 0 || kSanitized) GTEST_SKIP() << "valgrind not installed, or a sanitizer build";
  KeldHost host;
  ASSERT_TRUE(host.StartHubd());
  std::string keld = KeldHost::Tool("keld"), logFile = "--log-file=" + host.Path("/valgrind.log");
  UseRoot(host);
  pid_t pid = fork();
  if (pid == 0) {
    execl(valgrind.c_str(), valgrind.c_str(), "--leak-check=full", "--errors-for-leak-kinds=definite",
          "--error-exitcode=99", "--child-silent-after-fork=yes", logFile.c_str(), keld.c_str(),
          static_cast<char *>(nullptr));
    _exit(127);
  }
  ASSERT_GT(pid, 0);
  bool started = host.WaitSyslog("Started ", 1, milliseconds(120000));
  if (started) {
    int trace = ConnectUnix(host.Path("/var/run/ombrel/keld-trace.sock"));
    EXPECT_TRUE(FirewallOff(host));
    EXPECT_EQ(host.Inject({"--user", "kel.net.firewall.enabled", "on for %s", "s:port 7"}), 0);
    KelSender user;
    std::string error;
    EXPECT_TRUE(user.OpenUser(&error)) << error;
    for (const std::vector<uint8_t> &bad : MalformedRecords(true)) user.Send(bad.data(), bad.size(), &error);
    SendRecord(user, Record("kel.user.last", "last"));
    EXPECT_TRUE(host.WaitHubd(2, milliseconds(60000))) << host.HubdLines().size() << " events\n" << host.Syslog();
    EXPECT_TRUE(host.WaitSyslog("[kel.user.last]", 1, milliseconds(60000))) << host.Syslog();
    user.Close();
    if (trace >= 0) close(trace);
  }
  kill(pid, SIGTERM);
  int status = -1;
  bool ended = KeldHost::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, milliseconds(120000));
  if (!ended) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  std::string text = host.ReadFile("/valgrind.log");
  ASSERT_TRUE(started && ended) << (started ? "did not end\n" : "did not start\n") << host.Syslog() << text;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << text;
  EXPECT_NE(text.find("ERROR SUMMARY: 0 errors"), std::string::npos) << text;
  size_t lost = text.find("definitely lost: ");
  EXPECT_TRUE(lost == std::string::npos || text.compare(lost, 27, "definitely lost: 0 bytes in") == 0) << text;
  size_t heap = text.find("HEAP SUMMARY");
  std::string summary = text.substr(heap == std::string::npos ? 0 : heap);
  Figure("valgrind: " + summary.substr(0, summary.find("For lists")));
}

}  // namespace
