// The disk hot-plug correlator: physical disks inserted, removed, or
// predicted to fail, one row each. Stateless; runs on the correlator's own
// thread.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"

namespace {

constexpr EventRow kDiskInserted = {
    "%p", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hcm.event.disk.insertion", "A physical disk has been inserted (%s)."), 0};
constexpr EventRow kDiskRemoved = {
    "%p", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.hcm.event.disk.removal", "A physical disk has been removed (%s)."), 0};
constexpr EventRow kDiskPredictiveFailure = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.hcm.event.disk.predictive.failure", "A physical disk has a predictive failure (%s)."),
    0};

HandlerTable BuildTable() {
  return {{"kel.hcm.event.disk.insertion", PostRow<kDiskInserted, Text>},
          {"kel.hcm.event.disk.removal", PostRow<kDiskRemoved, Text>},
          {"kel.hcm.event.disk.predictive.failure", PostRow<kDiskPredictiveFailure, Text>}};
}

}  // namespace

const CorrelatorDef &HcmCorrelator_Def(void) {
  static const CorrelatorDef def = {"HCM", {"hcm"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
