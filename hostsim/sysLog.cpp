// System log sink.
//
// Shared state: the cached log file (descriptor plus the path it was opened
// for), guarded by logMutex. Writers take a reference under the lock and write
// outside it; the descriptor is closed when the last reference goes, so a
// root change never closes a descriptor that another thread is writing to.
#include "sysLog.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "simRoot.h"

namespace {

const char kLogPath[] = "/var/log/syslog";

struct LogFile {
  std::string path;
  int fd;
  LogFile(std::string p, int f) : path(std::move(p)), fd(f) {}
  ~LogFile() { close(fd); }
};

std::mutex logMutex;
std::shared_ptr<LogFile> cachedFile;  // guarded by logMutex

std::shared_ptr<LogFile> LogFileFor(const std::string &path) {
  std::lock_guard<std::mutex> lock(logMutex);
  if (cachedFile && cachedFile->path == path) return cachedFile;
  SimRoot_MakeParents(kLogPath);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return nullptr;
  cachedFile = std::make_shared<LogFile>(path, fd);
  return cachedFile;
}

void WriteLine(int fd, const char *text, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, text, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text += n;
    length -= static_cast<size_t>(n);
  }
}

}  // namespace

void SysLog_VLog(int priority, const char *format, va_list args) {
  if (!format) return;
  const char *root = getenv("KELD_ROOT");
  if (!root || !*root) {
    vsyslog(priority, format, args);
    return;
  }
  try {
    std::shared_ptr<LogFile> file = LogFileFor(SimRoot_Path(kLogPath));
    if (!file) return;
    char stackBuf[1024];
    va_list measure;
    va_copy(measure, args);
    int n = vsnprintf(stackBuf, sizeof stackBuf, format, measure);
    va_end(measure);
    if (n < 0) return;
    std::string heapBuf;
    char *line = stackBuf;
    size_t length = static_cast<size_t>(n);
    if (length + 1 >= sizeof stackBuf) {
      // Too long for the stack buffer (or no room for the newline).
      heapBuf.resize(length + 2);
      va_list render;
      va_copy(render, args);
      vsnprintf(&heapBuf[0], length + 1, format, render);
      va_end(render);
      line = &heapBuf[0];
    }
    if (length == 0 || line[length - 1] != '\n') line[length++] = '\n';
    WriteLine(file->fd, line, length);
  } catch (...) {
    // Out of memory: the line is lost, the caller goes on.
  }
}

void SysLog_Log(int priority, const char *format, ...) {
  va_list args;
  va_start(args, format);
  SysLog_VLog(priority, format, args);
  va_end(args);
}
