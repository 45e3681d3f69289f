// The logger agent: writes every observation of its domains to the log,
// correlating nothing. Started only with extras.
#include <cstdlib>
#include <vector>

#include "agents/keldAgent.h"
#include "log/keldLog.h"
#include "platform/str.h"
#include "selftest/keldSelftest.h"

namespace {

// The logger's domains, in order. A subscription list holds at most ten
// domains, and an agent whose list overflows does not start at all; so the
// logger subscribes to the first ten and leaves out the eleventh ("migrate"),
// which the migration correlator logs for every observation it handles.
const char *const kLoggedDomains[] = {"user", "internal", "external", "net", "scsi", "glfs",
                                      "cpu",  "hardware", "mem",      "test", "migrate"};

}  // namespace

void LogAllLogger_Main(void) {
  std::vector<const char *> domains(kLoggedDomains, kLoggedDomains + SUBSCRIPTION_MAX);
  char *name = Str_Asprintf(nullptr, "%sLogger", "LogAll");
  Agent *agent = nullptr;
  if (Agent_Init(name ? name : "LogAll", domains, {}, &agent) == 0) {
    for (;;) {
      Observation obs = nullptr;
      if (Agent_WaitObservation(agent, &obs) != 0) break;
      LogObservation(obs);
      Kel_Free(obs);
    }
    Agent_Cleanup(&agent);
  }
  free(name);
}
