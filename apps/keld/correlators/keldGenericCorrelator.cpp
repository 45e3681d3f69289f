// The add-on component correlator: warnings, errors and informational events
// that third-party components report, from the kernel ("external") or from
// user space ("user"). Subscribed to both whole domains; every user-level
// observation it has no entry for is written to the log. Stateless; runs on
// the correlator's own thread.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"

namespace {

// Reads (component, knowledge base link, message) and posts a Problem with
// (component, link, component, message). Nothing is posted when the read
// fails or any of the three is null.
template <const EventRow &Row>
void OnReport(Observation obs) {
  Text component, link, message;
  if (!ReadRow<Row>(obs, &component, &link, &message)) return;
  if (component == nullptr || link == nullptr || message == nullptr) return;
  VPROB_POST(Row.deferred, Row.kind, Row.eventTemplate, component, link, component, message);
}

constexpr EventRow kWarning = {
    "%p %p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.3rdParty.warning",
                   "A 3rd party component, %s, running on NOX has reported a warning related to a problem. Please "
                   "follow the knowledge base link (%s) to see the steps to remedy the problem as reported by %s. "
                   "The message reported is: %s."),
    0};
constexpr EventRow kError = {
    "%p %p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.3rdParty.error",
                   "A 3rd party component, %s, running on NOX has reported an error. Please follow the knowledge "
                   "base link (%s) to see the steps to remedy the problem as reported by %s. The message reported "
                   "is: %s."),
    0};
constexpr EventRow kInformation = {
    "%p %p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.3rdParty.information",
                   "A 3rd party component, %s, running on NOX has reported an informational event. If needed, "
                   "please follow the knowledge base link (%s) to see the steps to remedythe problem as reported "
                   "by %s. The message reported is: %s."),
    0};

HandlerTable BuildTable() {
  return {
      {"kel.external.warning", OnReport<kWarning>},
      {"kel.user.external.warning", OnReport<kWarning>},
      {"kel.external.error", OnReport<kError>},
      {"kel.user.external.error", OnReport<kError>},
      {"kel.external.info", OnReport<kInformation>},
      {"kel.user.external.info", OnReport<kInformation>},
  };
}

}  // namespace

const CorrelatorDef &GenericCorrelator_Def(void) {
  static const CorrelatorDef def = {"Generic", {"user", "external"}, Unhandled_Log, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
