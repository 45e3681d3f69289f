#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &SchedCorrelator_Def(void) {
  static const CorrelatorDef def = {"sched", {"sched"}, Unhandled_Log, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void SchedCorrelator_Main(void) { Correlator_Main(SchedCorrelator_Def()); }
