#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &CpuCorrelator_Def(void) {
  static const CorrelatorDef def = {"cpu", {"cpu"}, Unhandled_ReadId, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void CpuCorrelator_Main(void) { Correlator_Main(CpuCorrelator_Def()); }
