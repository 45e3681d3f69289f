#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &HcmCorrelator_Def(void) {
  static const CorrelatorDef def = {"HCM", {"hcm"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void HcmCorrelator_Main(void) { Correlator_Main(HcmCorrelator_Def()); }
