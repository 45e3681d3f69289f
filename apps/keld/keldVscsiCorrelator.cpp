#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &VscsiCorrelator_Def(void) {
  static const CorrelatorDef def = {"vscsi", {"vscsi"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void VscsiCorrelator_Main(void) { Correlator_Main(VscsiCorrelator_Def()); }
