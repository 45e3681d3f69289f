#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &GlfsCorrelator_Def(void) {
  static const CorrelatorDef def = {"glfs", {"glfs"}, Unhandled_ReadId, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void GlfsCorrelator_Main(void) { Correlator_Main(GlfsCorrelator_Def()); }
