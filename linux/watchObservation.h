// The observations that kelwatch and kelcore send to keld: every ID and
// message format they use is written here once. A WatchObservation is plain
// data, so the units that recognise Linux signals stay free of sockets and
// can be tested on recorded input.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
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

// Observations on their way to keld: held while keld cannot be reached and
// sent in order once it can. At most `limit` are held; beyond that the
// oldest are dropped (said once per outage). `log` gets one line per
// observation sent and per change of reachability. Single-threaded.
class WatchOutbox {
 public:
  WatchOutbox(uint32_t ctx, size_t limit, std::function<void(const std::string &)> log)
      : sender_(ctx), limit_(limit), log_(std::move(log)) {}
  // Takes every observation of *observations (leaving it empty) and sends
  // what it can.
  void Add(std::vector<WatchObservation> *observations);
  // Sends what is held, in order, until a send fails.
  void Flush();
  size_t Held() const { return held_.size(); }

 private:
  WatchSender sender_;
  size_t limit_;
  std::function<void(const std::string &)> log_;
  std::deque<WatchObservation> held_;
  bool unreachable_ = false;
  size_t dropped_ = 0;
};
