// Thread naming: one name per thread in thread-local storage; the kernel
// thread name (15 characters at most) is set too. No shared state.
#include "platform/vthreadBase.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

namespace {
thread_local std::string tlsName;
}

void VThreadBase_SetName(const char *name) {
  tlsName = name ? name : "";
  // The kernel keeps 16 bytes including the NUL.
  std::string kernelName = tlsName.substr(0, 15);
  pthread_setname_np(pthread_self(), kernelName.c_str());
}

const char *VThreadBase_CurName(void) {
  if (tlsName.empty()) {
    tlsName = "thread-" + std::to_string(static_cast<long>(syscall(SYS_gettid)));
  }
  return tlsName.c_str();
}
