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
// wrote to open until its next line or its end.) At most once per 100 ms one
// writer checks the file (the atomic nextRotationCheck picks it) and, under
// logMutex, reopens a log that was renamed or removed; the file's change
// watch and openFailureReported are guarded by logMutex.
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
#include "platform/sysLog.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "fileWatch.h"
#include "platform/clock.h"
#include "platform/simRoot.h"

namespace {

const char kLogPath[] = "/var/log/syslog";

// The open log and the file it is (device and inode, noted once at open),
// with a change watch on it: a rotation check is then one read of the
// watch's queue, and a stat() of the path only after the file was renamed,
// unlinked or re-attributed. `watch` and `mark` are used under logMutex.
struct LogFile {
  std::string root;
  int fd;
  bool identityKnown = false;
  dev_t dev = 0;
  ino_t ino = 0;
  FileWatch watch;
  // The watch's count at the last stat() of the path; the first check after
  // the open always looks (the path may have moved before the watch was set).
  uint64_t mark = UINT64_MAX;
  LogFile(std::string r, int f, const std::string &path) : root(std::move(r)), fd(f) {
    struct stat st;
    if (fstat(fd, &st) == 0) {
      identityKnown = true;
      dev = st.st_dev;
      ino = st.st_ino;
    }
    watch.Watch(path, IN_MOVE_SELF | IN_ATTRIB | IN_DELETE_SELF, 0);
  }
  ~LogFile() { close(fd); }
};

std::mutex logMutex;
std::shared_ptr<LogFile> cachedFile;      // guarded by logMutex
std::atomic<uint64_t> cachedGeneration{0};  // written under logMutex

// How often the file's path is looked at again: a log renamed or removed
// (log rotation) is followed by a new file within this time.
constexpr int64_t kRotationCheckMillis = 100;
std::atomic<int64_t> nextRotationCheck{0};  // monotonic milliseconds
// Set while the log cannot be opened and that has been said on stderr.
bool openFailureReported = false;  // guarded by logMutex

// A fake clock may stand anywhere: beyond what milliseconds hold, the path is
// looked at once and then no more.
int64_t MonotonicMillis() {
  struct timespec t = Clock_Monotonic();
  constexpr int64_t kMaxSeconds = INT64_MAX / 1000 - 1000;
  if (t.tv_sec < 0 || t.tv_sec > kMaxSeconds) return 0;
  return static_cast<int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// True when one thread should look at the path now; at most one per interval.
bool RotationCheckDue() {
  int64_t now = MonotonicMillis();
  int64_t next = nextRotationCheck.load(std::memory_order_relaxed);
  return now >= next &&
         nextRotationCheck.compare_exchange_strong(next, now + kRotationCheckMillis, std::memory_order_relaxed);
}

// True when the path no longer names the open file (renamed or removed).
// Under logMutex.
bool Rotated(LogFile &file) {
  if (file.watch.Active() && file.watch.Changes() == file.mark) return false;
  file.mark = file.watch.Changes();
  struct stat atPath, open;
  dev_t dev = file.dev;
  ino_t ino = file.ino;
  if (!file.identityKnown) {
    if (fstat(file.fd, &open) != 0) return false;
    dev = open.st_dev;
    ino = open.st_ino;
  }
  std::string path = SimRoot_Path(kLogPath);
  return stat(path.c_str(), &atPath) != 0 || atPath.st_dev != dev || atPath.st_ino != ino;
}

// Under logMutex: opens the log of `root` as the cached file. A failure is
// said once on stderr (the log itself cannot carry it) until an open works.
bool OpenLocked(const char *root) {
  SimRoot_MakeParents(kLogPath);
  std::string path = SimRoot_Path(kLogPath);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (!openFailureReported) {
      fprintf(stderr, "hostsim: cannot open the system log %s: %s; its lines are lost\n", path.c_str(),
              strerror(errno));
      openFailureReported = true;
    }
    return false;
  }
  openFailureReported = false;
  cachedFile = std::make_shared<LogFile>(root, fd, path);
  cachedGeneration.fetch_add(1, std::memory_order_release);
  return true;
}

// The log file of `root` (the value of $KELD_ROOT, not empty), reopened when
// the root changed since the last call of any thread or the file was renamed
// or removed. The file stays valid until the calling thread's next call (the
// thread holds a reference).
const std::shared_ptr<LogFile> *LogFileFor(const char *root) {
  thread_local std::shared_ptr<LogFile> mine;
  thread_local uint64_t myGeneration = 0;
  bool checkPath = RotationCheckDue();
  if (!checkPath && mine && myGeneration == cachedGeneration.load(std::memory_order_acquire) &&
      mine->root == root) {
    return &mine;
  }
  std::lock_guard<std::mutex> lock(logMutex);
  bool reopen = !cachedFile || cachedFile->root != root || (checkPath && Rotated(*cachedFile));
  if (reopen && !OpenLocked(root)) return nullptr;
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

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// The first control character in [p, end), or `end`. Nearly every line has
// none, so the text is looked at eight bytes at a time: a word holds a byte
// below 0x20 when subtracting 0x20 from every byte sets a high bit that was
// clear, and a DEL when the word xor DELs has a zero byte.
const char *FirstControl(const char *p, const char *end) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
  while (end - p >= 8) {
    uint64_t w;
    memcpy(&w, p, sizeof w);
    uint64_t del = w ^ (kOnes * 0x7f);
    if ((((w - kOnes * 0x20) & ~w) | ((del - kOnes) & ~del)) & kHighs) break;
    p += 8;
  }
  while (p < end && !IsControl(static_cast<unsigned char>(*p))) p++;
  return p;
}

// One message is one line: the control characters of `text` other than a
// final newline are written as '#' and three octal digits, as a system log
// daemon does, so that no message can make two lines or carry a raw control
// character into the file. Returns the text to write, without its final
// newline: `text` itself when nothing needs escaping, else `scratch`.
const char *EscapeControls(const char *text, size_t *length, std::string &scratch) {
  size_t n = *length;
  if (n > 0 && text[n - 1] == '\n') n--;
  *length = n;
  const char *end = text + n;
  const char *p = FirstControl(text, end);
  if (p == end) return text;
  scratch.assign(text, p);
  for (; p < end; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (!IsControl(c)) {
      scratch += static_cast<char>(c);
      continue;
    }
    char octal[5] = {'#', static_cast<char>('0' + (c >> 6)), static_cast<char>('0' + ((c >> 3) & 7)),
                     static_cast<char>('0' + (c & 7)), '\0'};
    scratch.append(octal, 4);
  }
  *length = scratch.size();
  return scratch.data();
}

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

// Writes one message as one line: escaped, with its newline.
void WriteMessage(const std::shared_ptr<LogFile> &file, const char *text, size_t length) {
  thread_local std::string scratch;
  bool endsLine = length > 0 && text[length - 1] == '\n';
  const char *escaped = EscapeControls(text, &length, scratch);
  if (escaped == text && endsLine) {
    Emit(file, text, length + 1);  // the text already ends in its newline
  } else {
    if (escaped == text) scratch.assign(text, length);
    scratch += '\n';
    Emit(file, scratch.data(), scratch.size());
  }
  if (scratch.capacity() > 16384) std::string().swap(scratch);
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
    const char *line = stackBuf;
    size_t length = static_cast<size_t>(n);
    if (length >= sizeof stackBuf) {
      // Too long for the stack buffer.
      heapBuf.resize(length + 1);
      va_list render;
      va_copy(render, args);
      vsnprintf(&heapBuf[0], length + 1, format, render);
      va_end(render);
      heapBuf.resize(length);
      line = heapBuf.data();
    }
    WriteMessage(*file, line, length);
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
    WriteMessage(*file, text, length);
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
