// The correlator registry: every correlator of the daemon by its
// description. The daemon's start list, the replay tool and the tests all
// take the correlators from here.
#pragma once

#include "agents/keldCorrelator.h"

const CorrelatorDef &NetCorrelator_Def(void);
const CorrelatorDef &ScsiCorrelator_Def(void);
const CorrelatorDef &ApdCorrelator_Def(void);
const CorrelatorDef &IscsiCorrelator_Def(void);
const CorrelatorDef &GlfsCorrelator_Def(void);
const CorrelatorDef &UserLevelCorrelator_Def(void);
const CorrelatorDef &HardwareCorrelator_Def(void);
const CorrelatorDef &CpuCorrelator_Def(void);
const CorrelatorDef &UserWorldCorrelator_Def(void);
const CorrelatorDef &SwapCorrelator_Def(void);
const CorrelatorDef &VmCorrelator_Def(void);
const CorrelatorDef &GenericCorrelator_Def(void);
const CorrelatorDef &MigrateCorrelator_Def(void);
const CorrelatorDef &PageRetireCorrelator_Def(void);
const CorrelatorDef &LumfsCorrelator_Def(void);
const CorrelatorDef &VfatCorrelator_Def(void);
const CorrelatorDef &ClockCorrelator_Def(void);
const CorrelatorDef &SchedCorrelator_Def(void);
const CorrelatorDef &VscsiCorrelator_Def(void);
const CorrelatorDef &MesaCorrelator_Def(void);
const CorrelatorDef &HcmCorrelator_Def(void);

// The daemon's correlators, in the order they are started. The test
// correlator and the logger agent are not among them: they live in
// selftest/, outside the daemon, and keldx adds them (Agent_AddExtra).
const std::vector<const CorrelatorDef *> &Correlators_All(void);
