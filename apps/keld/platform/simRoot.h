// The simulated root: every fixed absolute path of the daemon and of the
// stand-in host is resolved under $KELD_ROOT when that variable is set (unset:
// the path as it is). This is the only place that joins roots.
#pragma once

#include <string>

// "/var/run/x.sock" -> "$KELD_ROOT/var/run/x.sock" (or unchanged). Reads the
// environment at every call, so a test may set it before starting threads.
std::string SimRoot_Path(const char *absolutePath);
// Creates the parent directories of SimRoot_Path(absolutePath); best effort.
void SimRoot_MakeParents(const char *absolutePath);
