// The observations that kelwatch and kelcore send to keld: every ID and
// message format they use is written here once. A WatchObservation is plain
// data, so the units that recognise Linux signals stay free of sockets and
// can be tested on recorded input.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kelRecord.h"

struct WatchObservation {
  std::string id;
  std::string format;
  std::vector<KelArg> args;
  bool user = false;  // sent over a user connection (services), not a kernel context
};

// A physical interface lost (`up` false) or regained carrier.
WatchObservation WatchObs_LinkState(const std::string &nic, bool up);
// One port of a bridge changed carrier; `active` counts the bridge's ports
// that have carrier afterwards. The bridge is both port group and switch.
WatchObservation WatchObs_PortGroupTransition(const std::string &nic, const std::string &bridge,
                                             bool up, int32_t active);
// One machine check record, in the layout of the CPU correlator's log.
struct MachineCheck {
  uint64_t bank = 0;
  uint64_t status = 0;
  uint64_t misc = 0;
  uint64_t cpu = 0;
  uint64_t addr = 0;
  uint64_t mcg = 0;
};
WatchObservation WatchObs_MachineCheck(const MachineCheck &mc);
// The clock lost (`synced` false) or regained synchronisation.
WatchObservation WatchObs_ClockSync(bool synced);
enum class SshKind { Opened, Closed, Failed };
WatchObservation WatchObs_Ssh(SshKind kind, const std::string &user, const std::string &host);
// A core written to `path`, or (empty path) a core that could not be kept in `dir`.
WatchObservation WatchObs_CoreDumped(const std::string &app, int32_t pid, const std::string &path);
WatchObservation WatchObs_CoreDumpFailed(const std::string &app, int32_t pid,
                                         const std::string &dir);

// Sends observations to keld: kernel ones to context `ctx`, user ones over a
// user connection opened for each (the user context accepts few connections
// at once, so none is held). One WatchSender is used by one thread.
class WatchSender {
 public:
  explicit WatchSender(uint32_t ctx) : ctx_(ctx) {}
  // False with a one-line reason (keld not running, context full...).
  bool Send(const WatchObservation &obs, std::string *error);

 private:
  uint32_t ctx_;
};
