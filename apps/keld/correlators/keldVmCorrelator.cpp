// The virtual machine kill correlator: virtual machines that the kernel
// powered off. Every observation is read by its own message format and
// becomes one Problem. Stateless; runs on the correlator's own thread.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"

namespace {

// Each row reads by the observation's own message format.
constexpr EventRow kNoSwapResponse = {
    ReadBy::Message(
        "The virtual machine using the configuration file %s did not respond to %u swap actions in %lu seconds. "
        "To avoid system instability, the virtual machine has been powered off."),
    VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.vm.kill.unexpected.noSwapResponse.2",
                   "%s did not respond to %u swap actions in %lu seconds and is forcefully powered off to prevent "
                   "system instability."),
    0};
constexpr EventRow kHyxFaultFailure = {
    ReadBy::Message(
        "The virtual machine using the configuration file %s could not fault in a page for the virtual machine "
        "user world. The virtual machine has been powered off."),
    VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.vm.kill.unexpected.hyx.fault.failure.2",
                   "%s could not fault in a page. The VM is terminated as further progress is impossible."),
    0};
constexpr EventRow kVmTrack = {
    ReadBy::Message(
        "The virtual machine using the configuration file %s has been powered off to prevent system instability. "
        "See the kernel log file for more details."),
    VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.vm.kill.unexpected.vmtrack.2",
                   "%s is allocating too many pages while system is critically low in free memory. It is "
                   "forcefully terminated to prevent system instability."),
    0};
constexpr EventRow kForcefulPageRetire = {
    ReadBy::Message(
        "The virtual machine using the configuration file %s contains the host physical page %#lx that was "
        "scheduled for immediate retirement. To avoid system instability, the virtual machine has been powered "
        "off."),
    VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.vm.kill.unexpected.forcefulPageRetire.64.2",
                   "%s contained the host physical page %#lx which was scheduled for immediate retirement. To "
                   "avoid system instability the virtual machine is forcefully powered off."),
    0};

// The swap file's path is reported as the datastore it lies on.
void OnFaultFailure(Observation obs) {
  Text path, swapPath;
  if (!ReadArgs(obs,
                ReadBy::Message("The virtual machine using the configuration file %s could not fault in a page "
                                "from the swap file at %s. The virtual machine has been powered off."),
                &path, &swapPath)) {
    return;
  }
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.vm.kill.unexpected.fault.failure.2",
                            "%s could not fault in a guest physical page from the hypervisor level swap file on "
                            "%s. The VM is terminated as further progress is impossible."),
             path, DatastoreForPath(swapPath));
}

HandlerTable BuildTable() {
  return {
      {"kel.vm.kill.unexpected.noSwapResponse", PostRow<kNoSwapResponse, Text, UInt, ULong>},
      {"kel.vm.kill.unexpected.hyx.fault.failure", PostRow<kHyxFaultFailure, Text>},
      {"kel.vm.kill.unexpected.vmtrack", PostRow<kVmTrack, Text>},
      {"kel.vm.kill.unexpected.forcefulPageRetire.64", PostRow<kForcefulPageRetire, Text, ULong>},
      {"kel.vm.kill.unexpected.fault.failure", OnFaultFailure},
  };
}

}  // namespace

const CorrelatorDef &VmCorrelator_Def(void) {
  static const CorrelatorDef def = {"VM", {"vm"}, Unhandled_Report, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
