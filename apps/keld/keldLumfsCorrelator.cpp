#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &LumfsCorrelator_Def(void) {
  static const CorrelatorDef def = {"Lumfs", {"lumfs"}, Unhandled_Log, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void LumfsCorrelator_Main(void) { Correlator_Main(LumfsCorrelator_Def()); }
