#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &ClockCorrelator_Def(void) {
  static const CorrelatorDef def = {"Clock", {"clock"}, Unhandled_ClockReport, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void ClockCorrelator_Main(void) { Correlator_Main(ClockCorrelator_Def()); }
