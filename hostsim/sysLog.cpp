// System log sink.
//
// Shared state: the cached log file (descriptor plus the root it was opened
// for) and its generation, guarded by logMutex; the generation is also read
// without the lock (atomic). Writers take a reference and write outside the
// lock; the descriptor is closed when the last reference goes, so a root
// change never closes a descriptor that another thread is writing to. Each
// thread keeps its own reference to the current file, checked against the
// root and the generation, so that a line costs no lock and no shared
// reference count: only the write() itself. (A thread keeps the file it last
// wrote to open until its next line or its end.)
//
// Outside a batch every line is one write() to a descriptor opened with
// O_APPEND: the line is in the file once the call returns. Inside a batch
// (SysLog_BeginBatch) the calling thread's lines are held in its own buffer
// and written whole, together, at SysLog_EndBatch, when the buffer passes
// kHeldLimit, when the thread ends, or at SysLog_FlushAll; lines of different
// threads still never interleave, since every write() carries whole lines
// only. Each thread's held lines are guarded by their own mutex (taken by the
// thread for every held line, uncontended, and by SysLog_FlushAll); the list
// of all threads' held lines is guarded by registryMutex, always taken first.
#include "sysLog.h"

#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "simRoot.h"

namespace {

const char kLogPath[] = "/var/log/syslog";

struct LogFile {
  std::string root;
  int fd;
  LogFile(std::string r, int f) : root(std::move(r)), fd(f) {}
  ~LogFile() { close(fd); }
};

std::mutex logMutex;
std::shared_ptr<LogFile> cachedFile;      // guarded by logMutex
std::atomic<uint64_t> cachedGeneration{0};  // written under logMutex

// The log file of `root` (the value of $KELD_ROOT, not empty), reopened when
// the root changed since the last call of any thread. The file stays valid
// until the calling thread's next call (the thread holds a reference).
const std::shared_ptr<LogFile> *LogFileFor(const char *root) {
  thread_local std::shared_ptr<LogFile> mine;
  thread_local uint64_t myGeneration = 0;
  if (mine && myGeneration == cachedGeneration.load(std::memory_order_acquire) && mine->root == root) {
    return &mine;
  }
  std::lock_guard<std::mutex> lock(logMutex);
  if (!cachedFile || cachedFile->root != root) {
    SimRoot_MakeParents(kLogPath);
    std::string path = SimRoot_Path(kLogPath);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return nullptr;
    cachedFile = std::make_shared<LogFile>(root, fd);
    cachedGeneration.fetch_add(1, std::memory_order_release);
  }
  mine = cachedFile;
  myGeneration = cachedGeneration.load(std::memory_order_relaxed);
  return &mine;
}

// Lines held in a batch are written once they reach this many bytes.
constexpr size_t kHeldLimit = size_t{32} * 1024;

void WriteLine(int fd, const char *text, size_t length);

// A thread's batch: the lines held and the file they belong to (a reference
// of its own, so that the file outlives a root change). `active` is touched
// by the owning thread only; `text` and `file` under `lock`.
struct HeldLines {
  bool active = false;
  std::mutex lock;
  std::string text;
  std::shared_ptr<LogFile> file;

  // Under `lock`.
  void FlushLocked() {
    if (file && !text.empty()) WriteLine(file->fd, text.data(), text.size());
    text.clear();
    file.reset();
  }
  void Flush() {
    std::lock_guard<std::mutex> g(lock);
    FlushLocked();
  }
};

// Every thread's held lines, for SysLog_FlushAll: shared with the thread,
// and dropped here once the thread has ended (the registry holds the last
// reference), whenever a thread joins. A thread's end touches only its own
// lines, never the registry. Never destroyed: threads still start and end
// during the exit-time destructors.
std::mutex &registryMutex = *new std::mutex;
using HeldList = std::vector<std::shared_ptr<HeldLines>>;
HeldList &registry = *new HeldList;  // guarded by registryMutex

// The calling thread's reference; at the thread's end it writes what is
// still held.
struct HeldRef {
  std::shared_ptr<HeldLines> held;
  ~HeldRef() {
    if (held) held->Flush();
  }
};

HeldLines &Held() {
  thread_local HeldRef ref;
  if (!ref.held) {
    auto held = std::make_shared<HeldLines>();
    std::lock_guard<std::mutex> g(registryMutex);
    registry.erase(std::remove_if(registry.begin(), registry.end(),
                                  [](const std::shared_ptr<HeldLines> &h) { return h.use_count() == 1; }),
                   registry.end());
    registry.push_back(held);
    ref.held = std::move(held);
  }
  return *ref.held;
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

namespace {

// Appends one whole line (with its newline) to the file of `file`, or to the
// calling thread's batch.
void Emit(const std::shared_ptr<LogFile> &file, const char *line, size_t length) {
  HeldLines &held = Held();
  if (!held.active) {
    WriteLine(file->fd, line, length);
    return;
  }
  std::lock_guard<std::mutex> g(held.lock);
  if (held.file != file) {
    held.FlushLocked();
    held.file = file;
  }
  held.text.append(line, length);
  if (held.text.size() >= kHeldLimit) held.FlushLocked();
}

// The root the sink writes under, or null for the system's own log.
const char *LogRoot() {
  const char *root = getenv("KELD_ROOT");
  return root && *root ? root : nullptr;
}

}  // namespace

void SysLog_VLog(int priority, const char *format, va_list args) {
  if (!format) return;
  const char *root = LogRoot();
  if (!root) {
    vsyslog(priority, format, args);
    return;
  }
  try {
    const std::shared_ptr<LogFile> *file = LogFileFor(root);
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
    Emit(*file, line, length);
  } catch (...) {
    // Out of memory: the line is lost, the caller goes on.
  }
}

void SysLog_Write(int priority, const char *text, size_t length) {
  if (!text) return;
  const char *root = LogRoot();
  if (!root) {
    syslog(priority, "%.*s", static_cast<int>(std::min<size_t>(length, INT_MAX)), text);
    return;
  }
  try {
    const std::shared_ptr<LogFile> *file = LogFileFor(root);
    if (!file) return;
    if (length > 0 && text[length - 1] == '\n') {
      Emit(*file, text, length);
    } else {
      std::string line(text, length);
      line += '\n';
      Emit(*file, line.data(), line.size());
    }
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

void SysLog_BeginBatch(void) { Held().active = true; }

void SysLog_EndBatch(void) {
  HeldLines &held = Held();
  held.active = false;
  held.Flush();
}

void SysLog_FlushAll(void) {
  std::lock_guard<std::mutex> g(registryMutex);
  for (const std::shared_ptr<HeldLines> &held : registry) held->Flush();
}
