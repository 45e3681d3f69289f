// The host's clocks. Every read of the wall clock or the monotonic clock by
// the daemon and by the stand-in host goes through here, so that tests and the
// replay tool can substitute a fake or virtual clock. Thread-safe.
#pragma once

#include <cstdint>
#include <ctime>

struct ClockSource {
  // Wall clock (CLOCK_REALTIME) and monotonic clock (CLOCK_MONOTONIC).
  struct timespec (*realtime)(void *ctx);
  struct timespec (*monotonic)(void *ctx);
  void *ctx;
};

// Installs `source` (null: the system clocks). The pointed-to source must
// outlive its use; call before starting threads that read the clock.
void Clock_SetSource(const ClockSource *source);

struct timespec Clock_Realtime(void);
struct timespec Clock_Monotonic(void);
// Whole seconds of the wall clock, as time() gives them.
int64_t Clock_NowSeconds(void);
// Wall clock in microseconds since the epoch.
uint64_t Clock_NowMicros(void);
// Monotonic clock in whole seconds.
int64_t Clock_MonotonicSeconds(void);

// A manual clock for tests and replay: both clocks read the same settable
// time. Not thread-safe to construct; Set/Advance are atomic.
class FakeClock {
 public:
  explicit FakeClock(int64_t startSeconds = 1700000000);
  ~FakeClock();  // restores the system clocks
  FakeClock(const FakeClock &) = delete;
  FakeClock &operator=(const FakeClock &) = delete;
  void SetMicros(uint64_t us);
  void AdvanceSeconds(double seconds);
  uint64_t Micros() const;

 private:
  static struct timespec Read(void *ctx);
  ClockSource source_;
  // Guarded by atomic access only.
  uint64_t micros_;
};
