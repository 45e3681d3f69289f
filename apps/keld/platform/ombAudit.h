// Platform audit log: one audit record per security-relevant event, kept by
// the host outside the daemon. Thread-safe.
#pragma once

#include <cstdint>

// Writes one audit record: `event` (e.g. "account.locked"), `user`, a free
// `text` (may be empty) and an integer `value`. The strings are only read
// during the call; a null string is taken as empty. Returns 0, or an errno
// value when the record could not be written.
int32_t OmbAudit_Log(const char *event, const char *user, const char *text, int32_t value);
