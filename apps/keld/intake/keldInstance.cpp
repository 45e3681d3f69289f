// The lock's descriptor is opened once and never closed: closing any
// descriptor of the file would release the process's record lock.
#include "intake/keldInstance.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/simRoot.h"

namespace {

const char kLockFile[] = "/var/run/ombrel/keld.pid";

// The process id written in the file, or 0.
pid_t PidInFile(int fd) {
  char text[32] = {0};
  ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  long pid = strtol(text, nullptr, 10);
  return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

const char *Instance_LockPath(void) {
  thread_local std::string path;
  path = SimRoot_Path(kLockFile);
  return path.c_str();  // NOLINT(clang-analyzer-cplusplus.InnerPointer): valid until this thread's next call
}

InstanceLockStatus Instance_Lock(pid_t *holderOut, int *errorOut) {
  *holderOut = 0;
  *errorOut = 0;
  SimRoot_MakeParents(kLockFile);
  int fd = open(SimRoot_Path(kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *errorOut = errno;
    return INSTANCE_UNAVAILABLE;
  }
  struct flock whole = {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fcntl(fd, F_SETLK, &whole) != 0) {
    int err = errno;
    if (err != EACCES && err != EAGAIN) {
      close(fd);
      *errorOut = err;
      return INSTANCE_UNAVAILABLE;
    }
    // The kernel names the holder; the file is the fallback (it may still be
    // empty while the holder starts).
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    *holderOut = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK ? probe.l_pid : PidInFile(fd);
    close(fd);
    return INSTANCE_HELD;
  }
  char text[32];
  int length = snprintf(text, sizeof text, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(length), 0) != length) {
    // The lock holds all the same; only the file's text is missing.
    *errorOut = errno;
  }
  return INSTANCE_LOCKED;
}
