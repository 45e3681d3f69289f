// One keld per root. The daemon holds an exclusive record lock on
// R/var/run/ombrel/keld.pid (resolved under the simulated root) for its whole
// life, and the file holds its process id. The kernel releases the lock when
// the process ends, however it ends, so a keld that died leaves nothing that
// stops the next start.
#pragma once

#include <sys/types.h>

enum InstanceLockStatus : int {
  INSTANCE_LOCKED = 0,        // ours until the process ends
  INSTANCE_HELD = 1,          // another process holds it: *holderOut
  INSTANCE_UNAVAILABLE = 2,   // the file cannot be opened or locked: *errorOut
};

// The path of the lock file under the current root.
const char *Instance_LockPath(void);
// Takes the lock and writes this process's id into the file. On INSTANCE_HELD
// *holderOut is the holder's process id (0 when it cannot be told); on
// INSTANCE_UNAVAILABLE *errorOut is the errno of the failed call. Main
// thread, once, before any socket is bound.
InstanceLockStatus Instance_Lock(pid_t *holderOut, int *errorOut);
