// The iSCSI correlator: discovery and login failures of the software
// initiator. Stateless; a row whose arguments cannot be read posts nothing and
// logs nothing.
#include <array>
#include <cstdio>
#include <tuple>

#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"

namespace {

// Reads the row's texts, then posts them in the order `Order` gives as
// indices into the reading order.
template <const EventRow &Row, size_t... Order>
void PostTexts(Observation obs) {
  std::array<Text, sizeof...(Order)> texts{};
  bool ok = std::apply([&](auto &...t) { return ReadRow<Row>(obs, &t...); }, texts);
  if (ok) VPROB_POST(Row.deferred, Row.kind, Row.eventTemplate, texts[Order]...);
}

// Reads (adapter, target, login status) and posts (target, adapter, status
// text). The status is shown as at least four lower-case hexadecimal digits
// cut to four characters, as the 5-byte buffer of the message holds them.
template <const EventRow &Row>
void PostLoginError(Observation obs) {
  Text adapter, target;
  UInt status;
  if (!ReadRow<Row>(obs, &adapter, &target, &status)) return;
  char text[5];
  snprintf(text, sizeof text, "%04x", status);
  VPROB_POST(Row.deferred, Row.kind, Row.eventTemplate, target, adapter, static_cast<const char *>(text));
}

constexpr EventRow kIsnsDiscovery = {
    "%p %p %p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.storage.iscsi.isns.discovery.error", "iSns discovery to %s on %s failed. (%s : %s)."),
    0};
constexpr EventRow kDiscoveryConnect = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.storage.iscsi.discovery.connect.error",
                   "iSCSI discovery to %s on %s failed. The iSCSI Initiator could not establish a network "
                   "connection to the discovery address."),
    0};
constexpr EventRow kDiscoveryLogin = {
    "%p %p %u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.storage.iscsi.discovery.login.error",
                   "iSCSI discovery to %s on %s failed. The Discovery target returned a login error of: %s."),
    0};
constexpr EventRow kTargetConnect = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.storage.iscsi.target.connect.error",
                   "Login to iSCSI target %s on %s failed. The iSCSI initiator could not establish a network "
                   "connection to the target."),
    0};
constexpr EventRow kTargetLogin = {
    "%p %p %u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.storage.iscsi.target.login.error",
                   "Login to iSCSI target %s on %s failed. Target returned login error of: %s."),
    0};
constexpr EventRow kTargetRemoved = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.storage.iscsi.target.permanently.removed",
                   "The target %s was permanently removed from %s."),
    0};

HandlerTable BuildTable() {
  return {
      {"kel.iscsi.isns.discovery.error", PostTexts<kIsnsDiscovery, 1, 0, 2, 3>},
      {"kel.iscsi.discovery.connect.error", PostTexts<kDiscoveryConnect, 1, 0>},
      {"kel.iscsi.discovery.login.error", PostLoginError<kDiscoveryLogin>},
      {"kel.iscsi.target.connect.error", PostTexts<kTargetConnect, 1, 0>},
      {"kel.iscsi.target.login.error", PostLoginError<kTargetLogin>},
      {"kel.iscsi.target.permanently.removed", PostRow<kTargetRemoved, Text, Text>},
      // Consumed without an event: an entry without a handler goes to the
      // unhandled variant, which ignores it, so no log line is written.
      {"kel.iscsi.connection.started", nullptr},
      {"kel.iscsi.connection.stopped", nullptr},
      {"kel.iscsi.connection.error", nullptr},
      {"kel.iscsi.session.recovery.timeout", nullptr},
      {"kel.iscsi.target.async.event", nullptr},
  };
}

}  // namespace

const CorrelatorDef &IscsiCorrelator_Def(void) {
  static const CorrelatorDef def = {"iscsi", {"iscsi"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
