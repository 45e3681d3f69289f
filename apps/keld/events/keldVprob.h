// Events stage: a posted event is composed from its template, passed through
// the rate limit, written to the log and the trace, and delivered to hubd;
// what hubd does not take waits in the retry queue, which a worker thread
// retries. This is the last stage: nothing is handed on inside the daemon.
//
// Problem events: composition (template, rate limit, record, argument
// capture, log and trace lines) and delivery to hubd with a retry queue.
//
// VProb_Post may be called from any thread at once. Shared state: the
// rate-limit window (its own lock), the host UUID record (written once by
// VProbInit before any agent runs), the retry queue (the queue lock, held for
// a whole retry pass), the retry worker's flags (its own lock) and the trace
// service (its own lock).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "intake/keldStatus.h"
#include "platform/kelLib.h"

enum VProbKind : int32_t { VPROB_PROBLEM = 0, VPROB_AUDIT = 1, VPROB_CLEAR = 2 };

// The prefix of every event ID of `kind` ("nox.problem.", "nox.audit.",
// "nox.clear."); null for a value that is no kind.
constexpr const char *VProb_KindPrefix(VProbKind kind) {
  return kind == VPROB_PROBLEM ? "nox.problem."
         : kind == VPROB_AUDIT ? "nox.audit."
         : kind == VPROB_CLEAR ? "nox.clear."
                               : nullptr;
}

// The marker that starts every event template: "@&!*@*@(" + full ID + ")" +
// message format.
#define VPROB_MARKER "@&!*@*@("
// Template helpers: VPROB_TEMPLATE("nox.problem.x.y", "Text %s").
#define VPROB_TEMPLATE(fullId, format) VPROB_MARKER fullId ")" format

// Event record layout (little-endian).
enum : uint32_t {
  VPROB_OFF_TIME = 0,
  VPROB_OFF_STAMP2 = 8,
  VPROB_OFF_UUID = 16,
  VPROB_UUID_SIZE = 38,
  VPROB_OFF_TOTAL_LENGTH = 56,
  VPROB_OFF_NUM_ARGS = 60,
  VPROB_OFF_ID_LENGTH = 64,
  VPROB_OFF_ID = 68,
  VPROB_HEADER_COUNTED = 72,  // what totalLength counts for the header
  VPROB_ID_MAX = 129,         // identifier bytes including the NUL
  VPROB_INITIAL_BUFFER = 1171,
  VPROB_RATE_LIMIT = 1000,
  VPROB_RATE_WINDOW = 60,
  VPROB_RETRY_SECONDS = 180,
  VPROB_SEND_TIMEOUT_SECONDS = 5,  // how long one attempt may wait on hubd
};

// Posts one event. `deferred` 1 queues it for the next retry pass without an
// immediate attempt. The values follow the template's message format.
void VProb_Post(uint8_t deferred, VProbKind kind, const char *eventTemplate, ...);
// Older entry point: a Problem "nox.problem." + shortId, not deferred, after
// logging that the discouraged interface was used.
void Keld_PostProblem(const char *shortId, const char *messageFormat, ...)
    __attribute__((format(printf, 2, 3)));
// Registers the retry pass with the timer service and reads the host UUID.
// Main thread, once, after the timer service started, before any agent.
void VProbInit(void);

// Delivery. SendVProb: one connection to hubd, the record, close; 0 or -1.
// It waits at most 5 seconds on hubd, and gives up at once when the daemon's
// shutdown has begun (then -1 without trying).
int SendVProb(const uint8_t *record, size_t length);
// Copies the record into the retry queue and arms the retry timer.
void QueueVProb(const uint8_t *record, size_t length);
// The retry pass: every queued event tried once, in order, under the queue
// lock; it stops where it is once the daemon's shutdown has begun. Runs on the
// retry worker when one runs, else on the timer thread (the timer callback).
void RetryVProbs(void);
// Starts the retry worker: from then on the retry timer's callback only hands
// the pass to it, so that a pass waiting on a stuck hubd holds back no other
// timer. Main thread, after VProbInit.
void VProb_StartRetryWorker(void);
// Stops the worker (a pass in progress ends first: after Shutdown_Begin it
// sends nothing more) and joins it. Main thread; nothing when none runs.
void VProb_StopRetryWorker(void);
// The retry queue's end at shutdown: stops the worker and logs how many
// events are still queued (they are lost with the process). Main thread,
// after Shutdown_Begin.
void VProb_StopRetryQueue(void);

// A seam for tests and the replay tool. `send` replaces the socket delivery
// (0 delivered, -1 failed); `composed` sees every composed event with its
// formatted message; `delivery` (may be null) sees each line of the delivery
// log as it is logged (queueing, each retry's outcome, giving up), without
// its newline. Install before any event is posted; null restores.
struct VProbSink {
  int (*send)(void *ctx, const uint8_t *record, size_t length);
  void (*composed)(void *ctx, const uint8_t *record, size_t length, const char *message);
  void *ctx;
  void (*delivery)(void *ctx, const char *line);
};
void VProb_SetSink(const VProbSink *sink);
// Number of events in the retry queue.
size_t VProb_QueueLength(void);
// Forgets the rate-limit window and the retry queue (tests only).
void VProb_ResetForTest(void);
