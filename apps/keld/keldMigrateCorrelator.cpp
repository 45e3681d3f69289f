#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &MigrateCorrelator_Def(void) {
  static const CorrelatorDef def = {"migrate", {"migrate"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void MigrateCorrelator_Main(void) { Correlator_Main(MigrateCorrelator_Def()); }
