#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &SwapCorrelator_Def(void) {
  static const CorrelatorDef def = {"SWAP", {"swap"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void SwapCorrelator_Main(void) { Correlator_Main(SwapCorrelator_Def()); }
