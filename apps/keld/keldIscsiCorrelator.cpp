#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &IscsiCorrelator_Def(void) {
  static const CorrelatorDef def = {"iscsi", {"iscsi"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void IscsiCorrelator_Main(void) { Correlator_Main(IscsiCorrelator_Def()); }
