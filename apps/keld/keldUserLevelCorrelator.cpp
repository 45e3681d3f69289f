#include "keldCorrelators.h"

namespace {

HandlerTable BuildTable() {
  HandlerTable table;
  return table;
}

}  // namespace

const CorrelatorDef &UserLevelCorrelator_Def(void) {
  static const CorrelatorDef def = {"UserLevel", {"user"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr, false};
  return def;
}

void UserLevelCorrelator_Main(void) { Correlator_Main(UserLevelCorrelator_Def()); }
