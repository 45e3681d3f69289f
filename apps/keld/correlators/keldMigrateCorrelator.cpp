// The live-migration correlator: the migration server's listener shut down,
// and the default migration heap that could not be created. Stateless; runs
// on the correlator's own thread.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"

namespace {

// A null status text is reported as "unknown".
void OnListenSocketShutdown(Observation obs) {
  Text status;
  if (!ReadArgs(obs, "%p", &status)) return;
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.migrate.hopper.server.pending.cnx.listen.socket.shutdown",
                            "The NOX host's Hopper network server encountered an error while monitoring incoming "
                            "network connections. Shutting down listener socket. Hoppers may no longer be possible "
                            "with this host until Hopper is manually re-enabled. Failure status: %s"),
             status ? status : "unknown");
}

constexpr EventRow kHeapCreateFailed = {
    "", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.migrate.hopper.default.heap.create.failed",
                   "Failed to create default migration heap. This may be a result of severe host memory pressure, "
                   "or virtual address space exhaustion. Migration may still be possible, but will be unreliable "
                   "in cases of extreme host memory pressure."),
    0};

HandlerTable BuildTable() {
  return {{"kel.migrate.hopper.server.pending.cnx.listen.socket.shutdown", OnListenSocketShutdown},
          {"kel.migrate.hopper.default.heap.create.failed", PostRow<kHeapCreateFailed>}};
}

}  // namespace

const CorrelatorDef &MigrateCorrelator_Def(void) {
  static const CorrelatorDef def = {"migrate", {"migrate"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
