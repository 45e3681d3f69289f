// The intake loop's wait (see keldWaitSet.h). No shared state: a WaitSet is
// used by the intake thread only.
#include "intake/keldWaitSet.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/clock.h"

namespace {

int64_t MonotonicMillis() {
  struct timespec now = Clock_Monotonic();
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

WaitSet::~WaitSet() { Drop(); }

void WaitSet::Drop() {
  if (epoll_ >= 0) close(epoll_);
  epoll_ = -1;
  stale_ = true;
}

// Makes the epoll set watch exactly the table's descriptors, each with its
// entry's index. False when that cannot be done; the set is then stale.
bool WaitSet::Mirror(const struct pollfd *table, int count) {
  bool same = !stale_ && epoll_ >= 0 && count == count_;
  for (int i = 0; same && i < count; i++) same = table[i].fd == fds_[i];
  if (same) return true;
  Drop();
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) return false;
  for (int i = 0; i < count; i++) {
    fds_[i] = table[i].fd;
    if (table[i].fd < 0) continue;
    struct epoll_event ev = {};
    ev.events = static_cast<uint32_t>(static_cast<unsigned short>(table[i].events));
    ev.data.u32 = static_cast<uint32_t>(i);
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, table[i].fd, &ev) != 0) return false;
  }
  count_ = count;
  stale_ = false;
  return true;
}

int WaitSet::Wait(struct pollfd *table, int count, const struct timespec *timeout, const sigset_t *mask) {
  // A wait that does not wait belongs to a busy spell, as does every wait
  // within kBusyMillis of one that found kBusyEntries entries ready.
  bool noWait = timeout != nullptr && timeout->tv_sec == 0 && timeout->tv_nsec == 0;
  if (noWait) {
    pollUntilMs_ = MonotonicMillis() + kBusyMillis;
  } else if (pollUntilMs_ > 0 && MonotonicMillis() >= pollUntilMs_) {
    pollUntilMs_ = 0;
  }
  if (pollUntilMs_ > 0) Drop();
  if (pollUntilMs_ > 0 || count < 0 || count > INTAKE_MAX_ENTRIES || !Mirror(table, count)) {
    int n = ppoll(table, static_cast<nfds_t>(count < 0 ? 0 : count), timeout, mask);
    if (n >= kBusyEntries) pollUntilMs_ = MonotonicMillis() + kBusyMillis;
    return n;
  }
  // epoll waits in whole milliseconds: a time-out is rounded up, so that the
  // wait never ends before it.
  int millis = -1;
  if (timeout != nullptr) {
    long long ms = static_cast<long long>(timeout->tv_sec) * 1000 + (timeout->tv_nsec + 999999) / 1000000;
    millis = ms > INT_MAX ? INT_MAX : static_cast<int>(ms < 0 ? 0 : ms);
  }
  struct epoll_event ready[INTAKE_MAX_ENTRIES];
  int n = epoll_pwait(epoll_, ready, INTAKE_MAX_ENTRIES, millis, mask);
  if (n < 0) return -1;
  for (int i = 0; i < count; i++) table[i].revents = 0;
  int entries = 0;
  for (int k = 0; k < n; k++) {
    uint32_t i = ready[k].data.u32;
    if (i >= static_cast<uint32_t>(count)) continue;
    short revents = static_cast<short>(ready[k].events & (EPOLLIN | EPOLLPRI | EPOLLOUT | EPOLLERR | EPOLLHUP));
    if (revents != 0 && table[i].revents == 0) entries++;
    table[i].revents = static_cast<short>(table[i].revents | revents);
  }
  if (entries >= kBusyEntries) pollUntilMs_ = MonotonicMillis() + kBusyMillis;
  return entries;
}
