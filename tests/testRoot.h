// TestRoot: a temporary simulated root for the life of one test (a fresh
// directory named by KELD_ROOT, removed with everything in it afterwards).
// Construct it before starting threads: setenv is not thread-safe.
// TestTool_Run: runs one of the project's tools, built beside the tests.
#pragma once

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

class TestRoot {
 public:
  TestRoot() {
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/keld-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = buf.data();
    const char *previous = getenv("KELD_ROOT");
    hadPrevious_ = previous != nullptr;
    if (previous) previous_ = previous;
    setenv("KELD_ROOT", dir_.c_str(), 1);
  }
  ~TestRoot() {
    if (hadPrevious_) setenv("KELD_ROOT", previous_.c_str(), 1);
    else unsetenv("KELD_ROOT");
    nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  TestRoot(const TestRoot &) = delete;
  TestRoot &operator=(const TestRoot &) = delete;

  const std::string &Dir() const { return dir_; }
  // "/var/log/syslog" -> "<root>/var/log/syslog".
  std::string Path(const std::string &absolutePath) const { return dir_ + absolutePath; }
  // The file's whole content; empty when it does not exist.
  std::string ReadFile(const std::string &absolutePath) const {
    std::ifstream in(Path(absolutePath), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Writes the file, creating its parent directories.
  void WriteFile(const std::string &absolutePath, const std::string &text) const {
    std::string path = Path(absolutePath);
    for (size_t pos = dir_.size() + 1; (pos = path.find('/', pos)) != std::string::npos; ++pos) {
      mkdir(path.substr(0, pos).c_str(), 0755);
    }
    std::ofstream(path, std::ios::binary) << text;
  }

 private:
  static int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
    remove(path);
    return 0;
  }
  std::string dir_;
  std::string previous_;
  bool hadPrevious_ = false;
};

#ifndef KELD_BIN_DIR
#error "KELD_BIN_DIR must name the build directory"
#endif

struct ToolResult {
  int exitCode = -1;  // -1 when the tool was killed by a signal or not run
  std::string out;
  std::string err;
};

// Runs the tool with `args` (standard input: /dev/null), waiting at most
// `timeoutSeconds` before killing it. Inherits the environment (KELD_ROOT).
inline ToolResult TestTool_Run(const std::string &name, const std::vector<std::string> &args,
                               int timeoutSeconds = 30) {
  ToolResult result;
  std::string path = std::string(KELD_BIN_DIR) + "/" + name;
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) return result;
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    close(outPipe[0]);
    close(outPipe[1]);
    return result;
  }
  std::vector<char *> argv{const_cast<char *>(path.c_str())};
  for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int devNull = open("/dev/null", O_RDONLY);
    dup2(devNull, 0);
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string *sinks[2] = {&result.out, &result.err};
  time_t deadline = time(nullptr) + timeoutSeconds;
  int open = 2;
  while (pid > 0 && open > 0 && time(nullptr) < deadline) {
    if (poll(fds, 2, 1000) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  for (pollfd &p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  if (pid <= 0) return result;
  if (open > 0) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  return result;
}
