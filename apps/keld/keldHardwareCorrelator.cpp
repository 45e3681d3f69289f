#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &HardwareCorrelator_Def(void) {
  static const CorrelatorDef def = {"Hardware", {"hardware"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void HardwareCorrelator_Main(void) { Correlator_Main(HardwareCorrelator_Def()); }
