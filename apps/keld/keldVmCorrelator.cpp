#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &VmCorrelator_Def(void) {
  static const CorrelatorDef def = {"VM", {"vm"}, Unhandled_Report, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void VmCorrelator_Main(void) { Correlator_Main(VmCorrelator_Def()); }
