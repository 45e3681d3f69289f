// Correlators stage: one unit per correlator (the network trackers in net/,
// the storage path trackers in scsi/), their toolkit (rows, keldRows.h;
// throttles, keldThrottle.h; argument reading and the volume lookup,
// keldToolkit.h) and this registry. Each correlator runs on its
// own agent thread and keeps its state to itself, or under its own lock where
// a timer callback shares it; what it concludes goes to the events stage as
// VProb_Post calls.
//
// Every correlator of the daemon: its description (for tests and the replay
// tool) and its agent entry function (for the start list).
#pragma once

#include "agents/keldCorrelator.h"

const CorrelatorDef &NetCorrelator_Def(void);
void NetCorrelator_Main(void);
const CorrelatorDef &ScsiCorrelator_Def(void);
void ScsiCorrelator_Main(void);
const CorrelatorDef &ApdCorrelator_Def(void);
void ApdCorrelator_Main(void);
const CorrelatorDef &IscsiCorrelator_Def(void);
void IscsiCorrelator_Main(void);
const CorrelatorDef &GlfsCorrelator_Def(void);
void GlfsCorrelator_Main(void);
const CorrelatorDef &UserLevelCorrelator_Def(void);
void UserLevelCorrelator_Main(void);
const CorrelatorDef &HardwareCorrelator_Def(void);
void HardwareCorrelator_Main(void);
const CorrelatorDef &CpuCorrelator_Def(void);
void CpuCorrelator_Main(void);
const CorrelatorDef &UserWorldCorrelator_Def(void);
void UserWorldCorrelator_Main(void);
const CorrelatorDef &SwapCorrelator_Def(void);
void SwapCorrelator_Main(void);
const CorrelatorDef &VmCorrelator_Def(void);
void VmCorrelator_Main(void);
const CorrelatorDef &GenericCorrelator_Def(void);
void GenericCorrelator_Main(void);
const CorrelatorDef &MigrateCorrelator_Def(void);
void MigrateCorrelator_Main(void);
const CorrelatorDef &PageRetireCorrelator_Def(void);
void PageRetireCorrelator_Main(void);
const CorrelatorDef &LumfsCorrelator_Def(void);
void LumfsCorrelator_Main(void);
const CorrelatorDef &VfatCorrelator_Def(void);
void VfatCorrelator_Main(void);
const CorrelatorDef &ClockCorrelator_Def(void);
void ClockCorrelator_Main(void);
const CorrelatorDef &SchedCorrelator_Def(void);
void SchedCorrelator_Main(void);
const CorrelatorDef &VscsiCorrelator_Def(void);
void VscsiCorrelator_Main(void);
const CorrelatorDef &MesaCorrelator_Def(void);
void MesaCorrelator_Main(void);
const CorrelatorDef &HcmCorrelator_Def(void);
void HcmCorrelator_Main(void);

// All correlator descriptions of the daemon, in start-list order. The test
// correlator is not among them: it lives in selftest/, outside the daemon.
std::vector<const CorrelatorDef *> Correlators_All(void);
