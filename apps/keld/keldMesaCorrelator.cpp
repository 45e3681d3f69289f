#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &MesaCorrelator_Def(void) {
  static const CorrelatorDef def = {"Mesa", {"mesa"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void MesaCorrelator_Main(void) { Correlator_Main(MesaCorrelator_Def()); }
