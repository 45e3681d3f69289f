// Timer service: up to 16 timers of one-second resolution, served by one
// thread that sleeps until the earliest deadline and calls the due timer's
// callback (never under the timer lock).
//
// Locking: the timer lock guards the timer table and the id counter; the
// condition variable is broadcast by every Timer_Arm so that an earlier
// deadline shortens the thread's sleep. Callbacks may call Timer_Arm.
#pragma once

#include <cstdint>

typedef void (*TimerCallback)(void);

enum : int32_t { TIMER_MAX = 16 };

// Starts the timer thread (never stopped, never joined). Main thread, once.
void Timer_StartThread(void);
// Registers a disarmed timer. Its id (0..15), or -1 when 16 are taken.
int32_t Timer_Register(TimerCallback callback);
// Arms (seconds > 0) or disarms (seconds 0) timer `id`, one-shot (periodic 0)
// or periodic (1). *remainingOut (may be null) receives the whole seconds the
// previous arming still had to run (0 if disarmed or due). 0, or
// KELD_ERR_NOT_DONE for a bad `periodic` or an unregistered id.
uint32_t Timer_Arm(int32_t id, uint32_t periodic, uint32_t seconds, uint32_t *remainingOut);

// At the end of the process, before the exit-time destructors: waits for a
// callback that is running and keeps any other from running (the thread
// itself stays, parked). Callbacks use state that those destructors free.
// Main thread, once; never from a callback.
void Timer_HoldForExit(void);

// Manual mode, for tests and the replay tool (no timer thread running): fires,
// on the calling thread, every timer due at the current clock reading, in the
// order the thread would. Returns the number of callbacks run.
int Timer_FireDue(void);
// The earliest armed deadline in wall-clock seconds, or 0 when none is armed.
uint64_t Timer_NextDeadline(void);
// Forgets every timer (tests only; no thread may be running).
void Timer_ResetForTest(void);
