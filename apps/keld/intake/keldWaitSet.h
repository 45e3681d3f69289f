// The intake loop's wait on its poll table.
//
// poll(2) looks at every entry of the table twice for each wake-up (once to
// sleep, once to see what woke it), so a record on one of the 26 to 34
// descriptors pays for all of them. A WaitSet keeps a kernel readiness set
// (epoll) that mirrors the table, so that a wake-up costs the ready
// descriptors only, and fills the table's revents as poll would: POLLIN,
// POLLERR and POLLHUP, negative descriptors ignored. Whenever the set cannot
// mirror the table exactly (no epoll, a descriptor that is not open or
// cannot be watched, which poll reports as POLLNVAL), that wait is a plain
// ppoll(2) on the table.
//
// The set has a price of its own: while it exists, every record that reaches
// a context runs the set's wake-up callback, whether the loop waits or not.
// Under a flood, when the loop hardly waits and finds many descriptors
// ready at once, that costs more than poll's look at every entry. So a wait
// that finds kBusyEntries or more entries ready, or does not wait at all,
// drops the set, and the waits of the next kBusyMillis are plain ppoll(2)
// calls; a quiet loop builds the set again.
//
// Thread safety: one WaitSet belongs to the thread that runs the loop.
#pragma once

#include <poll.h>
#include <signal.h>
#include <time.h>

#include <cstdint>

#include "intake/keldIntake.h"

class WaitSet {
 public:
  WaitSet() = default;
  ~WaitSet();
  WaitSet(const WaitSet &) = delete;
  WaitSet &operator=(const WaitSet &) = delete;

  // ppoll(table, count, timeout, mask), with the same result: the number of
  // entries with revents set, 0 after the time-out (null: none), or -1 with
  // errno (EINTR when a signal came). `count` is at most INTAKE_MAX_ENTRIES.
  // The table's descriptors are compared with the set's before each wait, so
  // an entry moved, added, paused or put back is followed without a call.
  int Wait(struct pollfd *table, int count, const struct timespec *timeout, const sigset_t *mask);

  // Says that a descriptor of the table was closed: its number can come back
  // for another file at the same place, so the set is made anew next time.
  void Forget() { stale_ = true; }

  // True when the last wait left a busy spell going: the next waits are
  // plain polls until kBusyMillis (of the platform's monotonic clock) have
  // passed since the last busy wait.
  bool Polling() const { return pollUntilMs_ > 0; }

 private:
  bool Mirror(const struct pollfd *table, int count);

  void Drop();

  // A wait that finds this many entries ready is a busy one.
  static constexpr int kBusyEntries = 4;
  // How long after a busy wait the waits stay plain polls.
  static constexpr int64_t kBusyMillis = 100;

  int epoll_ = -1;
  bool stale_ = true;
  int64_t pollUntilMs_ = 0;  // monotonic milliseconds
  int count_ = 0;
  int fds_[INTAKE_MAX_ENTRIES] = {0};
};
