#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &NetCorrelator_Def(void) {
  static const CorrelatorDef def = {"net", {"net"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void NetCorrelator_Main(void) { Correlator_Main(NetCorrelator_Def()); }
