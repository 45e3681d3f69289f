#include "keldHost.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef KELD_BIN_DIR
#error "KELD_BIN_DIR must name the build directory"
#endif

std::string KeldHost::DefaultHostModel() {
  return "uuid 564d0c1e-4a6b-7e2f-9a3c-0123456789ab\n"
         "build match\n"
         "pageretire threshold 1000\n"
         "option PageRetire ThresholdInterval 10\n";
}

std::string KeldHost::Tool(const std::string &name) { return std::string(KELD_BIN_DIR) + "/" + name; }

KeldHost::KeldHost(const std::string &hostModel) {
  char tmpl[] = "/tmp/keld-e2e-XXXXXX";
  char *dir = mkdtemp(tmpl);
  root_ = dir ? dir : "/tmp/keld-e2e-failed";
  mkdir((root_ + "/etc").c_str(), 0755);
  std::ofstream(root_ + "/etc/hostsim.conf") << hostModel;
}

KeldHost::~KeldHost() {
  if (keld_ > 0) StopKeld(SIGKILL);
  StopHubd();
  std::error_code ignored;
  if (getenv("KELD_KEEP_ROOT") == nullptr) std::filesystem::remove_all(root_, ignored);
}

// Arguments and environment are made before the fork: a test may run other
// threads, so the child calls nothing that allocates.
pid_t KeldHost::Spawn(const std::string &binary, const std::vector<std::string> &args,
                      const std::string &stdoutFile, const std::string &stderrFile) {
  std::vector<char *> argv{const_cast<char *>(binary.c_str())};
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  std::string rootVar = "KELD_ROOT=" + root_;
  std::vector<char *> envp{rootVar.data()};
  for (char **e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "KELD_ROOT=", 10) != 0) envp.push_back(*e);
  }
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid != 0) return pid;
  int out = open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  int err = open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (out >= 0) dup2(out, 1);
  if (err >= 0) dup2(err, 2);
  execve(binary.c_str(), argv.data(), envp.data());
  _exit(127);
}

bool KeldHost::StartKeld(const std::vector<std::string> &args) { return StartKeldAs("keld", args); }

bool KeldHost::StartKeldAs(const std::string &tool, const std::vector<std::string> &args) {
  size_t before = SyslogLines("Started ").size();
  keld_ = Spawn(Tool(tool), args, root_ + "/keld.out", root_ + "/keld.err");
  return WaitFor([&] { return SyslogLines("Started ").size() > before || !KeldRunning(); }) &&
         KeldRunning();
}

bool KeldHost::KeldRunning() {
  if (keld_ > 0 && waitpid(keld_, &keldStatus_, WNOHANG) == keld_) keld_ = -1;
  return keld_ > 0;
}

int KeldHost::WaitKeldExit(std::chrono::milliseconds timeout) {
  return WaitFor([&] { return !KeldRunning(); }, timeout) ? keldStatus_ : -1;
}

int KeldHost::StopKeld(int sig) {
  if (keld_ <= 0) return -1;
  kill(keld_, sig);
  waitpid(keld_, &keldStatus_, 0);
  keld_ = -1;
  return keldStatus_;
}

bool KeldHost::StartHubd(const std::vector<std::string> &args) { return StartHubdAs("hubdsink", args); }

bool KeldHost::StartHubdAs(const std::string &tool, const std::vector<std::string> &args) {
  std::string sock = root_ + "/var/run/ombrel/hubd-vprob.sock";
  unlink(sock.c_str());
  hubd_ = Spawn(Tool(tool), args, root_ + "/hubd.out", root_ + "/hubd.err");
  return WaitFor([&] {
    struct stat st;
    return stat(sock.c_str(), &st) == 0;
  });
}

void KeldHost::StopHubd() {
  if (hubd_ <= 0) return;
  kill(hubd_, SIGTERM);
  waitpid(hubd_, nullptr, 0);
  hubd_ = -1;
}

int KeldHost::Run(const std::string &tool, const std::vector<std::string> &args, std::string *out) {
  std::string outFile = root_ + "/run.out", errFile = root_ + "/run.err";
  unlink(outFile.c_str());
  unlink(errFile.c_str());
  pid_t pid = Spawn(Tool(tool), args, outFile, errFile);
  int status = -1;
  waitpid(pid, &status, 0);
  if (out != nullptr) *out = ReadFile("/run.out") + ReadFile("/run.err");
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int KeldHost::Inject(const std::vector<std::string> &args, std::string *err) { return Run("kelinject", args, err); }

std::string KeldHost::ReadFile(const std::string &rel) const {
  std::stringstream ss;
  ss << std::ifstream(root_ + rel).rdbuf();
  return ss.str();
}

std::vector<std::string> KeldHost::Lines(const std::string &rel) const {
  std::vector<std::string> lines;
  std::istringstream in(ReadFile(rel));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> KeldHost::SyslogLines(const std::string &needle) const {
  std::vector<std::string> found;
  for (const std::string &line : Lines("/var/log/syslog")) {
    if (line.find(needle) != std::string::npos) found.push_back(line);
  }
  return found;
}

void KeldHost::StartOfNextSecond() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto intoSecond = std::chrono::duration_cast<std::chrono::microseconds>(now) % std::chrono::seconds(1);
  std::this_thread::sleep_for(std::chrono::seconds(1) - intoSecond + std::chrono::milliseconds(20));
}

bool KeldHost::WaitFor(const std::function<bool()> &cond, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool KeldHost::WaitSyslog(const std::string &needle, size_t count, std::chrono::milliseconds timeout) {
  return WaitFor([&] { return SyslogLines(needle).size() >= count; }, timeout);
}

bool KeldHost::WaitHubd(size_t count, std::chrono::milliseconds timeout) {
  return WaitFor([&] { return HubdLines().size() >= count; }, timeout);
}
