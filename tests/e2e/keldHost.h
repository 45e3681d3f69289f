// End-to-end test host: a temporary simulated root with its host model, the
// real keld binary, hubdsink playing hubd, and kelinject playing the kernel.
// Every wait polls a file or a process with a deadline; nothing sleeps for a
// fixed time to let something happen.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

class KeldHost {
 public:
  // Makes a fresh root and writes `hostModel` to R/etc/hostsim.conf.
  explicit KeldHost(const std::string &hostModel = DefaultHostModel());
  ~KeldHost();
  KeldHost(const KeldHost &) = delete;
  KeldHost &operator=(const KeldHost &) = delete;

  static std::string DefaultHostModel();
  static std::string Tool(const std::string &name);  // path of a built binary

  const std::string &Root() const { return root_; }
  std::string Path(const std::string &rel) const { return root_ + rel; }

  // Starts keld with `args` and waits until its agents run ("Started N
  // agents." in the log). Returns false when it did not get there.
  bool StartKeld(const std::vector<std::string> &args = {});
  // The same with another build of the daemon, e.g. "keldx" (with extras).
  bool StartKeldAs(const std::string &tool, const std::vector<std::string> &args = {});
  // Waits for keld to end by itself; its wait status, or -1 after `timeout`.
  int WaitKeldExit(std::chrono::milliseconds timeout = std::chrono::milliseconds(30000));
  pid_t KeldPid() const { return keld_; }
  // Sends `sig` and waits for the exit; returns the wait status.
  int StopKeld(int sig = 15);
  bool KeldRunning();
  // Starts hubdsink (JSON lines to R/hubd.out) and waits for its socket.
  bool StartHubd(const std::vector<std::string> &args = {});
  // The same with another program playing hubd, e.g. "hubd-alertmanager";
  // its standard error goes to R/hubd.err.
  bool StartHubdAs(const std::string &tool, const std::vector<std::string> &args = {});
  // Starts any program with KELD_ROOT set to the root; its pid.
  pid_t Spawn(const std::string &binary, const std::vector<std::string> &args,
              const std::string &stdoutFile, const std::string &stderrFile);
  // Runs kelinject with `args`; its exit status (stderr to *err when given).
  int Inject(const std::vector<std::string> &args, std::string *err = nullptr);
  // Runs a tool to completion; exit status, output in *out.
  int Run(const std::string &tool, const std::vector<std::string> &args, std::string *out = nullptr);

  std::string ReadFile(const std::string &rel) const;
  std::vector<std::string> Lines(const std::string &rel) const;
  std::vector<std::string> HubdLines() const { return Lines("/hubd.out"); }
  std::string Syslog() const { return ReadFile("/var/log/syslog"); }
  std::string Journal() const { return ReadFile("/var/log/hostsim-actions.log"); }
  // Lines of the log that contain `needle`.
  std::vector<std::string> SyslogLines(const std::string &needle) const;

  // keld's timers count whole wall-clock seconds: a scenario started just
  // after a second begins keeps its bursts from straddling a deadline.
  // Sleeps until 20 ms into the next second.
  static void StartOfNextSecond();
  // Polls `cond` until true or `timeout` passes.
  static bool WaitFor(const std::function<bool()> &cond,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  bool WaitSyslog(const std::string &needle, size_t count = 1,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
  bool WaitHubd(size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

 private:
  void StopHubd();
  std::string root_;
  pid_t keld_ = -1;
  int keldStatus_ = -1;  // wait status of the keld that ended last
  pid_t hubd_ = -1;
};
