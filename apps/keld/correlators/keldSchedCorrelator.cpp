// The scheduler correlator: placement and cache-QoS settings that could not be
// applied to a virtual machine. Stateless; runs on the correlator's own
// thread.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"

namespace {

// Each row reads the virtual machine (string argument 0); a failed read is
// logged and posts nothing.
constexpr char kArgFail[] = "Failed to arg: %d\n";
constexpr EventRow kLatencyAbort = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.sched.latency.abort",
                   "Unable to apply latency-sensitivity setting to virtual machine %s. No valid placement on "
                   "the host."),
    0, kArgFail};
constexpr EventRow kCmtNotSupported = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.sched.qos.cmt.notsupported",
                   "Unable to support L3 cache monitoring for virtual machine %s. No processor capabilities."),
    0, kArgFail};
constexpr EventRow kCmtNoResource = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.sched.qos.cmt.noresource",
                   "Unable to support L3 cache monitoring for virtual machine %s. Out of resources."),
    0, kArgFail};
constexpr EventRow kCatNotSupported = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.sched.qos.cat.notsupported",
                   "Unable to support L3 cache allocation for virtual machine %s. No processor capabilities."),
    0, kArgFail};
constexpr EventRow kCatNoResource = {
    ReadBy::Index(), VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.sched.qos.cat.noresource",
                   "Unable to support L3 cache allocation for virtual machine %s. Out of resources."),
    0, kArgFail};

HandlerTable BuildTable() {
  return {
      {"kel.sched.latency.abort", PostRow<kLatencyAbort, Text>},
      {"kel.sched.qos.cmt.notsupported", PostRow<kCmtNotSupported, Text>},
      {"kel.sched.qos.cmt.noresource", PostRow<kCmtNoResource, Text>},
      {"kel.sched.qos.cat.notsupported", PostRow<kCatNotSupported, Text>},
      {"kel.sched.qos.cat.noresource", PostRow<kCatNoResource, Text>},
  };
}

}  // namespace

const CorrelatorDef &SchedCorrelator_Def(void) {
  static const CorrelatorDef def = {"sched", {"sched"}, Unhandled_Log, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
