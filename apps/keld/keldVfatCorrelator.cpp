#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &VfatCorrelator_Def(void) {
  static const CorrelatorDef def = {"Vfat", {"vfat"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void VfatCorrelator_Main(void) { Correlator_Main(VfatCorrelator_Def()); }
