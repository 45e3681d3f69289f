#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &ApdCorrelator_Def(void) {
  static const CorrelatorDef def = {"APD", {"storage.apd"}, Unhandled_Report, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void ApdCorrelator_Main(void) { Correlator_Main(ApdCorrelator_Def()); }
