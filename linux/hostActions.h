// keld's host actions carried out on this machine.
//
// kelwatch follows the actions journal ("SECONDS VERB ARGS...") and, for the
// verbs and objects that its configuration allows, makes the change for
// real:
//
//   nic.down NIC          the interface set administratively down (netlink)
//   page.retire PAGE ...  PAGE's physical address written to
//                         /sys/devices/system/memory/soft_offline_page
//   cpu.offline CPU       "0" written to /sys/devices/system/cpu/cpuCPU/online
//
// The sysfs files are resolved under $KELD_ROOT when it is set, so that tests
// never write the machine's own. Every one of these lines is logged with its
// outcome (done, refused by the configuration, failed and why); other verbs
// (page.status, audit, ...) concern keld's stand-in host only and are
// skipped. Single-threaded.
#pragma once

#include <functional>
#include <string>

#include "watchConfig.h"

struct HostActionResult {
  bool handled = false;  // a verb kelwatch carries out
  bool done = false;
  std::string log;       // the line to log when handled
};

// How a change reaches the machine; replaced in tests.
struct HostActionOps {
  std::function<bool(const std::string &nic, std::string *error)> nicDown;
  std::function<bool(const std::string &path, const std::string &text, std::string *error)> writeFile;
};
HostActionOps HostActions_MachineOps();

// Decides and carries out one journal line.
HostActionResult HostActions_Apply(const std::string &line, const WatchConfig &config,
                                   const HostActionOps &ops);
