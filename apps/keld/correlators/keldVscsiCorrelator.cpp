// The shared virtual disk correlator: limits and conflicts of virtual disks
// shared between virtual machines. Stateless. Unlike the other rows of the
// daemon, these post even when an argument cannot be read: the failure is
// logged, a limit is posted as 0 and a name as a null text.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "log/keldLog.h"

namespace {

constexpr char kArgsFail[] = "Failed to get args: %d";
constexpr EventRow kNoFreeSlot = {
    "%u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.vscsi.shared.hydk.no.free.slot.available",
                   "No Free slot available. Maximum number of VMs supported in MSCS cluster are %u"),
    0, kArgsFail};
constexpr EventRow kAddFailureMaxCount = {
    "%u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.vscsi.shared.hydk.add.failure.max.count",
                   "Failed to add shared virtual disk. Maximum number of shared hydks supported per NOX host "
                   "are %u"),
    0, kArgsFail};

// Both names are always read, the second even when the first failed.
void PowerOnFailed(Observation obs) {
  Text first, second;
  uint32_t status = ReadArgs(obs, ReadBy::Index(), &first).status;
  if (status != 0) LogMsg("Failed to get VM-1 name: %d", static_cast<int32_t>(status));
  status = ReadArgs(obs, ReadBy::Index(1), &second).status;
  if (status != 0) LogMsg("Failed to get VM-2 name: %d", static_cast<int32_t>(status));
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.vscsi.shared.hydk.virtual.machine.power.on.failed",
                            "Two or more VMs (%s and %s) sharing same virtual disk are not allowed to be "
                            "Powered-On on same host."),
             first, second);
}

HandlerTable BuildTable() {
  return {
      {"kel.vscsi.shared.hydk.no.free.slot.available", PostEvenUnread<kNoFreeSlot, UInt>},
      {"kel.vscsi.shared.hydk.add.failure.max.count", PostEvenUnread<kAddFailureMaxCount, UInt>},
      {"kel.vscsi.shared.hydk.virtual.machine.power.on.failed", PowerOnFailed},
  };
}

}  // namespace

const CorrelatorDef &VscsiCorrelator_Def(void) {
  static const CorrelatorDef def = {"vscsi", {"vscsi"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
