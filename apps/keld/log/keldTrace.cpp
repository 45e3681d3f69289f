// Trace socket service. TraceState::lock guards the history (text, start and
// line lengths), clients (including every ClientRecord) and the stopping
// flag; cond is broadcast on every publication that a client can see, on
// every client close and at TraceClose. Never held while writing to a socket.
#include "log/keldTrace.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "log/keldLine.h"
#include "log/keldLog.h"
#include "platform/clock.h"
#include "platform/kelLib.h"
#include "platform/simRoot.h"

namespace {

constexpr size_t kHistoryLimit = 131072;
constexpr const char *kTracePath = "/var/run/ombrel/keld-trace.sock";

struct ClientRecord {
  std::vector<std::string> pending;
  bool closed = false;
};

// The history is one text of whole lines: the live part begins at `start`;
// the oldest lines are dropped by moving `start` on, and the dead front is
// cut away once it is as large as the limit, so a line costs no allocation.
struct TraceState {
  std::mutex lock;
  std::condition_variable cond;
  std::string history;
  size_t start = 0;
  std::deque<uint32_t> lineLengths;  // of the live lines, oldest first
  std::map<int, ClientRecord> clients;
  bool stopping = false;  // TraceClose came: clients end once written
};

TraceState &State() {
  // Never destroyed: detached client threads may outlive static destruction.
  static TraceState *state = new TraceState();
  return *state;
}

uint32_t ReadU32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

uint64_t ReadU64(const uint8_t *p) {
  uint64_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

void *WriterThread(void *arg) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  TraceState &st = State();
  for (;;) {
    std::vector<std::string> batch;
    {
      std::unique_lock<std::mutex> guard(st.lock);
      for (;;) {
        ClientRecord &client = st.clients[fd];
        batch.swap(client.pending);
        if (!batch.empty()) break;
        if (client.closed) return nullptr;
        if (st.stopping) break;  // everything written: the client ends
        st.cond.wait(guard);
      }
    }
    if (batch.empty()) {
      // Ending the connection also ends the reader's wait; the reader then
      // cleans up.
      shutdown(fd, SHUT_RDWR);
      return nullptr;
    }
    for (const std::string &line : batch) {
      size_t done = 0;
      while (done < line.size()) {
        ssize_t n = send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (errno != EPIPE) LogMsg("Unexpected write error %s", strerror(errno));
          return nullptr;
        }
        if (n == 0) break;  // abandon the rest of this line
        done += static_cast<size_t>(n);
      }
    }
  }
}

void *ReaderThread(void *arg) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  TraceState &st = State();
  {
    std::lock_guard<std::mutex> guard(st.lock);
    ClientRecord &client = st.clients[fd];
    client.pending.clear();
    if (st.history.size() > st.start) client.pending.emplace_back(st.history, st.start);
    client.pending.emplace_back("\n");
  }
  pthread_t writer;
  int rc = pthread_create(&writer, nullptr, WriterThread, arg);
  if (rc != 0) {
    LogMsg("pthread_create failed: %s", strerror(rc));
    {
      std::lock_guard<std::mutex> guard(st.lock);
      st.clients.erase(fd);
    }
    close(fd);
    return nullptr;
  }
  for (;;) {
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    char byte;
    ssize_t n = read(fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  {
    std::lock_guard<std::mutex> guard(st.lock);
    st.clients[fd].closed = true;
  }
  st.cond.notify_all();
  // A writer blocked in send() on a full socket is released by the shutdown.
  shutdown(fd, SHUT_RDWR);
  pthread_join(writer, nullptr);
  {
    std::lock_guard<std::mutex> guard(st.lock);
    st.clients.erase(fd);
  }
  close(fd);
  return nullptr;
}

}  // namespace

int TraceListen(const char *path) {
  std::string full = SimRoot_Path(path ? path : kTracePath);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (full.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(addr.sun_path, full.c_str(), full.size());
  SimRoot_MakeParents(path ? path : kTracePath);
  {
    TraceState &st = State();
    std::lock_guard<std::mutex> guard(st.lock);
    st.stopping = false;
  }
  unlink(addr.sun_path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fd;
  int rc = bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
  if (rc == 0) rc = listen(fd, 128);
  if (rc < 0) {
    int err = errno;
    close(fd);
    errno = err;
    return rc;
  }
  return fd;
}

void TraceClose(int listenFd) {
  if (listenFd >= 0) close(listenFd);
  TraceState &st = State();
  {
    std::lock_guard<std::mutex> guard(st.lock);
    st.stopping = true;
  }
  st.cond.notify_all();
}

int TraceAccept(int listenFd) {
  int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return errno;
  pthread_t reader;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int rc = pthread_create(&reader, &attr, ReaderThread, reinterpret_cast<void *>(static_cast<intptr_t>(fd)));
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    LogMsg("pthread_create failed: %s", strerror(rc));
    close(fd);
  }
  return 0;
}

bool Trace_BuildLine(std::string &line, const struct timespec &now, const char *direction,
                     uint64_t recordTime, const char *id, const MsgFmt_Arg *args,
                     uint32_t numArgs, const uint8_t *end) {
  // Every record and string checked in one pass over the block, whatever the
  // number of arguments that share one text; the records come back aligned.
  thread_local std::vector<MsgFmt_Arg> resolved;
  if (numArgs > 0) {
    const uint8_t *start = reinterpret_cast<const uint8_t *>(args);
    if (end < start || numArgs > static_cast<size_t>(end - start) / sizeof(MsgFmt_Arg)) return false;
    resolved.resize(numArgs);
    if (!MsgFmt_ResolveArgs(args, static_cast<int>(numArgs), end, resolved.data())) return false;
  }
  LineBuilder b(line, LINE_TRACE_MARKER);
  char digits[24];
  std::to_chars_result r = std::to_chars(digits, digits + sizeof digits, static_cast<long long>(now.tv_sec));
  b.Raw(digits, static_cast<size_t>(r.ptr - digits));
  // Nanoseconds: always nine digits.
  char nanos[10] = {'.'};
  long ns = now.tv_nsec;
  for (int i = 9; i >= 1; i--, ns /= 10) nanos[i] = static_cast<char>('0' + ns % 10);
  b.Raw(nanos, sizeof nanos);
  b.Raw(',');
  b.Raw(direction);
  b.Raw(',');
  r = std::to_chars(digits, digits + sizeof digits, recordTime);
  b.Raw(digits, static_cast<size_t>(r.ptr - digits));
  b.Raw(',');
  // An ID that would shift or break the fields is quoted as a string is.
  if (Line_NeedsQuotes(id)) {
    b.Quoted(id);
  } else {
    b.Raw(id);
  }
  b.Raw(',');
  for (uint32_t i = 0; i < numArgs && !b.Truncated(); i++) {
    const MsgFmt_Arg &a = resolved[i];
    b.Raw(',');
    switch (a.type) {
      case MSGFMT_ARG_INT32:
        r = std::to_chars(digits, digits + sizeof digits, a.v.signed32);
        break;
      case MSGFMT_ARG_INT64:
        r = std::to_chars(digits, digits + sizeof digits, a.v.signed64);
        break;
      case MSGFMT_ARG_PTR32:
        r = std::to_chars(digits, digits + sizeof digits, a.v.unsigned32);
        break;
      case MSGFMT_ARG_PTR64:
        r = std::to_chars(digits, digits + sizeof digits, a.v.unsigned64);
        break;
      case MSGFMT_ARG_STRING8:
        b.Quoted(a.v.string8 ? a.v.string8 : "(null)");
        continue;
      default:
        b.Raw("???");
        continue;
    }
    b.Raw(digits, static_cast<size_t>(r.ptr - digits));
  }
  b.Finish();
  if (resolved.capacity() > kLineCap / sizeof(MsgFmt_Arg)) std::vector<MsgFmt_Arg>().swap(resolved);
  return true;
}

void TracePublish(const char *direction, uint64_t recordTime, const char *id,
                  const MsgFmt_Arg *args, uint32_t numArgs, const uint8_t *end) {
  // Each publishing thread builds its lines in its own buffer, reused.
  thread_local std::string line;
  if (!Trace_BuildLine(line, Clock_Realtime(), direction, recordTime, id, args, numArgs, end)) {
    LogMsg("Invalid argument in kel with ID %s", id);
    return;
  }
  TraceState &st = State();
  bool anyClient;
  {
    std::lock_guard<std::mutex> guard(st.lock);
    // The length first: a failed push leaves the history as it was.
    st.lineLengths.push_back(static_cast<uint32_t>(line.size()));
    try {
      st.history += line;
    } catch (const std::bad_alloc &) {
      st.lineLengths.pop_back();
      throw;
    }
    while (st.history.size() - st.start > kHistoryLimit) {
      st.start += st.lineLengths.front();
      st.lineLengths.pop_front();
    }
    if (st.start >= kHistoryLimit) {
      st.history.erase(0, st.start);
      st.start = 0;
    }
    anyClient = !st.clients.empty();
    for (auto &entry : st.clients) {
      if (!entry.second.closed) entry.second.pending.push_back(line);
    }
  }
  Line_Trim(line);
  if (anyClient) st.cond.notify_all();
}

void TraceObservation(const uint8_t *record) {
  uint32_t total = ReadU32(record + KEL_RECORD_OFF_TOTAL_LENGTH);
  uint32_t idLen = ReadU32(record + KEL_RECORD_OFF_ID_LENGTH);
  uint32_t fmtLen = ReadU32(record + KEL_RECORD_OFF_FMT_LENGTH);
  uint32_t numArgs = ReadU32(record + KEL_RECORD_OFF_NUM_ARGS);
  uint64_t argsOff = uint64_t{KEL_RECORD_HEADER_SIZE} + idLen + fmtLen;
  const char *id = reinterpret_cast<const char *>(record + KEL_RECORD_HEADER_SIZE);
  // The record was validated when it was read; recheck the sizes this line
  // relies on so that a bad record can never send us past its end.
  if (argsOff > total || uint64_t{numArgs} * sizeof(MsgFmt_Arg) > total - argsOff) {
    LogMsg("Invalid argument in kel with ID %s", id);
    return;
  }
  TracePublish("IN", ReadU64(record + KEL_RECORD_OFF_TIMESTAMP), id,
               reinterpret_cast<const MsgFmt_Arg *>(record + argsOff), numArgs, record + total);
}

void TraceEvent(const uint8_t *record) {
  uint32_t total = ReadU32(record + 56);
  uint32_t numArgs = ReadU32(record + 60);
  uint32_t idLength = ReadU32(record + 64);
  const char *id = reinterpret_cast<const char *>(record + 68);
  TracePublish("OUT", ReadU64(record), id,
               reinterpret_cast<const MsgFmt_Arg *>(record + 68 + idLength), numArgs, record + total);
}
