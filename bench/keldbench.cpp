// keldbench: the measurements behind `make bench`, all on this machine in one
// run, so that keld is judged by ratios rather than by absolute figures.
//
//   keldbench limit   --bin DIR [--count N]    keldlimit fed by the flooder
//   keldbench flood   --bin DIR [--count N]    keld fed by the flooder
//   keldbench latency --bin DIR [--events N]   one stateless event at a time
//   keldbench sec     [--count N] [--rules pairs|suppress]
//                                              the peer correlator on the
//                                              flood's stream as text lines
//   keldbench all     --bin DIR [--runs R] [--count N] [--events N]
//                                              everything, then one table of
//                                              medians and the ratio lines
//
// Every measurement runs in a fresh temporary root (/tmp/keld-bench-*), which
// is removed afterwards unless KELD_KEEP_ROOT is set. Each mode prints one
// "result" line per run; `all` collects them into the table. Nothing here
// asserts on time: the figures are reported, never judged pass or fail
// beyond the target column.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kelRecord.h"
#include "platform/simRoot.h"
#include "vprobRecordReader.h"

namespace {

constexpr int kContexts = 24;
constexpr const char *kHostModel =
    "uuid 564d0c1e-4a6b-7e2f-9a3c-0123456789ab\n"
    "build match\n"
    "pageretire threshold 1000\n"
    "option PageRetire ThresholdInterval 10\n";

[[noreturn]] void Die(const std::string &why) {
  fprintf(stderr, "keldbench: %s\n", why.c_str());
  exit(1);
}

uint64_t NowNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// --- Options ------------------------------------------------------------------------

struct Options {
  std::string bin;
  uint64_t count = 1000000;
  uint64_t events = 1000;
  int runs = 3;
  std::string rules = "pairs";
};

Options ParseOptions(int argc, char **argv) {
  Options o;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) Die("option " + a + " needs a value");
    std::string v = argv[++i];
    if (a == "--bin") o.bin = v;
    else if (a == "--count") o.count = std::stoull(v);
    else if (a == "--events") o.events = std::stoull(v);
    else if (a == "--runs") o.runs = std::max(1, std::stoi(v));
    else if (a == "--rules") o.rules = v;
    else Die("unknown option " + a);
  }
  return o;
}

// --- Temporary root -----------------------------------------------------------------

class Root {
 public:
  Root() {
    char tmpl[] = "/tmp/keld-bench-XXXXXX";
    if (!mkdtemp(tmpl)) Die("mkdtemp failed");
    path_ = tmpl;
    mkdir((path_ + "/etc").c_str(), 0755);
    std::ofstream(path_ + "/etc/hostsim.conf") << kHostModel;
    setenv("KELD_ROOT", path_.c_str(), 1);
  }
  ~Root() {
    if (getenv("KELD_KEEP_ROOT") == nullptr) {
      int rc = system(("rm -rf '" + path_ + "'").c_str());
      (void)rc;
    }
  }
  const std::string &Path() const { return path_; }

 private:
  std::string path_;
};

pid_t Spawn(const std::vector<std::string> &argv, const std::string &out, int *stdoutPipe = nullptr) {
  int fds[2] = {-1, -1};
  if (stdoutPipe && pipe(fds) != 0) Die("pipe failed");
  pid_t pid = fork();
  if (pid < 0) Die("fork failed");
  if (pid == 0) {
    int log = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    dup2(stdoutPipe ? fds[1] : log, 1);
    dup2(log, 2);
    std::vector<char *> args;
    for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  if (stdoutPipe) {
    close(fds[1]);
    *stdoutPipe = fds[0];
  }
  return pid;
}

bool WaitUntil(const std::function<bool()> &cond, double seconds) {
  uint64_t deadline = NowNs() + static_cast<uint64_t>(seconds * 1e9);
  while (!cond()) {
    if (NowNs() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// utime + stime in seconds from a /proc stat file (of a process or a task).
double StatCpuSeconds(const std::string &statPath) {
  std::string stat = ReadFile(statPath);
  size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(stat.substr(close + 2));
  std::string f;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> f; ++i) {
    if (i == 14) utime = std::stoull(f);
    if (i == 15) stime = std::stoull(f);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU seconds of this process so far (the flooder's threads included).
double SelfCpuSeconds() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

double ProcessCpuSeconds(pid_t pid) { return StatCpuSeconds("/proc/" + std::to_string(pid) + "/stat"); }

// A process's VmHWM in KiB.
long ProcessHwmKiB(pid_t pid) {
  std::istringstream status(ReadFile("/proc/" + std::to_string(pid) + "/status"));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

void StopProcess(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (!WaitUntil([&] { return waitpid(pid, nullptr, WNOHANG) == pid; }, 10)) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

// --- The observation mix ------------------------------------------------------------
//
// Per hundred observations: 40 application crashes (throttled per
// application, 20 applications), 15 clock corrections (throttled per group),
// 10 DHCP lease complaints and 5 log directory complaints (user domain: two
// agents each, throttled per key), 10 ramdisk-full and 10 VFAT-full
// complaints (throttled per file and per volume), 5 unknown network IDs
// (ignored by their correlator) and 5 IDs that no agent subscribes to. Every
// 5000th observation is a link transition (down and up alternating, one NIC
// per context: keld reports each after its one-second decision) and every
// 5000th, offset by half, a stateless event that is posted every time. So
// nearly all observations are logged and a few hundred become events, well
// under the rate limit of 1000 a minute.

struct Template {
  std::string id;
  std::vector<uint8_t> record;
  std::string line;  // the same observation as a text line for the peer
  int logLines;      // observation log lines keld writes for it
};

struct Mix {
  std::vector<Template> templates;
  std::vector<std::vector<uint16_t>> perContext;  // template indices in send order
  uint64_t expectedLogLines = 0;
  uint64_t bytes = 0;
};

uint16_t AddTemplate(Mix &mix, std::map<std::string, uint16_t> &index, const std::string &id,
                     const std::string &format, const std::vector<KelArg> &args, int logLines) {
  std::string line = id;
  for (const KelArg &a : args) {
    line += ' ';
    line += a.kind == KelArg::Kind::Str ? a.s : std::to_string(a.i);
  }
  auto it = index.find(line);
  if (it != index.end()) return it->second;
  Template t{id, KelRecord_Build(id, format, args, 1700000000000000ull), line, logLines};
  mix.templates.push_back(std::move(t));
  uint16_t n = static_cast<uint16_t>(mix.templates.size() - 1);
  index[line] = n;
  return n;
}

Mix BuildMix(uint64_t count) {
  Mix mix;
  std::map<std::string, uint16_t> index;
  mix.perContext.resize(kContexts);
  std::vector<uint64_t> linkCount(kContexts, 0);
  for (uint64_t g = 0; g < count; ++g) {
    int ctx = static_cast<int>(g % kContexts);
    uint64_t slot = g % 100, round = g / 100;
    uint16_t t;
    if (g % 5000 == 4999) {
      t = AddTemplate(mix, index, "kel.user.shell.enabled", "The command line shell was enabled by the administrator",
                      {}, 2);
    } else if (g % 5000 == 2499) {
      bool down = linkCount[ctx]++ % 2 == 0;
      t = AddTemplate(mix, index, down ? "kel.net.hynic.linkstate.down" : "kel.net.hynic.linkstate.up",
                      down ? "Physical NIC %s link state went down" : "Physical NIC %s link state came up",
                      {KelArg::Str("hynic" + std::to_string(ctx))}, 1);
    } else if (slot < 40) {
      std::string app = "app" + std::to_string(round % 20);
      t = AddTemplate(mix, index, "kel.uw.core.dumped", "Application %s crashed (signal %d); core file written to %s",
                      {KelArg::Str(app), KelArg::I32(11), KelArg::Str("/var/core/" + app + ".core")}, 1);
    } else if (slot < 55) {
      t = AddTemplate(mix, index, "kel.clock.correction.delta.allowed",
                      "Clock stepped to %d.%d, delta %d seconds over the allowed %d",
                      {KelArg::I32(-5), KelArg::I32(0), KelArg::I32(700), KelArg::I32(600)}, 1);
    } else if (slot < 65) {
      t = AddTemplate(mix, index, "kel.user.dhclient.lease.offered.noexpiry",
                      "DHCP lease offered by server %s carries no expiry time",
                      {KelArg::Str("10.0.0." + std::to_string(round % 8))}, 2);
    } else if (slot < 70) {
      t = AddTemplate(mix, index, "kel.user.hysyslogd.storage.logdir.invalid",
                      "Configured log directory %s is invalid; logging to %s",
                      {KelArg::Str("/scratch/log" + std::to_string(round % 4)), KelArg::Str("/var/log")}, 2);
    } else if (slot < 80) {
      std::string volume = "volume" + std::to_string(round % 6);
      t = AddTemplate(mix, index, "kel.vfat.filesystem.full", "The VFAT file system %s (UUID %s) has no free space",
                      {KelArg::Str(volume), KelArg::Str(volume + "-5a1b2c3d")}, 1);
    } else if (slot < 85) {
      t = AddTemplate(mix, index, "kel.net.bench.unknown", "Unknown network observation %s",
                      {KelArg::Str("hynic" + std::to_string(ctx))}, 0);
    } else if (slot < 90) {
      t = AddTemplate(mix, index, "kel.benchnosub.unclaimed", "Observation %s that no agent subscribes to",
                      {KelArg::Str("nobody")}, 0);
    } else {
      std::string file = "/var/log/file" + std::to_string(round % 10) + ".log";
      t = AddTemplate(mix, index, "kel.lumfs.ramdisk.full", "Ramdisk full while writing %s to ramdisk %s",
                      {KelArg::Str(file), KelArg::Str("root")}, 1);
    }
    mix.perContext[ctx].push_back(t);
    mix.expectedLogLines += static_cast<uint64_t>(mix.templates[t].logLines);
    mix.bytes += mix.templates[t].record.size();
  }
  return mix;
}

// --- Flooder ------------------------------------------------------------------------

// Sends every context's records in order, as fast as the contexts take them:
// one connected datagram socket per context; each pass waits until some of a
// thread's contexts have room (poll for POLLOUT) and sends a batch to each of
// those, so no system call is spent on a context that is full.
class Flooder {
 public:
  explicit Flooder(const Mix &mix) : mix_(mix) {}

  void Run(int threads) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([this, t, threads] {
        std::vector<int> mine;
        for (int c = t; c < kContexts; c += threads) mine.push_back(c);
        SendContexts(mine);
      });
    }
    for (std::thread &w : workers) w.join();
  }

  static int Connect(int ctx) {
    std::string path = SimRoot_Path(("/dev/kel/ctx" + std::to_string(ctx)).c_str());
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
      Die("cannot connect to " + path + ": " + strerror(errno));
    }
    return fd;
  }

 private:
  void SendContexts(const std::vector<int> &contexts) {
    constexpr int kBatch = 16;
    std::vector<int> fds;
    std::vector<size_t> next(contexts.size(), 0);
    for (int c : contexts) fds.push_back(Connect(c));
    std::vector<struct pollfd> waiting;
    std::vector<size_t> which;
    for (;;) {
      waiting.clear();
      which.clear();
      for (size_t k = 0; k < contexts.size(); ++k) {
        if (next[k] >= mix_.perContext[contexts[k]].size()) continue;
        waiting.push_back({fds[k], POLLOUT, 0});
        which.push_back(k);
      }
      if (waiting.empty()) break;
      if (poll(waiting.data(), waiting.size(), 100) <= 0) continue;
      for (size_t w = 0; w < waiting.size(); ++w) {
        if ((waiting[w].revents & (POLLOUT | POLLERR | POLLHUP)) == 0) continue;
        size_t k = which[w];
        const std::vector<uint16_t> &seq = mix_.perContext[contexts[k]];
        struct mmsghdr msgs[kBatch];
        struct iovec iov[kBatch];
        int n = 0;
        for (; n < kBatch && next[k] + n < seq.size(); ++n) {
          const std::vector<uint8_t> &rec = mix_.templates[seq[next[k] + n]].record;
          iov[n] = {const_cast<uint8_t *>(rec.data()), rec.size()};
          memset(&msgs[n], 0, sizeof msgs[n]);
          msgs[n].msg_hdr.msg_iov = &iov[n];
          msgs[n].msg_hdr.msg_iovlen = 1;
        }
        int sent = sendmmsg(fds[k], msgs, static_cast<unsigned>(n), MSG_DONTWAIT);
        if (sent > 0) {
          next[k] += static_cast<size_t>(sent);
        } else if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
          Die(std::string("send failed: ") + strerror(errno));
        }
      }
    }
    for (int fd : fds) close(fd);
  }

  const Mix &mix_;
};

// Sends one record to kernel context `ctx` on a connected socket.
void SendOne(int fd, const std::vector<uint8_t> &record) {
  while (send(fd, record.data(), record.size(), 0) < 0) {
    if (errno != EINTR) Die(std::string("send failed: ") + strerror(errno));
  }
}

// --- hubd stand-in ------------------------------------------------------------------

// Listens on the event socket, reads one record per connection and notes the
// monotonic time at which the connection's end of file arrived.
class Receiver {
 public:
  struct Event {
    std::string id;
    std::string firstArg;
    uint64_t atNs;
  };

  Receiver() {
    SimRoot_MakeParents("/var/run/ombrel/hubd-vprob.sock");
    std::string path = SimRoot_Path("/var/run/ombrel/hubd-vprob.sock");
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(listener_, 512) != 0) {
      Die("cannot listen on " + path);
    }
    thread_ = std::thread([this] { Loop(); });
  }
  ~Receiver() {
    stop_ = true;
    shutdown(listener_, SHUT_RDWR);
    thread_.join();
    close(listener_);
  }

  // Waits until an event with `id` and first argument `arg` arrived; its
  // receipt time, or 0 after `seconds`.
  uint64_t WaitFor(const std::string &id, const std::string &arg, double seconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t found = 0;
    cond_.wait_for(lock, std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000)), [&] {
      for (const Event &e : events_) {
        if (e.id == id && e.firstArg == arg) found = e.atNs;
      }
      return found != 0;
    });
    return found;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }

 private:
  void Loop() {
    std::vector<unsigned char> data;
    unsigned char chunk[4096];
    while (!stop_) {
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      data.clear();
      for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data.insert(data.end(), chunk, chunk + n);
      }
      uint64_t at = NowNs();
      close(fd);
      VProbRecordDecoded rec;
      std::string error;
      if (data.empty() || !VProbRecord_Decode(data.data(), data.size(), &rec, &error)) continue;
      Event e{rec.id, "", at};
      if (!rec.args.empty()) {
        if (auto s = std::get_if<std::string>(&rec.args[0])) e.firstArg = *s;
        else if (auto i = std::get_if<int64_t>(&rec.args[0])) e.firstArg = std::to_string(*i);
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(e));
      }
      cond_.notify_all();
    }
  }

  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable cond_;
  std::vector<Event> events_;
};

// --- keld ---------------------------------------------------------------------------

// Starts keld and waits until its agents run. With its log sent to
// /dev/null (a diagnostic) there is nothing to watch: it is given a second.
pid_t StartKeld(const Root &root, const std::string &bin, bool nullLog = false) {
  pid_t pid = Spawn({bin + "/keld"}, root.Path() + "/keld.out");
  if (nullLog) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
    return pid;
  }
  std::string log = root.Path() + "/var/log/syslog";
  bool up = WaitUntil([&] { return ReadFile(log).find("Started 21 agents.") != std::string::npos; }, 20);
  if (!up) Die("keld did not start (see " + root.Path() + "/keld.out)");
  return pid;
}

// Follows keld's log until it holds `expected` observation lines (lines of
// the shape "[thread] <time>us: [kel.<id>] ..."), so that a run ends only
// once every agent has worked through its pipe. Returns the monotonic time
// of the file's last change then (its modification time, moved to the
// monotonic clock), or 0 when the lines do not all arrive within `seconds`.
uint64_t WaitForLogLines(const std::string &path, uint64_t expected, double seconds, uint64_t *seen) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::vector<char> buf(1 << 20);
  std::string partial;  // a line still being written
  uint64_t count = 0;
  auto countLine = [&](const char *b, const char *e) {
    std::string line(b, e);
    size_t us = line.find("us: [kel.");
    if (us != std::string::npos && line.find("] ") < us) ++count;
  };
  auto scan = [&] {
    ssize_t n;
    while ((n = read(fd, buf.data(), buf.size())) > 0) {
      const char *p = buf.data(), *end = p + n;
      while (p < end) {
        const char *nl = static_cast<const char *>(memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!nl) {
          partial.append(p, end);
          break;
        }
        if (partial.empty()) {
          countLine(p, nl);
        } else {
          partial.append(p, nl);
          countLine(partial.data(), partial.data() + partial.size());
          partial.clear();
        }
        p = nl + 1;
      }
    }
    return count >= expected;
  };
  bool complete = WaitUntil(scan, seconds);
  close(fd);
  *seen = count;
  if (!complete) return 0;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  struct timespec real;
  clock_gettime(CLOCK_REALTIME, &real);
  double ageNs = (static_cast<double>(real.tv_sec - st.st_mtim.tv_sec) * 1e9 +
                  static_cast<double>(real.tv_nsec - st.st_mtim.tv_nsec));
  return NowNs() - static_cast<uint64_t>(std::max(0.0, ageNs));
}

// CPU seconds of each of keld's threads, by thread name, for the report.
std::string ThreadCpu(pid_t pid) {
  std::string out;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  std::unique_ptr<FILE, int (*)(FILE *)> ls(popen(("ls " + dir).c_str(), "r"), pclose);
  char tid[32];
  while (ls && fgets(tid, sizeof tid, ls.get())) {
    std::string t = tid;
    t.erase(t.find_last_not_of("\n") + 1);
    std::string comm = ReadFile(dir + "/" + t + "/comm");
    comm.erase(comm.find_last_not_of("\n") + 1);
    double cpu = StatCpuSeconds(dir + "/" + t + "/stat");
    std::string status = ReadFile(dir + "/" + t + "/status");
    size_t sw = status.find("voluntary_ctxt_switches:");
    std::string switches = sw == std::string::npos ? "?" : std::to_string(std::stol(status.substr(sw + 24)));
    if (cpu >= 0.05) out += " " + comm + "=" + std::to_string(cpu).substr(0, 5) + "s/" + switches + "sw";
  }
  return out;
}

// --- Modes --------------------------------------------------------------------------

void PrintResult(const std::string &what, const std::vector<std::pair<std::string, double>> &values) {
  printf("result %s", what.c_str());
  for (const auto &v : values) printf(" %s=%.6g", v.first.c_str(), v.second);
  printf("\n");
  fflush(stdout);
}

int ModeLimit(const Options &o) {
  Root root;
  Mix mix = BuildMix(o.count);
  int out = -1;
  pid_t pid = Spawn({o.bin + "/keldlimit", "--count", std::to_string(o.count)}, root.Path() + "/limit.out", &out);
  FILE *in = fdopen(out, "r");
  char line[256];
  if (!fgets(line, sizeof line, in) || strncmp(line, "ready", 5) != 0) Die("keldlimit did not start");
  Flooder flooder(mix);
  uint64_t start = NowNs();
  flooder.Run(2);
  unsigned long long end = 0, seen = 0, cpuNs = 0;
  if (!fgets(line, sizeof line, in) || sscanf(line, "done %llu %llu %llu", &end, &seen, &cpuNs) != 3) {
    Die("keldlimit did not finish");
  }
  struct rusage ru;
  int status;
  wait4(pid, &status, 0, &ru);
  fclose(in);
  double seconds = static_cast<double>(end - start) / 1e9;
  PrintResult("limit", {{"records_per_s", static_cast<double>(seen) / seconds},
                        {"cpu_s_per_million", static_cast<double>(cpuNs) / 1e9 / (static_cast<double>(seen) / 1e6)},
                        {"seconds", seconds},
                        {"avg_record_bytes", static_cast<double>(mix.bytes) / static_cast<double>(o.count)},
                        {"hwm_kib", static_cast<double>(ru.ru_maxrss)}});
  return 0;
}

int ModeFlood(const Options &o) {
  Root root;
  Mix mix = BuildMix(o.count);
  Receiver receiver;
  // Diagnostic only: BENCH_NULL_LOG=1 sends keld's log to /dev/null, to see
  // what the log file costs (the run then ends at the markers).
  bool nullLog = getenv("BENCH_NULL_LOG") != nullptr;
  if (nullLog) {
    SimRoot_MakeParents("/var/log/syslog");
    if (symlink("/dev/null", SimRoot_Path("/var/log/syslog").c_str()) != 0) Die("symlink failed");
  }
  pid_t keld = StartKeld(root, o.bin, nullLog);
  double cpuBefore = ProcessCpuSeconds(keld);
  Flooder flooder(mix);
  double senderBefore = SelfCpuSeconds();
  uint64_t start = NowNs();
  flooder.Run(2);
  double senderCpu = SelfCpuSeconds() - senderBefore;
  // Markers, sent once every observation is in a context: each posts an
  // event once its agent has worked through everything queued before it.
  std::string tag = "bench-end-" + std::to_string(getpid());
  std::vector<uint8_t> userMarker = KelRecord_Build("kel.user.test.test1s", "marker %s", {KelArg::Str(tag)}, 1);
  std::vector<uint8_t> uwMarker = KelRecord_Build("kel.uw.core.dumped", "marker %s %d %s",
                                                  {KelArg::Str(tag), KelArg::I32(0), KelArg::Str("/x")}, 1);
  int fd = Flooder::Connect(0);
  SendOne(fd, userMarker);
  SendOne(fd, uwMarker);
  close(fd);
  uint64_t end1 = receiver.WaitFor("nox.audit.test.test1s", tag, 300);
  uint64_t end2 = receiver.WaitFor("nox.problem.application.core.dumped", tag, 60);
  if (end1 == 0 || end2 == 0) {
    StopProcess(keld);
    Die("the marker events never arrived (see " + root.Path() + ")");
  }
  uint64_t expected = mix.expectedLogLines + 3;  // the markers: two agents and one
  uint64_t logged = 0;
  uint64_t endLog = nullLog ? 1 : WaitForLogLines(root.Path() + "/var/log/syslog", expected, 120, &logged);
  if (endLog == 0) {
    fprintf(stderr, "keldbench: warning: %llu observation log lines, expected %llu\n",
            static_cast<unsigned long long>(logged), static_cast<unsigned long long>(expected));
  }
  uint64_t end = std::max({end1, end2, endLog});
  double cpu = ProcessCpuSeconds(keld) - cpuBefore;
  long hwm = ProcessHwmKiB(keld);
  fprintf(stderr, "keld threads (CPU s):%s\n", ThreadCpu(keld).c_str());
  StopProcess(keld);
  double seconds = static_cast<double>(end - start) / 1e9;
  double n = static_cast<double>(o.count + 2);
  PrintResult("flood", {{"obs_per_s", n / seconds},
                        {"cpu_s_per_million", cpu / (n / 1e6)},
                        {"sender_cpu_s_per_million", senderCpu / (n / 1e6)},
                        {"hwm_kib", static_cast<double>(hwm)},
                        {"seconds", seconds},
                        {"events", static_cast<double>(receiver.Count())},
                        {"log_lines", static_cast<double>(logged)},
                        {"expected_log_lines", static_cast<double>(expected)}});
  return 0;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

// The machine's own floor for an event's trip: the hops an event makes
// through keld with none of keld's work. A datagram wakes an "intake"
// thread, which writes it into a pipe; that wakes an "agent" thread, which
// connects to a stream socket, sends a 132-byte record and closes; a "hubd"
// thread notes when the connection's end of file arrives. On a virtual
// machine the wake-ups of idle threads dominate this, and they are what
// keld's latency cannot go below.
class FloorChain {
 public:
  explicit FloorChain(const std::string &dir) : dgramPath_(dir + "/floor-in.sock"), hubdPath_(dir + "/floor-hubd.sock") {
    in_ = Bound(SOCK_DGRAM, dgramPath_);
    listener_ = Bound(SOCK_STREAM, hubdPath_);
    if (listen(listener_, 16) != 0 || pipe(pipe_) != 0) Die("floor chain set-up failed");
    out_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr = Address(dgramPath_);
    if (connect(out_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) Die("floor chain connect failed");
    threads_.emplace_back([this] { Intake(); });
    threads_.emplace_back([this] { Agent(); });
    threads_.emplace_back([this] { Hubd(); });
  }
  ~FloorChain() {
    close(out_);
    shutdown(in_, SHUT_RDWR);
    shutdown(listener_, SHUT_RDWR);
    for (std::thread &t : threads_) t.detach();  // blocked in their waits; the process ends next
  }

  // Microseconds from the datagram's send to the end of file at "hubd", or
  // a negative value when it did not arrive within a second.
  double Probe() {
    uint64_t sent = NowNs();
    char probe[200] = {0};
    if (send(out_, probe, sizeof probe, 0) < 0) return -1;
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t seen = arrivals_;
    if (!cond_.wait_for(lock, std::chrono::seconds(1), [&] { return arrivals_ > seen || lastAt_ > sent; })) return -1;
    return static_cast<double>(lastAt_ - sent) / 1e3;
  }

 private:
  static sockaddr_un Address(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), std::min(path.size() + 1, sizeof addr.sun_path - 1));
    return addr;
  }
  static int Bound(int type, const std::string &path) {
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    sockaddr_un addr = Address(path);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) Die("cannot bind " + path);
    return fd;
  }
  void Intake() {
    char buf[512];
    for (;;) {
      struct pollfd p = {in_, POLLIN, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return;
      ssize_t n = recv(in_, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0) return;
      if (n > 0 && write(pipe_[1], buf, static_cast<size_t>(n)) < 0) return;
    }
  }
  void Agent() {
    char buf[512];
    for (;;) {
      struct pollfd p = {pipe_[0], POLLIN, 0};
      if (poll(&p, 1, -1) < 0 && errno != EINTR) return;
      if (read(pipe_[0], buf, sizeof buf) <= 0) return;
      int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un addr = Address(hubdPath_);
      if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) {
        ssize_t sent = send(fd, buf, 132, MSG_NOSIGNAL);
        (void)sent;
      }
      close(fd);
    }
  }
  void Hubd() {
    char buf[512];
    for (;;) {
      int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      while (read(fd, buf, sizeof buf) > 0) {
      }
      uint64_t at = NowNs();
      close(fd);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        lastAt_ = at;
        arrivals_++;
      }
      cond_.notify_all();
    }
  }

  std::string dgramPath_, hubdPath_;
  int in_ = -1, out_ = -1, listener_ = -1;
  int pipe_[2] = {-1, -1};
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable cond_;
  uint64_t arrivals_ = 0, lastAt_ = 0;
};

// keld's stateless event and the floor chain's probe take turns, each ten a
// second, so that both meet the same machine.
int ModeLatency(const Options &o) {
  Root root;
  Receiver receiver;
  pid_t keld = StartKeld(root, o.bin);
  FloorChain floor(root.Path());
  std::vector<int> fds;
  for (int c = 0; c < kContexts; ++c) fds.push_back(Flooder::Connect(c));
  std::vector<double> micros, floorMicros;
  uint64_t tick = NowNs();
  auto pace = [&] {
    tick += 50000000;  // a probe of each kind every 100 ms
    uint64_t now = NowNs();
    if (tick > now) std::this_thread::sleep_for(std::chrono::nanoseconds(tick - now));
  };
  for (uint64_t i = 0; i < o.events; ++i) {
    std::string tag = "lat" + std::to_string(i);
    std::vector<uint8_t> rec = KelRecord_Build("kel.user.test.test1s", "Latency probe %s", {KelArg::Str(tag)}, i);
    uint64_t sent = NowNs();
    SendOne(fds[i % kContexts], rec);
    uint64_t got = receiver.WaitFor("nox.audit.test.test1s", tag, 5);
    if (got != 0) micros.push_back(static_cast<double>(got - sent) / 1e3);
    pace();
    double f = floor.Probe();
    if (f >= 0) floorMicros.push_back(f);
    pace();
  }
  for (int fd : fds) close(fd);
  StopProcess(keld);
  PrintResult("latency", {{"p50_us", Percentile(micros, 0.50)},
                          {"p99_us", Percentile(micros, 0.99)},
                          {"max_us", Percentile(micros, 1.0)},
                          {"received", static_cast<double>(micros.size())},
                          {"floor_p50_us", Percentile(floorMicros, 0.50)},
                          {"floor_p99_us", Percentile(floorMicros, 0.99)}});
  return 0;
}

// Rules equivalent to keld's for the flood's stream: the throttled IDs as
// SingleWithSuppress with keld's windows and keys, the stateless event as
// Single, and (with pair rules) the link down/up transitions as
// PairWithWindow over keld's one-second link decision.
std::string SecRules(const std::string &out, bool pairs) {
  auto suppress = [&](const std::string &pattern, const std::string &desc, int window) {
    return "type=SingleWithSuppress\nptype=RegExp\npattern=" + pattern + "\ndesc=" + desc +
           "\naction=write " + out + " %s\nwindow=" + std::to_string(window) + "\n\n";
  };
  std::string rules;
  rules += suppress("^kel\\.uw\\.core\\.dumped (\\S+) ", "application $1 crashed", 36000);
  rules += suppress("^kel\\.clock\\.correction\\.delta\\.allowed ", "clock delta allowed", 3600);
  rules += suppress("^kel\\.user\\.dhclient\\.lease\\.offered\\.noexpiry (\\S+)", "lease without expiry from $1", 90);
  rules += suppress("^kel\\.user\\.hysyslogd\\.storage\\.logdir\\.invalid (\\S+) (\\S+)", "log directory $1 $2 invalid",
                    1200);
  rules += suppress("^kel\\.lumfs\\.ramdisk\\.full (\\S+) (\\S+)", "ramdisk $2 full writing $1", 300);
  rules += suppress("^kel\\.vfat\\.filesystem\\.full (\\S+) (\\S+)", "vfat volume $2 full", 300);
  rules += "type=Single\nptype=RegExp\npattern=^kel\\.user\\.shell\\.enabled\ndesc=shell enabled\naction=write " + out +
           " %s\n\n";
  if (pairs) {
    rules += "type=PairWithWindow\nptype=RegExp\npattern=^kel\\.net\\.hynic\\.linkstate\\.down (\\S+)\n"
             "desc=link $1 down\naction=write " + out + " %s\n"
             "ptype2=RegExp\npattern2=^kel\\.net\\.hynic\\.linkstate\\.up $1\n"
             "desc2=link %1 back up\naction2=write " + out + " %s\nwindow=1\n\n";
  }
  return rules;
}

int ModeSec(const Options &o) {
  Root root;
  Mix mix = BuildMix(o.count);
  std::string input = root.Path() + "/stream.txt";
  {
    std::ofstream stream(input);
    std::vector<size_t> pos(kContexts, 0);
    for (uint64_t g = 0; g < o.count; ++g) {
      int c = static_cast<int>(g % kContexts);
      stream << mix.templates[mix.perContext[c][pos[c]++]].line << '\n';
    }
  }
  std::string conf = root.Path() + "/rules.sec";
  std::ofstream(conf) << SecRules(root.Path() + "/sec-actions.out", o.rules == "pairs");
  uint64_t start = NowNs();
  pid_t pid = Spawn({"/usr/bin/sec", "--conf=" + conf, "--input=" + input, "--notail", "--quiet"},
                    root.Path() + "/sec.out");
  struct rusage ru;
  int status = 0;
  wait4(pid, &status, 0, &ru);
  uint64_t end = NowNs();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Die("sec failed (see " + root.Path() + "/sec.out)");
  double seconds = static_cast<double>(end - start) / 1e9;
  double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
               static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  PrintResult("sec_" + o.rules, {{"lines_per_s", static_cast<double>(o.count) / seconds},
                                 {"cpu_s_per_million", cpu / (static_cast<double>(o.count) / 1e6)},
                                 {"hwm_kib", static_cast<double>(ru.ru_maxrss)},
                                 {"seconds", seconds}});
  return 0;
}

// --- All, and the table ----------------------------------------------------------------

using Results = std::map<std::string, std::vector<double>>;

// Runs this program in `mode` and collects the values of its result line.
void RunChild(const std::string &self, const std::vector<std::string> &args, Results &results) {
  std::string cmd = "'" + self + "'";
  for (const std::string &a : args) cmd += " '" + a + "'";
  FILE *p = popen(cmd.c_str(), "r");
  if (!p) Die("cannot run " + cmd);
  char line[1024];
  while (fgets(line, sizeof line, p)) {
    fputs(line, stderr);
    std::istringstream in(line);
    std::string word, what;
    in >> word >> what;
    if (word != "result") continue;
    while (in >> word) {
      size_t eq = word.find('=');
      if (eq != std::string::npos) results[what + "." + word.substr(0, eq)].push_back(std::stod(word.substr(eq + 1)));
    }
  }
  if (pclose(p) != 0) Die("failed: " + cmd);
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int ModeAll(const Options &o, const std::string &self) {
  Results r;
  std::string count = std::to_string(o.count), events = std::to_string(o.events);
  for (int run = 0; run < o.runs; ++run) {
    fprintf(stderr, "--- run %d of %d\n", run + 1, o.runs);
    RunChild(self, {"limit", "--bin", o.bin, "--count", count}, r);
    RunChild(self, {"flood", "--bin", o.bin, "--count", count}, r);
    RunChild(self, {"sec", "--count", count, "--rules", "pairs"}, r);
    RunChild(self, {"sec", "--count", count, "--rules", "suppress"}, r);
    RunChild(self, {"latency", "--bin", o.bin, "--events", events}, r);
  }
  auto m = [&](const std::string &key) { return Median(r[key]); };
  auto row = [&](const char *name, const std::string &key, const char *unit) {
    std::string runs;
    for (double v : r[key]) {
      char b[32];
      snprintf(b, sizeof b, "%s%.4g", runs.empty() ? "" : " ", v);
      runs += b;
    }
    printf("%-40s %14.4g %-10s [%s]\n", name, m(key), unit, runs.c_str());
  };
  printf("\nkeld benchmarks: %s observations over %d kernel contexts, median of %d runs\n", count.c_str(),
         kContexts, o.runs);
  printf("%-40s %14s %-10s %s\n", "measure", "median", "unit", "runs");
  row("limit throughput", "limit.records_per_s", "rec/s");
  row("limit CPU per million", "limit.cpu_s_per_million", "CPU-s");
  row("keld flood throughput", "flood.obs_per_s", "obs/s");
  row("keld CPU per million", "flood.cpu_s_per_million", "CPU-s");
  row("flood sender CPU per million", "flood.sender_cpu_s_per_million", "CPU-s");
  row("keld peak memory (VmHWM)", "flood.hwm_kib", "KiB");
  row("keld events received per flood", "flood.events", "events");
  row("SEC throughput, pair rules", "sec_pairs.lines_per_s", "lines/s");
  row("SEC peak memory, pair rules", "sec_pairs.hwm_kib", "KiB");
  row("SEC throughput, suppress-only rules", "sec_suppress.lines_per_s", "lines/s");
  row("SEC peak memory, suppress-only rules", "sec_suppress.hwm_kib", "KiB");
  row("event latency p50", "latency.p50_us", "us");
  row("event latency p99", "latency.p99_us", "us");
  row("machine floor for the same hops, p50", "latency.floor_p50_us", "us");
  row("machine floor for the same hops, p99", "latency.floor_p99_us", "us");
  auto ratio = [&](const char *name, double value, const char *target, bool met) {
    printf("ratio  %-44s %10.3g   target %-8s %s\n", name, value, target, met ? "met" : "NOT MET");
  };
  double floodRatio = m("flood.obs_per_s") / m("limit.records_per_s");
  double cpuRatio = m("flood.cpu_s_per_million") / m("limit.cpu_s_per_million");
  double secPairs = m("flood.obs_per_s") / m("sec_pairs.lines_per_s");
  double secSuppress = m("flood.obs_per_s") / m("sec_suppress.lines_per_s");
  double secMem = m("flood.hwm_kib") / std::max(m("sec_pairs.hwm_kib"), m("sec_suppress.hwm_kib"));
  double p99ms = m("latency.p99_us") / 1000;
  printf("\n");
  ratio("keld flood / limit (records per second)", floodRatio, ">= 0.5", floodRatio >= 0.5);
  ratio("keld CPU per million / limit CPU per million", cpuRatio, "<= 2", cpuRatio <= 2);
  ratio("keld / SEC throughput, pair rules", secPairs, ">= 20", secPairs >= 20);
  ratio("keld / SEC throughput, suppress-only rules", secSuppress, ">= 3", secSuppress >= 3);
  ratio("keld / SEC peak memory", secMem, "<= 0.5", secMem <= 0.5);
  ratio("event latency p99 (ms)", p99ms, "< 1", p99ms < 1);
  printf("       (the same hops without keld's work, p99: %.3g ms)\n", m("latency.floor_p99_us") / 1000);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  signal(SIGPIPE, SIG_IGN);
  if (argc < 2) {
    fprintf(stderr, "usage: keldbench limit|flood|latency|sec|all [options] (see the source's opening note)\n");
    return 2;
  }
  std::string mode = argv[1];
  Options o = ParseOptions(argc, argv);
  bool needsBin = mode != "sec";
  if (needsBin && o.bin.empty()) Die("--bin BUILD_DIR is needed");
  if (mode == "limit") return ModeLimit(o);
  if (mode == "flood") return ModeFlood(o);
  if (mode == "latency") return ModeLatency(o);
  if (mode == "sec") return ModeSec(o);
  if (mode == "all") {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) Die("cannot find this program's path");
    self[n] = '\0';
    return ModeAll(o, self);
  }
  Die("unknown mode " + mode);
}
