// kelwatch: lets keld watch the Linux machine it runs on. It plays the
// host's kernel and services for keld (link carrier, machine checks, clock
// synchronisation, SSH sessions, sent as observations), keeps keld's host
// model true to the machine, and carries out keld's host actions that its
// configuration allows.
//
// One thread: a poll loop over the netlink socket, the kernel log and the
// journal reader, with a short tick for the files it follows and the clock.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/timex.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "actionsJournal.h"
#include "authLog.h"
#include "hostActions.h"
#include "hostModelWriter.h"
#include "kernelLog.h"
#include "lineFollower.h"
#include "linkTracker.h"
#include "platform/simRoot.h"
#include "rtnl.h"
#include "watchConfig.h"
#include "watchObservation.h"

namespace {

const char kUsage[] =
    "Usage: kelwatch [--config PATH]\n"
    "Lets keld watch this Linux machine: sends the machine's signals to keld as\n"
    "observations, writes R/etc/hostsim.conf from its topology, and carries out the\n"
    "host actions of R/var/log/hostsim-actions.log that the configuration allows\n"
    "(none by default). R is $KELD_ROOT (unset: /). Runs until SIGTERM or SIGINT.\n"
    "  --config PATH  configuration file (default R/etc/keld/kelwatch.conf; a\n"
    "                 missing default file means the defaults)\n"
    "  --help         this text\n"
    "Sources: link carrier and bridges (rtnetlink), machine checks and corrected\n"
    "memory errors (/dev/kmsg), clock synchronisation (adjtimex), SSH sessions\n"
    "(/var/log/auth.log or the journal).\n";

constexpr int kTickMs = 200;
constexpr size_t kMaxHeld = 10000;  // observations held while keld is unreachable
constexpr int64_t kMceQuietMs = 1000;  // a machine-check report left open this long is ended

volatile sig_atomic_t gStop = 0;
void OnSignal(int) { gStop = 1; }

void Log(const std::string &text) { fprintf(stderr, "kelwatch: %s\n", text.c_str()); }

bool Exists(const char *path) {
  struct stat st;
  return stat(path, &st) == 0;
}

std::string ReadFile(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

int64_t MonotonicMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// journalctl following the authentication messages, in export format.
struct JournalChild {
  pid_t pid = -1;
  int fd = -1;
  bool Start() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      execlp("journalctl", "journalctl", "--follow", "--lines=0", "--output=export",
             "SYSLOG_FACILITY=4", "SYSLOG_FACILITY=10", static_cast<char *>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    if (pid < 0) {
      close(fds[0]);
      return false;
    }
    fd = fds[0];
    fcntl(fd, F_SETFL, O_NONBLOCK);
    return true;
  }
  void Stop() {
    if (fd >= 0) close(fd);
    fd = -1;
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    pid = -1;
  }
};

struct Watch {
  WatchConfig config;
  MachineFacts facts;
  LinkTracker links{config};
  Rtnl rtnl;
  WatchOutbox outbox{0, kMaxHeld, Log};
  MachineCheckReader machineChecks;
  SshSessions ssh;
  JournalExportReader journal;
  JournalChild journalChild;
  std::unique_ptr<LineFollower> authFile;
  std::unique_ptr<LineFollower> actions;
  int kmsgFd = -1;
  int64_t kmsgLastMs = 0;  // when the kernel log last gave a record
  bool modelDirty = true;
  std::string modelWritten;
  int clockState = -1;  // -1 unknown, 0 unsynchronised, 1 synchronised
  int64_t nextClockMs = 0;
  std::vector<WatchObservation> batch;

  void StartSources();
  void WriteModelIfChanged();
  void ReadLinks();
  void ReadKernelLog();
  void ReadJournal();
  void Tick();
};

void Watch::StartSources() {
  std::string error;
  if (!rtnl.Open(&error) || !rtnl.RequestDump(&error)) Log(error + ": links not watched");

  if (config.kernelLog != "off") {
    kmsgFd = open(config.kernelLog.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (kmsgFd < 0) {
      Log(config.kernelLog + ": " + strerror(errno) + ": machine checks not watched");
    } else {
      lseek(kmsgFd, 0, SEEK_END);  // what was logged before is history
      if (!Exists("/sys/devices/system/edac/mc")) {
        Log("no EDAC memory controllers: corrected memory errors come from machine-check reports only");
      }
    }
  }

  const std::string &auth = config.authLog;
  bool journalRunning = Exists("/run/systemd/journal/socket");
  if (auth == "auto" && Exists("/var/log/auth.log")) {
    authFile = std::make_unique<LineFollower>("/var/log/auth.log", true);
  } else if ((auth == "auto" && journalRunning) || auth == "journal") {
    if (!journalChild.Start()) Log("journalctl cannot be started: SSH sessions not watched");
  } else if (auth == "auto") {
    Log("no /var/log/auth.log and no running journal: SSH sessions not watched");
  } else if (auth != "off") {
    authFile = std::make_unique<LineFollower>(auth, true);
  }

  std::string soft = SimRoot_Path("/sys/devices/system/memory/soft_offline_page");
  if (!Exists(soft.c_str())) Log("no " + soft + ": page.retire cannot be carried out here");
  actions = std::make_unique<LineFollower>(ActionsJournal_Path(), true);
  for (const auto &entry : config.allow) {
    std::string objects;
    for (const std::string &p : entry.second) objects += " " + p;
    Log("allowed: " + entry.first + (objects.empty() ? " (any)" : objects));
  }
  if (config.allow.empty()) Log("no host action allowed: keld's actions are only logged");
}

void Watch::WriteModelIfChanged() {
  if (!modelDirty) return;
  modelDirty = false;
  std::string included = config.include.empty() ? "" : ReadFile(config.include);
  std::string text = WatchModel_Compose(facts, links.Bridges(), config, included);
  if (text == modelWritten) return;
  std::string error;
  if (!WatchModel_Write(text, &error)) {
    Log("host model not written: " + error);
    return;
  }
  modelWritten = text;
  std::string bridges;
  for (const std::string &b : links.Bridges()) bridges += " " + b;
  Log("host model written (bridges:" + (bridges.empty() ? std::string(" none") : bridges) + ")");
}

void Watch::ReadLinks() {
  std::string error;
  bool ok = rtnl.Receive(
      [&](const LinkInfo &link) { modelDirty |= links.Update(link, &batch); },
      [&](int index) { modelDirty |= links.Remove(index); }, &error);
  if (!ok) {
    Log(error + ": asking for every link again");
    rtnl.RequestDump(&error);
  }
  outbox.Add(&batch);
}

void Watch::ReadKernelLog() {
  char record[8192];
  std::vector<MachineCheck> found;
  for (;;) {
    ssize_t n = read(kmsgFd, record, sizeof record - 1);
    if (n < 0 && errno == EPIPE) continue;  // overwritten records: go on with the next
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    auto parsed = Kmsg_ParseRecord(std::string(record, static_cast<size_t>(n)));
    if (parsed) machineChecks.Feed(parsed->text, &found);
    kmsgLastMs = MonotonicMs();
  }
  for (const MachineCheck &mc : found) batch.push_back(WatchObs_MachineCheck(mc));
  outbox.Add(&batch);
}

void Watch::ReadJournal() {
  char buffer[16384];
  std::vector<SyslogLine> entries;
  for (;;) {
    ssize_t n = read(journalChild.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (n == 0) {
      Log("journal reader ended: SSH sessions no longer watched");
      journalChild.Stop();
      break;
    }
    journal.Feed(buffer, static_cast<size_t>(n), &entries);
  }
  for (const SyslogLine &entry : entries) ssh.Feed(entry, &batch);
  outbox.Add(&batch);
}

void Watch::Tick() {
  if (authFile) {
    for (const std::string &line : authFile->Poll()) {
      auto parsed = Syslog_ParseLine(line);
      if (parsed) ssh.Feed(*parsed, &batch);
    }
  }
  if (kmsgFd >= 0 && MonotonicMs() - kmsgLastMs >= kMceQuietMs) {
    std::vector<MachineCheck> found;
    machineChecks.Flush(&found);
    for (const MachineCheck &mc : found) batch.push_back(WatchObs_MachineCheck(mc));
  }
  if (config.clockPollSeconds > 0 && MonotonicMs() >= nextClockMs) {
    nextClockMs = MonotonicMs() + 1000 * static_cast<int64_t>(config.clockPollSeconds);
    timex tx{};
    int state = adjtimex(&tx);
    int synced = state != TIME_ERROR && state >= 0 && !(tx.status & STA_UNSYNC) ? 1 : 0;
    // The first reading is the baseline: a restart of kelwatch reports nothing.
    if (clockState < 0) Log(synced ? "clock synchronised" : "clock not synchronised");
    else if (synced != clockState) batch.push_back(WatchObs_ClockSync(synced == 1));
    clockState = synced;
  }
  outbox.Add(&batch);
  for (const std::string &line : actions->Poll()) {
    HostActionResult result = HostActions_Apply(line, config, HostActions_MachineOps());
    if (result.handled) Log(result.log);
  }
  WriteModelIfChanged();
}

}  // namespace

int main(int argc, char **argv) {
  std::string configPath;
  bool isDefault = true;
  int status = WatchConfig_ParseOptions(argc, argv, kUsage, &configPath, &isDefault);
  if (status >= 0) return status;
  if (optind != argc) {
    Log(std::string("unexpected argument '") + argv[optind] + "'");
    return 2;
  }
  setvbuf(stderr, nullptr, _IOLBF, 0);
  auto watch = std::make_unique<Watch>();
  std::string error;
  if (!WatchConfig_Load(configPath, isDefault, &watch->config, &error)) {
    Log(error);
    return 2;
  }
  watch->outbox = WatchOutbox(watch->config.context, kMaxHeld, Log);
  watch->facts = MachineFacts_Read();
  if (watch->facts.uuid.empty()) {
    Log("no system UUID (no product_uuid, no /etc/machine-id): set uuid in the configuration");
  } else if (watch->facts.uuidSource != "/sys/class/dmi/id/product_uuid") {
    Log("system UUID from " + watch->facts.uuidSource + " (no readable product_uuid)");
  }

  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  watch->StartSources();
  Log("watching");
  while (!gStop) {
    pollfd fds[3] = {{watch->rtnl.Fd(), POLLIN, 0},
                     {watch->kmsgFd, POLLIN, 0},
                     {watch->journalChild.fd, POLLIN, 0}};
    int ready = poll(fds, 3, kTickMs);
    if (ready < 0 && errno != EINTR) {
      Log(std::string("poll: ") + strerror(errno));
      break;
    }
    if (ready > 0) {
      if (fds[0].revents) watch->ReadLinks();
      if (fds[1].revents) watch->ReadKernelLog();
      if (fds[2].revents) watch->ReadJournal();
    }
    watch->Tick();
  }
  std::vector<MachineCheck> last;
  watch->machineChecks.Flush(&last);
  for (const MachineCheck &mc : last) watch->batch.push_back(WatchObs_MachineCheck(mc));
  watch->outbox.Add(&watch->batch);
  watch->journalChild.Stop();
  Log("stopped");
  return 0;
}
