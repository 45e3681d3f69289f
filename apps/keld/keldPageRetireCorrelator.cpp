#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &PageRetireCorrelator_Def(void) {
  static const CorrelatorDef def = {"pageretire", {"pageretire"}, Unhandled_ReadId, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void PageRetireCorrelator_Main(void) { Correlator_Main(PageRetireCorrelator_Def()); }
