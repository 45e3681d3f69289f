// The scheduler correlator: placement and cache-QoS settings that could not be
// applied to a virtual machine. Stateless; runs on the correlator's own
// thread.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "log/keldLog.h"

namespace {

// Reads the virtual machine (string argument 0) and posts a Problem with it;
// a failed read is logged and posts nothing.
template <const char *Template>
void OnPlacementFailure(Observation obs) {
  Text vm;
  uint32_t status = ReadArgAt(obs, 0, &vm);
  if (status != 0) {
    LogMsg("Failed to arg: %d\n", static_cast<int32_t>(status));
    return;
  }
  VPROB_POST(0, VPROB_PROBLEM, Template, vm);
}

constexpr char kLatencyAbort[] = VPROB_TEMPLATE(
    "nox.problem.sched.latency.abort",
    "Unable to apply latency-sensitivity setting to virtual machine %s. No valid placement on the host.");
constexpr char kCmtNotSupported[] = VPROB_TEMPLATE(
    "nox.problem.sched.qos.cmt.notsupported",
    "Unable to support L3 cache monitoring for virtual machine %s. No processor capabilities.");
constexpr char kCmtNoResource[] = VPROB_TEMPLATE(
    "nox.problem.sched.qos.cmt.noresource",
    "Unable to support L3 cache monitoring for virtual machine %s. Out of resources.");
constexpr char kCatNotSupported[] = VPROB_TEMPLATE(
    "nox.problem.sched.qos.cat.notsupported",
    "Unable to support L3 cache allocation for virtual machine %s. No processor capabilities.");
constexpr char kCatNoResource[] = VPROB_TEMPLATE(
    "nox.problem.sched.qos.cat.noresource",
    "Unable to support L3 cache allocation for virtual machine %s. Out of resources.");

HandlerTable BuildTable() {
  return {
      {"kel.sched.latency.abort", OnPlacementFailure<kLatencyAbort>},
      {"kel.sched.qos.cmt.notsupported", OnPlacementFailure<kCmtNotSupported>},
      {"kel.sched.qos.cmt.noresource", OnPlacementFailure<kCmtNoResource>},
      {"kel.sched.qos.cat.notsupported", OnPlacementFailure<kCatNotSupported>},
      {"kel.sched.qos.cat.noresource", OnPlacementFailure<kCatNoResource>},
  };
}

}  // namespace

const CorrelatorDef &SchedCorrelator_Def(void) {
  static const CorrelatorDef def = {"sched", {"sched"}, Unhandled_Log, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
