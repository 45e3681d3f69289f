// Change watch on one file (inotify). gForkEpoch, the only shared state, is
// an atomic counter that the fork handler raises in the child.
#include "fileWatch.h"

#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

namespace {

std::atomic<uint64_t> gForkEpoch{0};
std::once_flag gForkHandler;

void InstallForkHandler() {
  std::call_once(gForkHandler, [] {
    pthread_atfork(nullptr, nullptr, [] { gForkEpoch.fetch_add(1, std::memory_order_relaxed); });
  });
}

// Events about the directory itself (removed, renamed, unmounted) and the
// end of a watch (IN_IGNORED is always reported).
constexpr uint32_t kDirSelfMask = IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED;

}  // namespace

FileWatch::~FileWatch() { Close(); }

void FileWatch::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  nameDirWd_ = -1;
  watching_ = false;
  path_.clear();
}

bool FileWatch::Active() const {
  return fd_ >= 0 && watching_ && forkEpoch_ == gForkEpoch.load(std::memory_order_relaxed);
}

bool FileWatch::Watch(const std::string &path, uint32_t fileMask, uint32_t nameMask) {
  InstallForkHandler();
  if (fd_ < 0 || forkEpoch_ != gForkEpoch.load(std::memory_order_relaxed) || path != path_) {
    // A new path, or a child's copy of its parent's queue: start afresh. The
    // count goes on, so that a reader's old number never matches again.
    Close();
    changes_++;
    fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ < 0) return false;
    forkEpoch_ = gForkEpoch.load(std::memory_order_relaxed);
    path_ = path;
    size_t slash = path.rfind('/');
    name_ = slash == std::string::npos ? path : path.substr(slash + 1);
  }
  // The inotify instance stays for this path even when nothing can be
  // watched yet (no directory): a later call tries again.
  bool watching = false;
  if (nameMask != 0) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    nameDirWd_ = inotify_add_watch(fd_, dir.c_str(), nameMask | kDirSelfMask | IN_ONLYDIR);
    watching = nameDirWd_ >= 0;
  }
  // The file itself; absent is fine when its directory is watched (its
  // creation is a named event there).
  if (inotify_add_watch(fd_, path.c_str(), fileMask) >= 0) watching = true;
  watching_ = watching;
  return watching;
}

uint64_t FileWatch::Changes() {
  if (!Active()) return ++changes_;
  alignas(struct inotify_event) char buf[4096];
  for (;;) {
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {  // a failed read: from now on every call says "look again"
      Close();
      return ++changes_;
    }
    const size_t got = static_cast<size_t>(n);
    for (size_t at = 0; at + sizeof(struct inotify_event) <= got;) {
      const auto *e = reinterpret_cast<const struct inotify_event *>(buf + at);
      at += sizeof(struct inotify_event) + e->len;
      // A named event in the directory counts only for our file's name (the
      // kernel pads the name with NULs to e->len).
      bool otherName = e->wd == nameDirWd_ && e->len > 0 && at <= got && (e->mask & kDirSelfMask) == 0 &&
                       strncmp(e->name, name_.c_str(), e->len) != 0;
      if (!otherName) changes_++;
    }
  }
  return changes_;
}
