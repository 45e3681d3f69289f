// keldx: the daemon started with its extra agents (the logger agent and the
// test correlator), for self-tests. Everything else, options included, is the
// daemon as it runs on a host.
#include <cstdio>
#include <cstring>

#include "agents/keldAgent.h"
#include "agents/keldCorrelator.h"
#include "correlators/keldCorrelators.h"
#include "intake/keldIntake.h"
#include "selftest/keldSelftest.h"

namespace {

const char kUsage[] =
    "Usage: keldx [keld options]\n"
    "The keld daemon started with its extra agents, for self-tests: the logger\n"
    "agent and the test correlator, which checks the test observations (\"kel.tests.\")\n"
    "sent between its start and end markers, prints its verdict to standard output\n"
    "and ends the process with the number of failures as exit status.\n"
    "Honours KELD_ROOT like keld; the other options are keld's (see keld --help).\n";

}  // namespace

int main(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      fputs(kUsage, stdout);
      return 0;
    }
  }
  // Started after the daemon's own correlators, the logger first.
  Agent_AddExtra({LogAllLogger_Main, nullptr, nullptr});
  Agent_AddExtra({nullptr, Correlator_Main, &KeldTestCorrelator_Def()});
  return Keld_MainWithExtras(argc, argv);
}
