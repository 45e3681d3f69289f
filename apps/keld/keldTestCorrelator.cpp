#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &KeldTestCorrelator_Def(void) {
  static const CorrelatorDef def = {"KeldTest", {"tests"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void KeldTestCorrelator_Main(void) { Correlator_Main(KeldTestCorrelator_Def()); }
