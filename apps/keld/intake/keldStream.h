// The fan-out stream: one pipe per agent, all hung in one registry.
//
// Locking: the stream lock (a process-wide mutex) guards the registry list,
// every stream's pending bytes and the batch flag. It is held by the intake
// thread for the fan-out of one whole read buffer (Stream_Publish, which also
// writes the trace lines under it) and for the writes of a batch's end, and
// by agent threads only while they insert (Stream_Create) or remove
// (Stream_Destroy) their own stream. The agent-side read-ahead state of a
// Stream (buffer, capacity, begin, filled) belongs to the owning agent
// thread and takes no lock.
//
// Costs: the fan-out gathers each stream's records and writes them with one
// write() (whole records, in order): at the end of each Stream_Publish, or,
// inside a batch, at Stream_EndBatch (the intake loop makes one batch of all
// the reads of one poll). An agent reads whatever its pipe holds with one
// read() into its read-ahead buffer. So a busy agent costs a few system
// calls and one wake-up per batch of records, not several per record.
#pragma once

#include <cstdint>
#include <vector>

#include "intake/keldStatus.h"
#include "platform/kelLib.h"

enum : int32_t { SUBSCRIPTION_MAX = 10 };

struct SubscriptionList {
  int32_t prefixCount;
  int32_t exactCount;
  char *prefixes[SUBSCRIPTION_MAX];
  char *exactIds[SUBSCRIPTION_MAX];
};

// The agent's name record (owned by the agent, referenced by its stream).
struct AgentName {
  char *name;
};

struct Stream {
  Stream *next;
  Stream *prev;
  int32_t readFd;
  int32_t writeFd;
  SubscriptionList *subscriptions;  // the stream's own copy
  AgentName *name;                  // not owned
  uint8_t *buffer;                  // read-ahead bytes from the pipe, or null
  uint32_t capacity;                // size of buffer
  uint32_t begin;                   // first byte not yet handed out
  uint32_t filled;                  // end of the bytes read
  std::vector<uint8_t> pending;     // records not yet written (stream lock)
};

// Makes the registry empty and initialises the stream lock. 0 or the mutex
// initialisation's error number. Called once, before any agent starts.
int32_t StreamRegistry_Init(void);
// Take/release the stream lock; a failure panics.
void Stream_Lock(void);
void Stream_Unlock(void);

// A new empty list (all zero), or null. Free with SubscriptionList_Free.
SubscriptionList *SubscriptionList_Create(void);
// Appends "kel." + domain. KELD_ERR_NOT_DONE when the list is full or the
// format fails.
uint32_t SubscriptionList_AddDomain(SubscriptionList *list, const char *domain);
// Appends a copy of `id`. KELD_ERR_NOT_DONE when the list is full or the
// copy fails.
uint32_t SubscriptionList_AddID(SubscriptionList *list, const char *id);
// Deep copy into *copyOut; KELD_ERR_NOT_DONE (and null) when an allocation
// fails.
uint32_t SubscriptionList_Copy(const SubscriptionList *list, SubscriptionList **copyOut);
void SubscriptionList_Free(SubscriptionList *list);
// True when `id` begins with a prefix followed by '.', or equals an exact ID.
bool SubscriptionList_Matches(const char *id, const SubscriptionList *list);

// Creates a stream (pipe with non-blocking ends, a copy of `list`) and
// registers it. 0, KELD_ERR_NOT_DONE (no memory or copy failed) or
// KELD_ERR_IO (pipe failure); *streamOut null on failure. Agent thread.
uint32_t Stream_Create(AgentName *name, const SubscriptionList *list, Stream **streamOut);
// Unregisters (under the lock), closes both ends and frees. While the lock
// is busy it drains the pipe, so that an intake blocked on this full pipe can
// finish. 0, or KELD_ERR_IO when a close failed (the stream is freed in both
// cases).
uint32_t Stream_Destroy(Stream *stream);
// The descriptor the agent polls. KELD_ERR_NOT_DONE when *countInOut is
// below 1.
uint32_t Stream_GetFd(Stream *stream, int32_t *fdOut, uint32_t *countInOut);
// Intake thread: traces each record of `buffer` (whole records, `length`
// bytes) and writes it whole into the pipe of every matching stream, the
// streams in creation order and each stream's records in buffer order;
// inside a batch the writes wait for Stream_EndBatch (a stream's share is
// written early once it holds 64 KiB). The buffer may be reused on return.
// 0; or the errno of a failed pipe write (the records pending for that stream
// are dropped, and the rest of the buffer is not fanned out); or ENOMEM.
int32_t Stream_Publish(const uint8_t *buffer, int32_t length);
// Waits until `fd`, a full pipe, has room: true to write on, false to give
// up (the write then fails with ECANCELED and its records are dropped).
typedef bool (*StreamRoomWait)(int fd);
// Installs how the fan-out waits on a full pipe (null: wait without end).
// Main thread, before the intake runs.
void Stream_SetRoomWait(StreamRoomWait wait);
// Intake thread: opens a batch, in which Stream_Publish gathers records
// instead of writing them.
void Stream_BeginBatch(void);
// Intake thread: writes everything gathered since Stream_BeginBatch into the
// pipes (streams in creation order) and closes the batch. 0, or the errno of
// the first failed write (what was still pending is dropped). Must be called
// before the intake waits, so that no record waits with it.
int32_t Stream_EndBatch(void);
// Agent thread: hands out the next record of the stream as an Observation
// (the caller frees it with Kel_Free). When no whole record is buffered it
// reads once from the non-blocking pipe (never waits). 0 with *completeOut
// true and an Observation; 0 with *completeOut false when no whole record is
// there yet; KELD_ERR_NOT_DONE when the record did not make an Observation
// (it stays in the stream); KELD_ERR_IO on any other failure.
uint32_t Stream_ReadObservation(Stream *stream, Observation *observationOut, bool *completeOut);
// Agent thread: true when a whole record is already buffered, so that the
// next Stream_ReadObservation completes without reading the pipe (a poll on
// the pipe would not report it).
bool Stream_HasRecord(const Stream *stream);
