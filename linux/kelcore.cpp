// kelcore: the kernel's core dump helper. Installed by the operator as
//
//   echo '|/usr/lib/keld/kelcore %e %p' > /proc/sys/kernel/core_pattern
//
// it reads a crashed process's core from standard input, keeps it in the
// configured directory (at most core-max-bytes; a larger core is discarded
// whole, a truncated core being of no use) and tells keld: a core written,
// or a core that could not be kept.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/simRoot.h"
#include "watchConfig.h"
#include "watchObservation.h"

namespace {

const char kUsage[] =
    "Usage: kelcore [--config PATH] NAME... PID\n"
    "Reads a core from standard input, stores it as CORE-DIR/NAME.PID.core (at most\n"
    "core-max-bytes) and sends keld the core dump observation; a NAME that the\n"
    "kernel split at blanks is joined again. Meant for the kernel's core_pattern:\n"
    "  |/usr/lib/keld/kelcore %e %p\n"
    "  --config PATH  kelwatch's configuration (default R/etc/keld/kelwatch.conf)\n"
    "  --help         this text\n";

int Fail(const std::string &text) {
  fprintf(stderr, "kelcore: %s\n", text.c_str());
  return 1;
}

// The process name as a file name: letters, digits, '.', '_' and '-' kept,
// anything else replaced, at most 64 bytes, never "." or "..".
std::string FileName(const std::string &name) {
  std::string out;
  for (char c : name.substr(0, 64)) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '_' || c == '-';
    out.push_back(keep ? c : '_');
  }
  if (out.empty() || out == "." || out == "..") out = "core";
  return out;
}

bool MakeDirs(const std::string &dir) {
  for (size_t pos = 1; pos <= dir.size(); ++pos) {
    if (pos == dir.size() || dir[pos] == '/') {
      if (mkdir(dir.substr(0, pos).c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

// Copies standard input into `fd`, at most `cap` bytes. 0 when done, 1 when
// the core is larger than the cap, 2 on an I/O error (errno set).
int CopyCore(int fd, uint64_t cap) {
  char buffer[65536];
  uint64_t total = 0;
  for (;;) {
    ssize_t n = read(0, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return 2;
    if (n == 0) return 0;
    total += static_cast<uint64_t>(n);
    if (total > cap) return 1;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = write(fd, buffer + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return 2;
      done += w;
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::string configPath;
  bool isDefault = true;
  int status = WatchConfig_ParseOptions(argc, argv, kUsage, &configPath, &isDefault);
  if (status >= 0) return status;
  if (argc - optind < 2) {
    fputs(kUsage, stderr);
    return 2;
  }
  // A process name with blanks reaches us as several arguments.
  std::string name = argv[optind];
  for (int i = optind + 1; i < argc - 1; ++i) name += std::string(" ") + argv[i];
  const char *pidText = argv[argc - 1];
  char *end;
  errno = 0;
  long pid = strtol(pidText, &end, 10);
  if (errno || *end || pid < 0 || pid > INT32_MAX) return Fail("bad PID '" + std::string(pidText) + "'");
  WatchConfig config;
  std::string error;
  if (!WatchConfig_Load(configPath, isDefault, &config, &error)) return Fail(error);
  std::string dir = config.coreDir.empty() ? SimRoot_Path("/var/lib/keld/cores") : config.coreDir;
  std::string path = dir + "/" + FileName(name) + "." + std::to_string(pid) + ".core";
  std::string temporary = path + ".partial";

  int outcome = 2;
  int fd = -1;
  if (MakeDirs(dir)) fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd >= 0) {
    outcome = CopyCore(fd, config.coreMaxBytes);
    if (close(fd) != 0 && outcome == 0) outcome = 2;
    if (outcome == 0 && rename(temporary.c_str(), path.c_str()) != 0) outcome = 2;
  }
  std::string reason = outcome == 1 ? "larger than core-max-bytes" : strerror(errno);
  if (outcome != 0) unlink(temporary.c_str());

  WatchSender sender(config.context);
  WatchObservation obs = outcome == 0
                             ? WatchObs_CoreDumped(name, static_cast<int32_t>(pid), path)
                             : WatchObs_CoreDumpFailed(name, static_cast<int32_t>(pid), dir);
  if (outcome != 0) fprintf(stderr, "kelcore: core of %s (pid %ld) not kept: %s\n", name.c_str(), pid, reason.c_str());
  if (!sender.Send(obs, &error)) return Fail("keld not told: " + error);
  return outcome == 0 ? 0 : 1;
}
