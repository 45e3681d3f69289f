#include "correlators/keldCorrelators.h"

const std::vector<const CorrelatorDef *> &Correlators_All(void) {
  static const std::vector<const CorrelatorDef *> all = {
      &NetCorrelator_Def(),
      &ScsiCorrelator_Def(),
      &ApdCorrelator_Def(),
      &IscsiCorrelator_Def(),
      &GlfsCorrelator_Def(),
      &UserLevelCorrelator_Def(),
      &HardwareCorrelator_Def(),
      &CpuCorrelator_Def(),
      &UserWorldCorrelator_Def(),
      &SwapCorrelator_Def(),
      &VmCorrelator_Def(),
      &GenericCorrelator_Def(),
      &MigrateCorrelator_Def(),
      &PageRetireCorrelator_Def(),
      &LumfsCorrelator_Def(),
      &VfatCorrelator_Def(),
      &ClockCorrelator_Def(),
      &SchedCorrelator_Def(),
      &VscsiCorrelator_Def(),
      &MesaCorrelator_Def(),
      &HcmCorrelator_Def(),
  };
  return all;
}
