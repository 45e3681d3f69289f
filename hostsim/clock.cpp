// Clock source switch. The active source pointer is atomic; the fake clock's
// time is one atomic 64-bit word.
#include "platform/clock.h"

#include <atomic>

namespace {

struct timespec SystemRealtime(void *) {
  struct timespec ts {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

struct timespec SystemMonotonic(void *) {
  struct timespec ts {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts;
}

const ClockSource kSystemClock = {SystemRealtime, SystemMonotonic, nullptr};
std::atomic<const ClockSource *> gSource{&kSystemClock};

}  // namespace

void Clock_SetSource(const ClockSource *source) {
  gSource.store(source ? source : &kSystemClock, std::memory_order_release);
}

struct timespec Clock_Realtime(void) {
  const ClockSource *s = gSource.load(std::memory_order_acquire);
  return s->realtime(s->ctx);
}

struct timespec Clock_Monotonic(void) {
  const ClockSource *s = gSource.load(std::memory_order_acquire);
  return s->monotonic(s->ctx);
}

int64_t Clock_NowSeconds(void) { return Clock_Realtime().tv_sec; }

uint64_t Clock_NowMicros(void) {
  struct timespec ts = Clock_Realtime();
  return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

int64_t Clock_MonotonicSeconds(void) { return Clock_Monotonic().tv_sec; }

FakeClock::FakeClock(int64_t startSeconds)
    : source_{Read, Read, this}, micros_(static_cast<uint64_t>(startSeconds) * 1000000u) {
  Clock_SetSource(&source_);
}

FakeClock::~FakeClock() { Clock_SetSource(nullptr); }

void FakeClock::SetMicros(uint64_t us) {
  __atomic_store_n(&micros_, us, __ATOMIC_RELEASE);
}

void FakeClock::AdvanceSeconds(double seconds) {
  __atomic_add_fetch(&micros_, static_cast<uint64_t>(seconds * 1e6), __ATOMIC_ACQ_REL);
}

uint64_t FakeClock::Micros() const { return __atomic_load_n(&micros_, __ATOMIC_ACQUIRE); }

struct timespec FakeClock::Read(void *ctx) {
  uint64_t us = static_cast<const FakeClock *>(ctx)->Micros();
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(us / 1000000u);
  ts.tv_nsec = static_cast<long>((us % 1000000u) * 1000u);
  return ts;
}
