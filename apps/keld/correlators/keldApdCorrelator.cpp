// The all-paths-down correlator: devices or file systems entering, timing
// out in and leaving the all-paths-down state. Stateless; a row whose
// arguments cannot be read posts nothing and logs nothing.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"

namespace {

constexpr EventRow kStart = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.storage.apd.start",
                   "Device or filesystem with identifier [%s] has entered the All Paths Down state."),
    0};
constexpr EventRow kExit = {
    "%p", VPROB_CLEAR,
    VPROB_TEMPLATE("nox.clear.storage.apd.exit",
                   "Device or filesystem with identifier [%s] has exited the All Paths Down state."),
    0};
constexpr EventRow kTimeout = {
    "%p %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.storage.apd.timeout",
                   "Device or filesystem with identifier [%s] has entered the All Paths Down Timeout state "
                   "after being in the All Paths Down state for %d seconds. I/Os will now be fast failed."),
    0};

HandlerTable BuildTable() {
  return {
      {"kel.storage.apd.start", PostRow<kStart, Text>},
      {"kel.storage.apd.exit", PostRow<kExit, Text>},
      {"kel.storage.apd.timeout", PostRow<kTimeout, Text, Int>},
  };
}

}  // namespace

const CorrelatorDef &ApdCorrelator_Def(void) {
  static const CorrelatorDef def = {"APD", {"storage.apd"}, Unhandled_Report, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
