#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &ScsiCorrelator_Def(void) {
  static const CorrelatorDef def = {"scsi", {"scsi"}, Unhandled_Report, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void ScsiCorrelator_Main(void) { Correlator_Main(ScsiCorrelator_Def()); }
