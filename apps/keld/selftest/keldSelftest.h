// Self-test stage: the extra agents that keldx starts after the start list
// and that keld never links. The test correlator checks the test
// observations ("kel.tests.") sent between its markers and ends the process
// with the number of failures; the logger agent writes every observation of
// its domains to the system log. Each runs on its own agent thread and shares
// nothing but the stream it reads and the log it writes (the log's lock).
#pragma once

#include "agents/keldCorrelator.h"

// The test correlator's description (for the harness and keldx, which runs
// it with Correlator_Main).
const CorrelatorDef &KeldTestCorrelator_Def(void);

// The logger agent's entry.
void LogAllLogger_Main(void);
