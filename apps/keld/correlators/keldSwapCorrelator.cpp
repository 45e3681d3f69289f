// The system swap correlator: system swap on a datastore that suffered a
// permanent device loss. When the kernel removed such a swap, the swap is
// reconfigured at once through the kernel-control library; only a failed
// reconfiguration becomes an event. Stateless; runs on the correlator's own
// thread.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "log/keldLog.h"
#include "platform/hostCtl.h"

namespace {

// The observations' own message formats, read by their conversions.
constexpr char kCannotRemoveFormat[] =
    "System swap at path %s is affected by the Permanent Device Loss of its datastore but cannot be removed.";
constexpr char kRemovedFormat[] =
    "System swap at path %s was affected by the Permanent Device Loss of its datastore and was removed.";

// A swap path that cannot be read is a malformed observation: nothing is
// posted.
void OnCannotRemove(Observation obs) {
  Text path;
  if (!ReadArgs(obs, ReadBy::Message(kCannotRemoveFormat), &path)) return;
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.swap.systemSwap.isPDL.cannot.remove.2",
                            "System swap on %s is affected by PDL but cannot be removed."),
             DatastoreForPath(path));
}

// The kernel has already removed the swap, so it is reconfigured even when
// the path cannot be read: the path only names the datastore in the event
// ("(invalid)") and the log line ("(null)").
void OnRemoved(Observation obs) {
  Text path;
  ReadArgs(obs, ReadBy::Message(kRemovedFormat), &path);
  try {
    HykCtl::System::SwapInfoImpl().ReconfigureSysSwap(false, false);
  } catch (const HostCtl::Lib::HostCtlException &e) {
    VPROB_POST(0, VPROB_PROBLEM,
               VPROB_TEMPLATE("nox.problem.swap.systemSwap.isPDL.removed.reconfig.failure.2",
                              "System swap on %s was affected by PDL. It was removed but the subsequent "
                              "reconfiguration failed."),
               DatastoreForPath(path));
    LogMsg("%s\n", e.GetDetailedMessage().c_str());
    return;
  }
  LogMsg("System swap at path %s was affected by the PDL of its datastore and was removed. System swap has "
         "been reconfigured.",
         TextOrNull(path));
}

HandlerTable BuildTable() {
  return {{"kel.swap.systemSwap.isPDL.cannot.remove", OnCannotRemove},
          {"kel.swap.systemSwap.isPDL.removed", OnRemoved}};
}

}  // namespace

const CorrelatorDef &SwapCorrelator_Def(void) {
  static const CorrelatorDef def = {"SWAP", {"swap"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
