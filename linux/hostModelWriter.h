// The host model of this machine, R/etc/hostsim.conf, as keld reads it.
//
// kelwatch's own records come first (the system UUID, CPU 0's vendor and
// core layout, defaults for the options keld needs, one port group per
// bridge), then the host model records of its configuration file, then the
// operator's include file: a later record for the same key replaces an
// earlier one, so both can override the defaults.
#pragma once

#include <set>
#include <string>

#include "watchConfig.h"

struct MachineFacts {
  std::string uuid;        // empty when the machine does not say
  std::string uuidSource;  // the file it came from
  std::string cpuVendor = "unknown";
  unsigned cores = 1;     // per package; field 24 of the CPU record
  unsigned siblings = 1;  // logical CPUs per package; field 28
};

// Reads the machine: the UUID from /sys/class/dmi/id/product_uuid, else
// /etc/machine-id (its 32 hex digits as a UUID); the CPU from /proc/cpuinfo.
MachineFacts MachineFacts_Read();
// The same from the given texts (empty: absent); for tests.
MachineFacts MachineFacts_FromTexts(const std::string &productUuid, const std::string &machineId,
                                    const std::string &cpuinfo);

// The host model text. `included` is the include file's text (may be empty).
std::string WatchModel_Compose(const MachineFacts &facts, const std::set<std::string> &bridges,
                              const WatchConfig &config, const std::string &included);
// Writes `text` to R/etc/hostsim.conf through a temporary file and a rename,
// so keld never reads half a file. False with a reason.
bool WatchModel_Write(const std::string &text, std::string *error);
