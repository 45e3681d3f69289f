#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &GenericCorrelator_Def(void) {
  static const CorrelatorDef def = {"Generic", {"user", "external"}, Unhandled_Log, BuildTable, nullptr, nullptr, nullptr, true};
  return def;
}

void GenericCorrelator_Main(void) { Correlator_Main(GenericCorrelator_Def()); }
