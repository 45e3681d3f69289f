// Timer table. gLock guards gTimers, gNextId, gHeld and gInCallback; gCond
// wakes the timer thread (and a Timer_HoldForExit waiting for a callback).
// The clock is read through the clock module so that tests and the replay
// tool can drive time.
#include "agents/keldTimer.h"

#include <pthread.h>

#include <map>

#include "intake/keldStatus.h"
#include "platform/clock.h"
#include "platform/vthreadBase.h"

namespace {

struct TimerRecord {
  uint32_t periodic;
  uint32_t interval;
  uint64_t deadline;  // whole wall-clock seconds; 0 = disarmed
  TimerCallback callback;
};

pthread_mutex_t gLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t gCond = PTHREAD_COND_INITIALIZER;
// Never destroyed: the timer thread is never stopped and still reads the
// table while the process runs its exit-time destructors.
std::map<int32_t, TimerRecord> &gTimers = *new std::map<int32_t, TimerRecord>;
int32_t gNextId = 0;
bool gHeld = false;        // set at exit: no callback runs any more
bool gInCallback = false;  // the timer thread is running a callback

uint64_t Now() {
  int64_t s = Clock_NowSeconds();
  return s > 0 ? static_cast<uint64_t>(s) : 0;
}

// First timer (ascending id) with a non-zero deadline not later than now.
TimerRecord *FindDue(uint64_t now) {
  for (auto &entry : gTimers) {
    TimerRecord &t = entry.second;
    if (t.deadline != 0 && t.deadline <= now) return &t;
  }
  return nullptr;
}

uint64_t EarliestDeadline() {
  uint64_t earliest = 0;
  for (auto &entry : gTimers) {
    uint64_t d = entry.second.deadline;
    if (d != 0 && (earliest == 0 || d < earliest)) earliest = d;
  }
  return earliest;
}

// Re-arms or disarms `t` and runs its callback outside the lock. Called and
// returns with gLock held.
void Fire(TimerRecord *t, uint64_t now) {
  if (t->periodic) {
    t->deadline = now + t->interval;
  } else {
    t->interval = 0;
    t->deadline = 0;
  }
  TimerCallback cb = t->callback;
  gInCallback = true;
  pthread_mutex_unlock(&gLock);
  cb();
  pthread_mutex_lock(&gLock);
  gInCallback = false;
  pthread_cond_broadcast(&gCond);
}

void *TimerThread(void *) {
  VThreadBase_SetName("timer");
  uint64_t now = Now();
  pthread_mutex_lock(&gLock);
  for (;;) {
    if (gHeld) {
      pthread_cond_wait(&gCond, &gLock);
      continue;
    }
    TimerRecord *due = FindDue(now);
    if (due == nullptr) {
      now = Now();
      due = FindDue(now);
    }
    if (due != nullptr) {
      Fire(due, now);
      continue;
    }
    uint64_t next = 0;
    for (auto &entry : gTimers) {
      uint64_t d = entry.second.deadline;
      if (d != 0 && d >= now && (next == 0 || d < next)) next = d;
    }
    if (next != 0) {
      struct timespec until = {static_cast<time_t>(next), 0};
      pthread_cond_timedwait(&gCond, &gLock, &until);
    } else {
      pthread_cond_wait(&gCond, &gLock);
    }
  }
  return nullptr;
}

}  // namespace

void Timer_StartThread(void) {
  pthread_t thread;
  pthread_create(&thread, nullptr, TimerThread, nullptr);
}

int32_t Timer_Register(TimerCallback callback) {
  pthread_mutex_lock(&gLock);
  int32_t id = -1;
  if (gNextId < TIMER_MAX) {
    id = gNextId++;
    gTimers[id] = TimerRecord{0, 0, 0, callback};
  }
  pthread_mutex_unlock(&gLock);
  return id;
}

uint32_t Timer_Arm(int32_t id, uint32_t periodic, uint32_t seconds, uint32_t *remainingOut) {
  if (periodic > 1) return KELD_ERR_NOT_DONE;
  pthread_mutex_lock(&gLock);
  if (remainingOut != nullptr) *remainingOut = 0;
  auto it = gTimers.find(id);
  if (it == gTimers.end()) {
    pthread_mutex_unlock(&gLock);
    return KELD_ERR_NOT_DONE;
  }
  TimerRecord &t = it->second;
  uint64_t now = Now();
  if (remainingOut != nullptr) {
    *remainingOut = t.deadline > now ? static_cast<uint32_t>(t.deadline - now) : 0;
  }
  t.periodic = periodic;
  t.interval = seconds;
  t.deadline = seconds == 0 ? 0 : now + seconds;
  pthread_cond_broadcast(&gCond);
  pthread_mutex_unlock(&gLock);
  return 0;
}

int Timer_FireDue(void) {
  int fired = 0;
  uint64_t now = Now();
  pthread_mutex_lock(&gLock);
  for (TimerRecord *due; (due = FindDue(now)) != nullptr;) {
    Fire(due, now);
    fired++;
  }
  pthread_mutex_unlock(&gLock);
  return fired;
}

uint64_t Timer_NextDeadline(void) {
  pthread_mutex_lock(&gLock);
  uint64_t d = EarliestDeadline();
  pthread_mutex_unlock(&gLock);
  return d;
}

void Timer_HoldForExit(void) {
  pthread_mutex_lock(&gLock);
  gHeld = true;
  while (gInCallback) pthread_cond_wait(&gCond, &gLock);
  pthread_mutex_unlock(&gLock);
}

void Timer_ResetForTest(void) {
  pthread_mutex_lock(&gLock);
  gTimers.clear();
  gNextId = 0;
  pthread_mutex_unlock(&gLock);
}
