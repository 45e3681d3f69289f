// The disk hot-plug correlator: physical disks inserted, removed, or
// predicted to fail. One handler serves the three observations and tells
// them apart by ID. Stateless; runs on the correlator's own thread.
#include "keldCorrelators.h"
#include "keldRows.h"

namespace {

void OnDiskEvent(Observation obs) {
  const char *id = nullptr;
  Kel_GetID(obs, &id);
  if (id == nullptr) return;
  Text disk;
  if (!ReadArgs(obs, "%p", &disk)) return;
  if (Kel_IsID(id, "kel.hcm.event.disk.insertion")) {
    VPROB_POST(0, VPROB_AUDIT,
               VPROB_TEMPLATE("nox.audit.hcm.event.disk.insertion", "A physical disk has been inserted (%s)."), disk);
  } else if (Kel_IsID(id, "kel.hcm.event.disk.removal")) {
    VPROB_POST(0, VPROB_AUDIT,
               VPROB_TEMPLATE("nox.audit.hcm.event.disk.removal", "A physical disk has been removed (%s)."), disk);
  } else if (Kel_IsID(id, "kel.hcm.event.disk.predictive.failure")) {
    VPROB_POST(0, VPROB_PROBLEM,
               VPROB_TEMPLATE("nox.problem.hcm.event.disk.predictive.failure",
                              "A physical disk has a predictive failure (%s)."),
               disk);
  }
}

HandlerTable BuildTable() {
  return {{"kel.hcm.event.disk.insertion", OnDiskEvent},
          {"kel.hcm.event.disk.removal", OnDiskEvent},
          {"kel.hcm.event.disk.predictive.failure", OnDiskEvent}};
}

}  // namespace

const CorrelatorDef &HcmCorrelator_Def(void) {
  static const CorrelatorDef def = {"HCM", {"hcm"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void HcmCorrelator_Main(void) { Correlator_Main(HcmCorrelator_Def()); }
