// Stream registry and fan-out. The stream lock guards the registry's circular
// list (gHead and every next/prev link); see keldStream.h.
#include "keldStream.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "keldLog.h"
#include "keldTrace.h"
#include "str.h"

namespace {

pthread_mutex_t gStreamLock = PTHREAD_MUTEX_INITIALIZER;
Stream gHead = {&gHead, &gHead, -1, -1, nullptr, nullptr, nullptr, 0, 0};

// Records travelling through a pipe were validated by the intake; a length
// outside this range can only mean a corrupted pipe.
constexpr uint32_t kMaxRecordLength = 1u << 20;

uint32_t ReadU32(const uint8_t *p) {
  uint32_t v;
  memcpy(&v, p, sizeof v);
  return v;
}

// One read step: 0 when `remaining` bytes all arrived, 11 when fewer did, the
// errno of a failed read otherwise.
int ReadStep(Stream *s) {
  ssize_t n = read(s->readFd, s->buffer + s->filled, s->remaining);
  if (n == 0) {
    Panic("EOF trying to read %d bytes from stream %p\n", static_cast<int>(s->remaining),
          static_cast<void *>(s));
  }
  if (n < 0) return errno;
  uint32_t got = static_cast<uint32_t>(n);
  bool whole = got == s->remaining;
  s->filled += got;
  s->remaining -= got;
  return whole ? 0 : 11;
}

}  // namespace

int32_t StreamRegistry_Init(void) {
  gHead.next = gHead.prev = &gHead;
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
  if (list->prefixCount >= SUBSCRIPTION_MAX) return 1;
  char *prefix = Str_Asprintf(nullptr, "kel.%s", domain);
  if (prefix == nullptr) return 1;
  list->prefixes[list->prefixCount++] = prefix;
  return 0;
}

uint32_t SubscriptionList_AddID(SubscriptionList *list, const char *id) {
  if (list->exactCount >= SUBSCRIPTION_MAX) return 1;
  char *copy = strdup(id);
  if (copy == nullptr) return 1;
  list->exactIds[list->exactCount++] = copy;
  return 0;
}

uint32_t SubscriptionList_Copy(const SubscriptionList *list, SubscriptionList **copyOut) {
  *copyOut = nullptr;
  SubscriptionList *copy = SubscriptionList_Create();
  if (copy == nullptr) return 1;
  for (int32_t i = 0; i < list->prefixCount; i++) {
    if ((copy->prefixes[i] = strdup(list->prefixes[i])) == nullptr) {
      SubscriptionList_Free(copy);
      return 1;
    }
    copy->prefixCount = i + 1;
  }
  for (int32_t i = 0; i < list->exactCount; i++) {
    if ((copy->exactIds[i] = strdup(list->exactIds[i])) == nullptr) {
      SubscriptionList_Free(copy);
      return 1;
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
  Stream *s = static_cast<Stream *>(calloc(1, sizeof(Stream)));
  if (s == nullptr) return 1;
  int fds[2];
  if (pipe(fds) != 0) {
    free(s);
    return 2;
  }
  if (fcntl(fds[0], F_SETFL, O_NONBLOCK) != 0) {
    close(fds[0]);
    close(fds[1]);
    free(s);
    return 2;
  }
  if (SubscriptionList_Copy(list, &s->subscriptions) != 0) {
    close(fds[0]);
    close(fds[1]);
    free(s);
    return 1;
  }
  s->readFd = fds[0];
  s->writeFd = fds[1];
  s->name = name;
  Stream_Lock();
  s->next = gHead.next;
  s->prev = &gHead;
  gHead.next->prev = s;
  gHead.next = s;
  Stream_Unlock();
  *streamOut = s;
  return 0;
}

uint32_t Stream_Destroy(Stream *stream) {
  Stream_Lock();
  bool failed = close(stream->readFd) != 0 || close(stream->writeFd) != 0;
  SubscriptionList_Free(stream->subscriptions);
  stream->prev->next = stream->next;
  stream->next->prev = stream->prev;
  free(stream->buffer);
  free(stream);
  Stream_Unlock();
  return failed ? 2 : 0;
}

uint32_t Stream_GetFd(Stream *stream, int32_t *fdOut, uint32_t *countInOut) {
  if (*countInOut < 1) return 1;
  *fdOut = stream->readFd;
  *countInOut = 1;
  return 0;
}

int32_t Stream_Publish(const uint8_t *buffer, int32_t length) {
  Stream_Lock();
  const uint8_t *rec = buffer;
  while (length > 0) {
    uint32_t total = ReadU32(rec + KEL_RECORD_OFF_TOTAL_LENGTH);
    // The intake hands over validated whole records; a record that claims
    // less than a header or more than what is left would loop or overrun.
    if (total < KEL_RECORD_HEADER_SIZE || total > static_cast<uint32_t>(length)) break;
    TraceObservation(rec);
    const char *id = reinterpret_cast<const char *>(rec + KEL_RECORD_HEADER_SIZE);
    for (Stream *s = gHead.prev; s != &gHead; s = s->prev) {
      if (!SubscriptionList_Matches(id, s->subscriptions)) continue;
      if (write(s->writeFd, rec, total) == -1) {
        int err = errno;
        Stream_Unlock();
        return err;
      }
    }
    length -= static_cast<int32_t>(total);
    rec += total;
  }
  Stream_Unlock();
  return 0;
}

uint32_t Stream_ReadObservation(Stream *stream, Observation *observationOut, bool *completeOut) {
  *completeOut = false;
  int status = 0;
  if (stream->buffer == nullptr) {
    stream->buffer = static_cast<uint8_t *>(malloc(KEL_RECORD_HEADER_SIZE));
    if (stream->buffer == nullptr) return 2;
    stream->filled = 0;
    stream->remaining = KEL_RECORD_HEADER_SIZE;
    status = ReadStep(stream);
  } else if (stream->filled < KEL_RECORD_HEADER_SIZE) {
    status = ReadStep(stream);
  }
  if (status != 0) return (status == 11 || status == EAGAIN) ? 0 : 2;

  uint32_t total = ReadU32(stream->buffer + KEL_RECORD_OFF_TOTAL_LENGTH);
  if (total < KEL_RECORD_HEADER_SIZE || total > kMaxRecordLength) return 2;
  if (stream->filled == KEL_RECORD_HEADER_SIZE) {
    uint8_t *grown = static_cast<uint8_t *>(realloc(stream->buffer, total));
    if (grown == nullptr) return 2;
    stream->buffer = grown;
    stream->remaining = total - KEL_RECORD_HEADER_SIZE;
  }
  if (stream->remaining > 0) {
    status = ReadStep(stream);
    if (status != 0) return (status == 11 || status == EAGAIN) ? 0 : 2;
  }
  Observation obs = nullptr;
  Kel_MakeKel(stream->buffer, total, &obs);
  if (obs == nullptr) return 1;
  stream->buffer = nullptr;
  stream->filled = stream->remaining = 0;
  *observationOut = obs;
  *completeOut = true;
  return 0;
}
