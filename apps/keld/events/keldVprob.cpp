// Event composition and delivery. Locks: gRateLock guards the rate-limit
// window; gQueueLock guards the retry queue and gRetryArmed and is held for a
// whole retry pass; gWorkerLock guards the retry worker's request and stop
// flags (gWorkerCond wakes it). gUuid is written once by VProbInit before any
// agent runs. gSink is set before events are posted (tests and the replay
// tool only).
#include "events/keldVprob.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "agents/keldTimer.h"
#include "intake/keldShutdown.h"
#include "intake/keldStatus.h"
#include "log/keldLog.h"
#include "log/keldTrace.h"
#include "platform/clock.h"
#include "platform/eventStamp.h"
#include "platform/hsi.h"
#include "platform/msgFmt.h"
#include "platform/simRoot.h"
#include "platform/sysLog.h"
#include "platform/vthreadBase.h"

namespace {

constexpr const char *kUnit = "keldVprob";
constexpr const char *kHubdPath = "/var/run/ombrel/hubd-vprob.sock";
constexpr int kCaptureAttempts = 5;

std::mutex gRateLock;
int64_t gWindowStart = 0;
uint32_t gWindowCount = 0;

uint8_t gUuid[HSI_SYSTEM_UUID_RECORD_SIZE];

struct RetryEntry {
  uint32_t failures;
  std::vector<uint8_t> record;
};
std::mutex gQueueLock;
std::list<RetryEntry> gQueue;
bool gRetryArmed = false;
int32_t gRetryTimerId = -1;

std::atomic<const VProbSink *> gSink{nullptr};

// A send to hubd waits at most kSendWaitSlices slices of kSendSliceMicros
// (VPROB_SEND_TIMEOUT_SECONDS in all) for a connection and for room in the socket, and looks
// at the shutdown flag between slices, so that a stopping daemon abandons it
// at once.
constexpr suseconds_t kSendSliceMicros = 100000;
constexpr int kSendWaitSlices = static_cast<int>(VPROB_SEND_TIMEOUT_SECONDS * int64_t{1000000} / kSendSliceMicros);

// The retry worker (daemon only): the retry timer's callback hands the pass
// to it, so that a pass waiting on a stuck hubd holds no other timer back.
std::mutex gWorkerLock;
std::condition_variable gWorkerCond;
bool gWorkerRunning = false;  // a pass requested of a running worker is its to run
bool gPassRequested = false;
bool gWorkerStop = false;
pthread_t gWorker;

void *RetryWorker(void *) {
  VThreadBase_SetName("vprobRetry");
  std::unique_lock<std::mutex> lock(gWorkerLock);
  for (;;) {
    gWorkerCond.wait(lock, [] { return gPassRequested || gWorkerStop; });
    if (gWorkerStop) return nullptr;
    gPassRequested = false;
    lock.unlock();
    RetryVProbs();
    lock.lock();
  }
}

// The retry timer's callback (timer thread): the pass runs on the worker
// when there is one, here otherwise (tests and the replay tool step the
// timers on one thread).
void RetryTimerFired() {
  {
    std::lock_guard<std::mutex> guard(gWorkerLock);
    if (gWorkerRunning) {
      gPassRequested = true;
      gWorkerCond.notify_one();
      return;
    }
  }
  RetryVProbs();
}

void PutU32(uint8_t *p, uint32_t v) { memcpy(p, &v, sizeof v); }

// Logs one line about an event's way to hubd (queued, retried, abandoned) and
// shows it to the sink, so that the replay tool can put it on its timeline.
__attribute__((format(printf, 1, 2))) void LogDelivery(const char *format, ...) {
  char line[512];
  va_list va;
  va_start(va, format);
  vsnprintf(line, sizeof line, format, va);  // identifiers are at most 128 bytes: never cut
  va_end(va);
  LogMsg("%s", line);
  const VProbSink *sink = gSink.load(std::memory_order_acquire);
  if (sink != nullptr && sink->delivery != nullptr) {
    line[strcspn(line, "\n")] = '\0';
    sink->delivery(sink->ctx, line);
  }
}

// True when the event may pass the rate limit (at most 1000 per window of 60
// seconds counted from the window's first event).
bool RateLimitAdmits() {
  int64_t now = Clock_NowSeconds();
  std::lock_guard<std::mutex> guard(gRateLock);
  if (gWindowStart == 0 || now - gWindowStart > VPROB_RATE_WINDOW - 1) {
    gWindowStart = now;
    gWindowCount = 1;
    return true;
  }
  return ++gWindowCount <= VPROB_RATE_LIMIT;
}

// Captures the arguments into an aligned scratch area of `room` bytes and
// copies the swizzled block to `dest`. The bytes are those an in-place capture
// would give; the scratch only keeps the argument records aligned.
bool CaptureArgs(const char *format, va_list va, uint8_t *dest, size_t room,
                 uint32_t *numArgsOut, size_t *usedOut, char **messageOut) {
  std::vector<MsgFmt_Arg> scratch(room / sizeof(MsgFmt_Arg) + 1);
  MsgFmt_Arg *args = nullptr;
  int numArgs = 0;
  const char *error = nullptr;
  size_t used = room;
  va_list copy;
  va_copy(copy, va);
  bool ok = MsgFmt_GetArgsWithBuf(format, copy, &args, &numArgs, &error, scratch.data(), &used);
  va_end(copy);
  if (!ok || used > room) return false;
  *messageOut = MsgFmt_Asprintf(nullptr, format, args, numArgs);
  MsgFmt_SwizzleArgs(args, numArgs);
  memcpy(dest, scratch.data(), used);
  *numArgsOut = static_cast<uint32_t>(numArgs);
  *usedOut = used;
  return true;
}

void Compose(uint8_t deferred, const char *prefix, const char *shortId, const char *format,
             va_list va) {
  size_t size = VPROB_INITIAL_BUFFER;
  uint8_t *rec = static_cast<uint8_t *>(calloc(1, size));
  if (rec == nullptr) {
    LogMsg("Failed to allocate %zu bytes for prob buffer.\n", size);
    return;
  }
  if (!RateLimitAdmits()) {
    LogMsg("Event rate limit reached. Dropping vprob: %s%s\n", prefix, shortId);
    free(rec);
    return;
  }
  size_t idLength = strlen(prefix) + strlen(shortId) + 1;
  if (idLength > VPROB_ID_MAX) {
    free(rec);
    return;
  }
  PutU32(rec + VPROB_OFF_ID_LENGTH, static_cast<uint32_t>(idLength));
  char *fullId = reinterpret_cast<char *>(rec + VPROB_OFF_ID);
  size_t prefixLength = strlen(prefix);
  memcpy(fullId, prefix, prefixLength);
  memcpy(fullId + prefixLength, shortId, idLength - prefixLength);  // NUL included
  memcpy(rec + VPROB_OFF_UUID, gUuid + 16, VPROB_UUID_SIZE);
  PutU32(rec + VPROB_OFF_NUM_ARGS, 0);
  size_t total = VPROB_HEADER_COUNTED + idLength;
  PutU32(rec + VPROB_OFF_TOTAL_LENGTH, static_cast<uint32_t>(total));

  int stamp = EventStamp_Call(rec);
  if (stamp != 0) errno = -stamp;

  uint32_t numArgs = 0;
  size_t used = 0;
  char *message = nullptr;
  bool captured = false;
  for (int attempt = 0; attempt < kCaptureAttempts && !captured; attempt++) {
    if (attempt > 0) {
      uint8_t *grown = static_cast<uint8_t *>(realloc(rec, size * 2));
      if (grown == nullptr) {
        LogMsg("Failed to allocate %zu bytes for prob buffer.", size * 2);
        free(rec);
        return;
      }
      memset(grown + size, 0, size);
      rec = grown;
      size *= 2;
      fullId = reinterpret_cast<char *>(rec + VPROB_OFF_ID);
    }
    // The last 4 bytes counted by totalLength are slack and stay zero.
    captured = CaptureArgs(format, va, rec + VPROB_OFF_ID + idLength, size - total, &numArgs,
                           &used, &message);
  }
  if (!captured) {
    free(rec);
    return;
  }
  uint64_t eventTime;
  memcpy(&eventTime, rec + VPROB_OFF_TIME, sizeof eventTime);
  LogEventLine(fullId, message, eventTime);
  PutU32(rec + VPROB_OFF_NUM_ARGS, numArgs);
  total += used;
  PutU32(rec + VPROB_OFF_TOTAL_LENGTH, static_cast<uint32_t>(total));
  TraceEvent(rec);
  const VProbSink *sink = gSink.load(std::memory_order_acquire);
  if (sink != nullptr && sink->composed != nullptr) sink->composed(sink->ctx, rec, total, message);
  free(message);

  if (deferred || SendVProb(rec, total) != 0) {
    LogDelivery("An event (%s) could not be sent immediately to hubd; queueing for retry.", fullId);
    QueueVProb(rec, total);
  }
  free(rec);
}

void PostV(uint8_t deferred, VProbKind kind, const char *eventTemplate, va_list va) {
  const char *prefix = VProb_KindPrefix(kind);
  if (prefix == nullptr) {
    KELD_NOT_REACHED(kUnit);
    return;  // not reached: for readers and checkers that do not know Panic
  }
  // The template must start with the marker and the kind's own prefix: a
  // template of another kind is a caller error, logged and dropped rather
  // than posted under the wrong ID.
  size_t markerLength = strlen(VPROB_MARKER);
  size_t prefixLength = strlen(prefix);
  if (strncmp(eventTemplate, VPROB_MARKER, markerLength) != 0 ||
      strncmp(eventTemplate + markerLength, prefix, prefixLength) != 0) {
    LogMsg("Event template does not begin with \"%s\"; dropped.\n", prefix);
    return;
  }
  const char *start = eventTemplate + markerLength + prefixLength;
  const char *close = strchr(start, ')');
  if (close == nullptr) return;
  char *shortId = strndup(start, static_cast<size_t>(close - start));
  if (shortId == nullptr) KELD_MEM_ALLOC(kUnit);
  Compose(deferred, prefix, shortId, close + 1, va);
  free(shortId);
}

}  // namespace

void VProb_Post(uint8_t deferred, VProbKind kind, const char *eventTemplate, ...) {
  va_list va;
  va_start(va, eventTemplate);
  PostV(deferred, kind, eventTemplate, va);
  va_end(va);
}

void Keld_PostProblem(const char *shortId, const char *messageFormat, ...) {
  LogMsg("Using discouraged \"Keld_PostProblem\" interface for vprob: %s", shortId);
  va_list va;
  va_start(va, messageFormat);
  Compose(0, VProb_KindPrefix(VPROB_PROBLEM), shortId, messageFormat, va);
  va_end(va);
}

void VProbInit(void) {
  gRetryTimerId = Timer_Register(RetryTimerFired);
  memset(gUuid, 0, sizeof gUuid);
  HSI_Get(HSI_NODE_system_systemUuid, nullptr, gUuid, sizeof gUuid);
}

int SendVProb(const uint8_t *record, size_t length) {
  const VProbSink *sink = gSink.load(std::memory_order_acquire);
  if (sink != nullptr && sink->send != nullptr) return sink->send(sink->ctx, record, length);
  if (Shutdown_Started()) return -1;
  // The send can wait on hubd: the lines this thread holds go out first.
  SysLog_EndBatch();
  // The first try does not wait: when hubd has room for the connection and
  // the record, as it nearly always has, the event is out with no further
  // call.
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  // A hubd that never accepts must not hold a correlator forever: once the
  // first try found no room, connect and send block for at most one slice
  // each (then EAGAIN), and the event is retried later once the slices are
  // used up.
  bool waiting = false;
  int slicesLeft = kSendWaitSlices;
  auto mayWaitMore = [&] {
    bool again = errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    if (again && !waiting) {
      waiting = true;
      int flags = fcntl(fd, F_GETFL);
      if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
      struct timeval slice = {0, kSendSliceMicros};
      setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &slice, sizeof slice);
      return true;
    }
    return again && --slicesLeft > 0 && !Shutdown_Started();
  };
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::string path = SimRoot_Path(kHubdPath);
  strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  bool connected = false;
  if (path.size() < sizeof addr.sun_path) {
    while (!(connected = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) &&
           mayWaitMore()) {
    }
  }
  size_t sent = 0;
  while (connected && sent < length) {
    ssize_t n = send(fd, record + sent, length - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n == 0 || !mayWaitMore()) {  // an error, no progress at all, or no time left
      break;
    }
  }
  close(fd);
  return connected && sent == length ? 0 : -1;
}

void QueueVProb(const uint8_t *record, size_t length) {
  RetryEntry entry{0, std::vector<uint8_t>(record, record + length)};
  // A retry pass holds the queue lock across its sends, which can wait on
  // hubd: the lines this thread holds go out before it waits for the lock.
  SysLog_EndBatch();
  std::lock_guard<std::mutex> guard(gQueueLock);
  gQueue.push_back(std::move(entry));
  if (!gRetryArmed) {
    Timer_Arm(gRetryTimerId, 0, VPROB_RETRY_SECONDS, nullptr);
    gRetryArmed = true;
  }
}

void RetryVProbs(void) {
  std::lock_guard<std::mutex> guard(gQueueLock);
  if (gQueue.empty()) {
    gRetryArmed = false;
    return;
  }
  bool hadFailure = false;
  // A stopping daemon leaves the rest of the queue as it is (it is dropped).
  for (auto it = gQueue.begin(); it != gQueue.end() && !Shutdown_Started();) {
    const char *id = reinterpret_cast<const char *>(it->record.data() + VPROB_OFF_ID);
    if (SendVProb(it->record.data(), it->record.size()) == 0) {
      LogDelivery("Successfully sent event (%s) after %d failure%s.\n", id,
             static_cast<int>(it->failures + 1), it->failures == 0 ? "" : "s");
      it = gQueue.erase(it);
      continue;
    }
    it->failures++;
    if (it->failures > 4) {
      LogDelivery("Abandoned event (%s) after %d failures.\n", id, static_cast<int>(it->failures + 1));
      it = gQueue.erase(it);
      continue;
    }
    LogDelivery("Failed to send event (%s); %d failures so far.\n", id, static_cast<int>(it->failures + 1));
    hadFailure = true;
    ++it;
  }
  if (hadFailure) {
    Timer_Arm(gRetryTimerId, 0, VPROB_RETRY_SECONDS, nullptr);
  } else {
    gRetryArmed = false;
  }
}

void VProb_StartRetryWorker(void) {
  std::lock_guard<std::mutex> guard(gWorkerLock);
  if (gWorkerRunning) return;
  gWorkerStop = false;
  gWorkerRunning = pthread_create(&gWorker, nullptr, RetryWorker, nullptr) == 0;
}

void VProb_StopRetryWorker(void) {
  {
    std::lock_guard<std::mutex> guard(gWorkerLock);
    if (!gWorkerRunning) return;
    gWorkerStop = true;
    gWorkerCond.notify_one();
  }
  pthread_join(gWorker, nullptr);
  std::lock_guard<std::mutex> guard(gWorkerLock);
  gWorkerRunning = false;
  gPassRequested = false;
}

void VProb_StopRetryQueue(void) {
  VProb_StopRetryWorker();
  if (size_t unsent = VProb_QueueLength()) {
    LogMsg("Dropped %zu event%s not sent to hubd.\n", unsent, unsent == 1 ? "" : "s");
  }
}

void VProb_SetSink(const VProbSink *sink) { gSink.store(sink, std::memory_order_release); }

size_t VProb_QueueLength(void) {
  std::lock_guard<std::mutex> guard(gQueueLock);
  return gQueue.size();
}

void VProb_ResetForTest(void) {
  {
    std::lock_guard<std::mutex> guard(gRateLock);
    gWindowStart = 0;
    gWindowCount = 0;
  }
  std::lock_guard<std::mutex> guard(gQueueLock);
  gQueue.clear();
  gRetryArmed = false;
}
