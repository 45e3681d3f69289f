// The fan-out stream: one pipe per agent, all hung in one registry.
//
// Locking: the stream lock (a process-wide mutex) guards the registry list.
// It is held by the intake thread for the fan-out of one whole read buffer
// (Stream_Publish, which also writes the trace lines under it) and by agent
// threads only while they insert (Stream_Create) or remove (Stream_Destroy)
// their own stream. The agent-side reassembly state of a Stream (buffer,
// filled, remaining) belongs to the owning agent thread and takes no lock.
#pragma once

#include <cstdint>

#include "kelLib.h"

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
  uint8_t *buffer;                  // record being reassembled, or null
  uint32_t filled;
  uint32_t remaining;
};

// Makes the registry empty and initialises the stream lock. 0 or the mutex
// initialisation's error number. Called once, before any agent starts.
int32_t StreamRegistry_Init(void);
// Take/release the stream lock; a failure panics.
void Stream_Lock(void);
void Stream_Unlock(void);

// A new empty list (all zero), or null. Free with SubscriptionList_Free.
SubscriptionList *SubscriptionList_Create(void);
// Appends "kel." + domain. 1 when the list is full or the format fails.
uint32_t SubscriptionList_AddDomain(SubscriptionList *list, const char *domain);
// Appends a copy of `id`. 1 when the list is full or the copy fails.
uint32_t SubscriptionList_AddID(SubscriptionList *list, const char *id);
// Deep copy into *copyOut; 1 (and null) when an allocation fails.
uint32_t SubscriptionList_Copy(const SubscriptionList *list, SubscriptionList **copyOut);
void SubscriptionList_Free(SubscriptionList *list);
// True when `id` begins with a prefix followed by '.', or equals an exact ID.
bool SubscriptionList_Matches(const char *id, const SubscriptionList *list);

// Creates a stream (pipe with a non-blocking read end and a blocking write
// end, a copy of `list`) and registers it. 0, 1 (no memory or copy failed) or
// 2 (pipe failure); *streamOut null on failure. Agent thread.
uint32_t Stream_Create(AgentName *name, const SubscriptionList *list, Stream **streamOut);
// Unregisters (under the lock), closes both ends and frees. 0, or 2 when a
// close failed (the stream is freed in both cases).
uint32_t Stream_Destroy(Stream *stream);
// The descriptor the agent polls. 1 when *countInOut is below 1.
uint32_t Stream_GetFd(Stream *stream, int32_t *fdOut, uint32_t *countInOut);
// Intake thread: traces each record of `buffer` (whole records, `length`
// bytes) and writes it whole into the pipe of every matching stream, in
// creation order. 0, or the errno of a failed pipe write.
int32_t Stream_Publish(const uint8_t *buffer, int32_t length);
// Agent thread, after poll reported the read end readable: reads what is
// there of the current record. 0 with *completeOut true and an Observation;
// 0 with *completeOut false when the record is still incomplete; 1 when the
// record did not make an Observation; 2 on any other failure.
uint32_t Stream_ReadObservation(Stream *stream, Observation *observationOut, bool *completeOut);
