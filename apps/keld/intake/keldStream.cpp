// Stream registry and fan-out. The stream lock guards the registry's circular
// list (gHead and every next/prev link), every stream's pending bytes, the
// batch flag and the route cache; see keldStream.h.
#include "intake/keldStream.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "intake/keldStatus.h"
#include "log/keldLog.h"
#include "log/keldTrace.h"
#include "platform/str.h"

namespace {

pthread_mutex_t gStreamLock = PTHREAD_MUTEX_INITIALIZER;
Stream gHead = {&gHead, &gHead, -1, -1, nullptr, nullptr, nullptr, 0, 0, 0, {}};

// Records travelling through a pipe were validated by the intake; a length
// outside this range can only mean a corrupted pipe.
constexpr uint32_t kMaxRecordLength = 1u << 20;
// The read-ahead buffer: a pipe's default capacity, so one read can empty it.
constexpr uint32_t kReadAhead = 64 * 1024;

uint32_t ReadU32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// The total length of the buffered record at begin, or 0 when its header has
// not all arrived. A length no record can have comes back as
// kMaxRecordLength + 1.
uint32_t BufferedRecordLength(const Stream *s) {
  if (s->buffer == nullptr || s->filled - s->begin < KEL_RECORD_HEADER_SIZE) return 0;
  uint32_t total = ReadU32(s->buffer + s->begin + KEL_RECORD_OFF_TOTAL_LENGTH);
  return total < KEL_RECORD_HEADER_SIZE ? kMaxRecordLength + 1 : total;
}

// Makes room behind the buffered bytes for a record of `total` bytes (or for
// a header when total is 0): moves the unread bytes to the front and grows
// the buffer when the record is larger than it. False when memory runs out.
bool MakeRoom(Stream *s, uint32_t total) {
  uint32_t unread = s->filled - s->begin;
  if (s->begin > 0) {
    memmove(s->buffer, s->buffer + s->begin, unread);
    s->begin = 0;
    s->filled = unread;
  }
  if (total <= s->capacity) return true;
  uint8_t *grown = static_cast<uint8_t *>(realloc(s->buffer, total));
  if (grown == nullptr) return false;
  s->buffer = grown;
  s->capacity = total;
  return true;
}

// Set between Stream_BeginBatch and Stream_EndBatch. Guarded by the stream
// lock.
bool gBatchOpen = false;
// The streams with pending bytes, so that a flush visits only those and not
// the whole registry (a stream written at kPendingLimit and given more can
// be listed twice; its second flush writes nothing). Guarded by the stream
// lock.
std::vector<Stream *> gWaiting;
// A stream's pending bytes are written before they pass this, batch or not.
constexpr size_t kPendingLimit = size_t{64} * 1024;

// Which streams each observation ID goes to, worked out at its first sight
// and forgotten whenever the registry changes. Bounded, so that a sender
// making up IDs cannot grow it without end. Guarded by the stream lock.
std::unordered_map<std::string, std::vector<Stream *>> gRoutes;
std::string gRouteKey;  // the lookup key, reused so that lookups allocate nothing
std::vector<Stream *> gUncachedRoute;  // the route of the last ID too long to keep
constexpr size_t kMaxRoutes = 4096, kMaxRouteKey = 256;

// The streams, in creation order, whose subscriptions match `id`. Valid
// until the next call. Under the stream lock.
const std::vector<Stream *> &RouteFor(const char *id) {
  gRouteKey.assign(id);
  auto it = gRoutes.find(gRouteKey);
  if (it != gRoutes.end()) return it->second;
  std::vector<Stream *> streams;
  for (Stream *s = gHead.prev; s != &gHead; s = s->prev) {
    if (SubscriptionList_Matches(id, s->subscriptions)) streams.push_back(s);
  }
  // Real IDs are short; a long one (up to a whole record) is routed but not
  // kept, so that the cache stays small in bytes as well as in entries.
  if (gRouteKey.size() > kMaxRouteKey) {
    gUncachedRoute = std::move(streams);
    return gUncachedRoute;
  }
  if (gRoutes.size() >= kMaxRoutes) gRoutes.clear();
  return gRoutes.emplace(gRouteKey, std::move(streams)).first->second;
}

// Waits without end for room in a full pipe; the intake installs its own.
bool WaitForRoom(int fd) {
  struct pollfd p = {fd, POLLOUT, 0};
  while (poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
  return true;
}

// How the fan-out waits for room in a full pipe. Written before the intake
// runs; read under the stream lock.
StreamRoomWait gRoomWait = WaitForRoom;

// Writes all of `length` bytes into the non-blocking pipe `fd`, waiting for
// room through gRoomWait whenever it is full. 0, the errno of a failed write,
// or ECANCELED when the wait gave up.
int WriteAll(int fd, const uint8_t *bytes, size_t length) {
  while (length > 0) {
    ssize_t n = write(fd, bytes, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
      if (!gRoomWait(fd)) return ECANCELED;
      continue;
    }
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

// Writes a stream's pending records into its pipe. Under the stream lock.
int FlushStream(Stream *s) {
  if (s->pending.empty()) return 0;
  int err = WriteAll(s->writeFd, s->pending.data(), s->pending.size());
  s->pending.clear();
  return err;
}

// Writes the pending records of every stream that has some, in the order
// in which they were first given one (for a single record, creation order);
// stops at the first failure and drops what is still pending. Under the
// stream lock.
int FlushAll() {
  int err = 0;
  for (Stream *s : gWaiting) {
    if (err == 0) {
      err = FlushStream(s);
    } else {
      s->pending.clear();
    }
  }
  gWaiting.clear();
  return err;
}

}  // namespace

int32_t StreamRegistry_Init(void) {
  gHead.next = gHead.prev = &gHead;
  gRoutes.clear();
  gWaiting.clear();
  gBatchOpen = false;
  return pthread_mutex_init(&gStreamLock, nullptr);
}

void Stream_Lock(void) {
  int rc = pthread_mutex_lock(&gStreamLock);
  if (rc != 0) Panic("Failed to acquire stream lock: %s\n", strerror(rc));
}

void Stream_Unlock(void) {
  int rc = pthread_mutex_unlock(&gStreamLock);
  if (rc != 0) Panic("Failed to release stream lock: %s\n", strerror(rc));
}

SubscriptionList *SubscriptionList_Create(void) {
  return static_cast<SubscriptionList *>(calloc(1, sizeof(SubscriptionList)));
}

uint32_t SubscriptionList_AddDomain(SubscriptionList *list, const char *domain) {
  if (list->prefixCount >= SUBSCRIPTION_MAX) return KELD_ERR_NOT_DONE;
  char *prefix = Str_Asprintf(nullptr, "kel.%s", domain);
  if (prefix == nullptr) return KELD_ERR_NOT_DONE;
  list->prefixes[list->prefixCount++] = prefix;
  return 0;
}

uint32_t SubscriptionList_AddID(SubscriptionList *list, const char *id) {
  if (list->exactCount >= SUBSCRIPTION_MAX) return KELD_ERR_NOT_DONE;
  char *copy = strdup(id);
  if (copy == nullptr) return KELD_ERR_NOT_DONE;
  list->exactIds[list->exactCount++] = copy;
  return 0;
}

uint32_t SubscriptionList_Copy(const SubscriptionList *list, SubscriptionList **copyOut) {
  *copyOut = nullptr;
  SubscriptionList *copy = SubscriptionList_Create();
  if (copy == nullptr) return KELD_ERR_NOT_DONE;
  for (int32_t i = 0; i < list->prefixCount; i++) {
    if ((copy->prefixes[i] = strdup(list->prefixes[i])) == nullptr) {
      SubscriptionList_Free(copy);
      return KELD_ERR_NOT_DONE;
    }
    copy->prefixCount = i + 1;
  }
  for (int32_t i = 0; i < list->exactCount; i++) {
    if ((copy->exactIds[i] = strdup(list->exactIds[i])) == nullptr) {
      SubscriptionList_Free(copy);
      return KELD_ERR_NOT_DONE;
    }
    copy->exactCount = i + 1;
  }
  *copyOut = copy;
  return 0;
}

void SubscriptionList_Free(SubscriptionList *list) {
  if (list == nullptr) return;
  for (int32_t i = 0; i < list->prefixCount; i++) free(list->prefixes[i]);
  for (int32_t i = 0; i < list->exactCount; i++) free(list->exactIds[i]);
  free(list);
}

bool SubscriptionList_Matches(const char *id, const SubscriptionList *list) {
  for (int32_t i = 0; i < list->prefixCount; i++) {
    const char *p = list->prefixes[i];
    size_t n = strlen(p);
    if (strncmp(id, p, n) == 0 && id[n] == '.') return true;
  }
  for (int32_t i = 0; i < list->exactCount; i++) {
    if (Kel_IsID(id, list->exactIds[i])) return true;
  }
  return false;
}

uint32_t Stream_Create(AgentName *name, const SubscriptionList *list, Stream **streamOut) {
  *streamOut = nullptr;
  Stream *s = new (std::nothrow) Stream{};
  if (s == nullptr) return KELD_ERR_NOT_DONE;
  int fds[2];
  if (pipe(fds) != 0) {
    delete s;
    return KELD_ERR_IO;
  }
  if (fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0 || fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0) {
    close(fds[0]);
    close(fds[1]);
    delete s;
    return KELD_ERR_IO;
  }
  if (SubscriptionList_Copy(list, &s->subscriptions) != 0) {
    close(fds[0]);
    close(fds[1]);
    delete s;
    return KELD_ERR_NOT_DONE;
  }
  s->readFd = fds[0];
  s->writeFd = fds[1];
  s->name = name;
  Stream_Lock();
  s->next = gHead.next;
  s->prev = &gHead;
  gHead.next->prev = s;
  gHead.next = s;
  gRoutes.clear();
  Stream_Unlock();
  *streamOut = s;
  return 0;
}

uint32_t Stream_Destroy(Stream *stream) {
  // The intake may be blocked writing into this very pipe, full, under the
  // stream lock: waiting for the lock would then wait for ever. Until the
  // lock is ours, whatever arrives in the pipe is read and dropped (the agent
  // is leaving and will handle none of it).
  for (;;) {
    int rc = pthread_mutex_trylock(&gStreamLock);
    if (rc == 0) break;
    if (rc != EBUSY) Panic("Failed to acquire stream lock: %s\n", strerror(rc));
    char drained[4096];
    while (read(stream->readFd, drained, sizeof drained) > 0) {
    }
    struct pollfd p = {stream->readFd, POLLIN, 0};
    poll(&p, 1, 1);
  }
  bool failed = close(stream->readFd) != 0;
  failed = close(stream->writeFd) != 0 || failed;
  SubscriptionList_Free(stream->subscriptions);
  stream->prev->next = stream->next;
  stream->next->prev = stream->prev;
  gRoutes.clear();
  gWaiting.erase(std::remove(gWaiting.begin(), gWaiting.end(), stream), gWaiting.end());
  free(stream->buffer);
  delete stream;
  Stream_Unlock();
  return failed ? KELD_ERR_IO : KELD_OK;
}

uint32_t Stream_GetFd(Stream *stream, int32_t *fdOut, uint32_t *countInOut) {
  if (*countInOut < 1) return KELD_ERR_NOT_DONE;
  *fdOut = stream->readFd;
  *countInOut = 1;
  return 0;
}

int32_t Stream_Publish(const uint8_t *buffer, int32_t length) {
  Stream_Lock();
  const uint8_t *rec = buffer;
  int err = 0;
  try {
    while (length > 0 && err == 0) {
      uint32_t total = ReadU32(rec + KEL_RECORD_OFF_TOTAL_LENGTH);
      // The intake hands over validated whole records; a record that claims
      // less than a header or more than what is left would loop or overrun.
      if (total < KEL_RECORD_HEADER_SIZE || total > static_cast<uint32_t>(length)) break;
      TraceObservation(rec);
      const char *id = reinterpret_cast<const char *>(rec + KEL_RECORD_HEADER_SIZE);
      for (Stream *s : RouteFor(id)) {
        if (s->pending.empty()) gWaiting.push_back(s);
        s->pending.insert(s->pending.end(), rec, rec + total);
        if (s->pending.size() >= kPendingLimit && (err = FlushStream(s)) != 0) break;
      }
      length -= static_cast<int32_t>(total);
      rec += total;
    }
    if (err == 0 && !gBatchOpen) err = FlushAll();
  } catch (const std::bad_alloc &) {
    err = ENOMEM;
  }
  Stream_Unlock();
  return err;
}

void Stream_SetRoomWait(StreamRoomWait wait) { gRoomWait = wait != nullptr ? wait : WaitForRoom; }

void Stream_BeginBatch(void) {
  Stream_Lock();
  gBatchOpen = true;
  Stream_Unlock();
}

int32_t Stream_EndBatch(void) {
  Stream_Lock();
  gBatchOpen = false;
  int err = FlushAll();
  Stream_Unlock();
  return err;
}

uint32_t Stream_ReadObservation(Stream *stream, Observation *observationOut, bool *completeOut) {
  *completeOut = false;
  if (stream->buffer == nullptr) {
    stream->buffer = static_cast<uint8_t *>(malloc(kReadAhead));
    if (stream->buffer == nullptr) return KELD_ERR_IO;
    stream->capacity = kReadAhead;
    stream->begin = stream->filled = 0;
  }
  uint32_t total = BufferedRecordLength(stream);
  if (total > kMaxRecordLength) return KELD_ERR_IO;
  if (total == 0 || stream->filled - stream->begin < total) {
    // No whole record buffered: one read of whatever the pipe holds.
    if (!MakeRoom(stream, total)) return KELD_ERR_IO;
    ssize_t n = read(stream->readFd, stream->buffer + stream->filled, stream->capacity - stream->filled);
    if (n == 0) {
      Panic("EOF trying to read %d bytes from stream %p\n",
            static_cast<int>(stream->capacity - stream->filled), static_cast<void *>(stream));
    }
    if (n < 0) return (errno == EAGAIN || errno == EINTR) ? KELD_OK : KELD_ERR_IO;
    stream->filled += static_cast<uint32_t>(n);
    total = BufferedRecordLength(stream);
    if (total > kMaxRecordLength) return KELD_ERR_IO;
    if (total == 0 || stream->filled - stream->begin < total) return 0;
  }
  // The observation owns its record: a copy of exactly its bytes.
  uint8_t *record = static_cast<uint8_t *>(malloc(total));
  if (record == nullptr) return KELD_ERR_IO;
  memcpy(record, stream->buffer + stream->begin, total);
  Observation obs = nullptr;
  Kel_MakeKel(record, total, &obs);
  if (obs == nullptr) {
    free(record);
    return KELD_ERR_NOT_DONE;
  }
  stream->begin += total;
  if (stream->begin == stream->filled) stream->begin = stream->filled = 0;
  *observationOut = obs;
  *completeOut = true;
  return 0;
}

bool Stream_HasRecord(const Stream *stream) {
  uint32_t total = BufferedRecordLength(stream);
  return total != 0 && stream->filled - stream->begin >= total;
}
