#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &UserWorldCorrelator_Def(void) {
  static const CorrelatorDef def = {"UserWorld", {"uw"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void UserWorldCorrelator_Main(void) { Correlator_Main(UserWorldCorrelator_Def()); }
