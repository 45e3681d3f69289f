// Statuses: the one way the daemon's framework (intake, agents, streams,
// timers, trace, log, events) says how an operation went.
//
// An operation that can fail returns a 32-bit status, KELD_OK (0) for
// success. Every other value it can return is named below, so that callers
// and readers compare with names, never with bare numbers:
//  - 1 to 3 are the framework's own;
//  - the others are errno values, which the system and the platform
//    observation library report and the framework passes on unchanged.
// Host kernel statuses (HYK_*, 0xbad....) do not travel: the call that gets
// one converts it with HYK_ReturnStatusToErrno on the spot.
//
// The daemon's exit status is such a status, or one of the KELD_EXIT_*
// values at the end.
#pragma once

#include <cerrno>
#include <cstdint>

enum KeldStatus : uint32_t {
  KELD_OK = 0,
  // Nothing was done: a small allocation failed, a fixed-size list is full,
  // or an argument is out of range (a timer id, a count).
  KELD_ERR_NOT_DONE = 1,
  // A pipe, descriptor or poll call failed, or a stream holds bytes that are
  // not a record.
  KELD_ERR_IO = 2,
  // The daemon's shutdown has begun: the caller's loop ends.
  KELD_ERR_STOPPING = 3,
  // Out of memory for a buffer the daemon cannot run without.
  KELD_ERR_NO_MEMORY = ENOMEM,
  // A message format holds a conversion the daemon does not read.
  KELD_ERR_INVALID = EINVAL,
  // The next record does not fit the buffer offered (KELLIB_STATUS_TOO_BIG).
  KELD_ERR_TOO_BIG = EFBIG,
  // A pipe write given up because a termination signal came.
  KELD_ERR_CANCELED = ECANCELED,
};

// Exit statuses that are not the status of a failed operation.
// Another keld holds this root's lock; this one never started.
constexpr int KELD_EXIT_ALREADY_RUNNING = 1;
// The intake's poll failed for a reason other than a signal (not an errno
// value, so that it cannot be mistaken for one).
constexpr int KELD_EXIT_POLL_FAILED = -1;
