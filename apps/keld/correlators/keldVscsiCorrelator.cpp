// The shared virtual disk correlator: limits and conflicts of virtual disks
// shared between virtual machines. Stateless. Unlike the other rows of the
// daemon, these post even when an argument cannot be read: the failure is
// logged, a limit is posted as 0 and a name as a null text.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "log/keldLog.h"

namespace {

// A Problem filled with one limit.
template <const char *EventTemplate>
void PostLimit(Observation obs) {
  UInt limit;
  uint32_t status = ReadArgsStatus(obs, "%u", &limit);
  if (status != 0) {
    LogMsg("Failed to get args: %d", static_cast<int32_t>(status));
    limit = 0;
  }
  VPROB_POST(0, VPROB_PROBLEM, EventTemplate, limit);
}

constexpr char kNoFreeSlot[] = VPROB_TEMPLATE(
    "nox.problem.vscsi.shared.hydk.no.free.slot.available",
    "No Free slot available. Maximum number of VMs supported in MSCS cluster are %u");
constexpr char kAddFailureMaxCount[] = VPROB_TEMPLATE(
    "nox.problem.vscsi.shared.hydk.add.failure.max.count",
    "Failed to add shared virtual disk. Maximum number of shared hydks supported per NOX host are %u");

// Both names are always read, the second even when the first failed.
void PowerOnFailed(Observation obs) {
  Text first, second;
  uint32_t status = ReadArgAt(obs, 0, &first);
  if (status != 0) LogMsg("Failed to get VM-1 name: %d", static_cast<int32_t>(status));
  status = ReadArgAt(obs, 1, &second);
  if (status != 0) LogMsg("Failed to get VM-2 name: %d", static_cast<int32_t>(status));
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.vscsi.shared.hydk.virtual.machine.power.on.failed",
                            "Two or more VMs (%s and %s) sharing same virtual disk are not allowed to be "
                            "Powered-On on same host."),
             first, second);
}

HandlerTable BuildTable() {
  return {
      {"kel.vscsi.shared.hydk.no.free.slot.available", PostLimit<kNoFreeSlot>},
      {"kel.vscsi.shared.hydk.add.failure.max.count", PostLimit<kAddFailureMaxCount>},
      {"kel.vscsi.shared.hydk.virtual.machine.power.on.failed", PowerOnFailed},
  };
}

}  // namespace

const CorrelatorDef &VscsiCorrelator_Def(void) {
  static const CorrelatorDef def = {"vscsi", {"vscsi"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
