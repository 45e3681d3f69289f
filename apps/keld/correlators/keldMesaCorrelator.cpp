// The distributed storage correlator: disk and disk group trouble, congestion
// and capacity limits, resynchronisation problems, and the readiness of the
// network the storage nodes use to reach one another.
//
// State (the correlator's thread only, no lock; emptied together by
// kel.mesa.clusdir.unloaded): the interfaces the storage layer is
// configured to use, each marked as having an IP address or not; the problems
// reported whose recovery is to be posted as a clear event; and the one-hour
// throttle of medium and checksum errors per disk group.
#include <cstdint>
#include <map>
#include <string>

#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "correlators/keldThrottle.h"
#include "platform/clock.h"

namespace {

// Keys of MesaProblemFlags.
enum : int32_t { kConnectivityLost = 0, kClusteringDisabled = 1 };

struct MesaState {
  std::map<std::string, bool> interfaces;  // MesaInterfaceTable: name -> has an IP address
  std::map<int32_t, bool> problemFlags;    // MesaProblemFlags
  // Shared by the fixed and the unrecoverable error events.
  TextThrottle diskGroupErrors = TextThrottle::AtLeast(3600);
};

MesaState &State() {
  static MesaState state;
  return state;
}

struct InterfaceCount {
  uint32_t withIp = 0;
  uint32_t withoutIp = 0;
};

// With a name: (1, 0) for that interface with an address, (0, 1) without,
// (0, 0) when unknown. With null: the counts over all interfaces.
InterfaceCount CountInterfaces(const char *name) {
  const std::map<std::string, bool> &interfaces = State().interfaces;
  InterfaceCount count;
  auto add = [&](bool hasIp) { (hasIp ? count.withIp : count.withoutIp)++; };
  if (name != nullptr) {
    auto it = interfaces.find(name);
    if (it != interfaces.end()) add(it->second);
  } else {
    for (const auto &entry : interfaces) add(entry.second);
  }
  return count;
}

// --- Plain rows ---------------------------------------------------------------

constexpr EventRow kInitFailed = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.mesa.dom.init.failed.status",
                   "Mesa Distributed Object Manager failed to initialize. While the NOX host might still be part of "
                   "the Mesa cluster, some of the Mesa related services might fail until this problem is resolved. "
                   "Failure Status: %s."),
    0};
constexpr EventRow kPdlOnline = {"%p", VPROB_CLEAR,
                                 VPROB_TEMPLATE("nox.clear.kel.mesa.pdl.online", "Mesa device %s has come online."), 0};
constexpr EventRow kPdlOffline = {
    "%p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.kel.mesa.pdl.offline", "Mesa device %s has gone offline."), 0};
constexpr EventRow kDiskError = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.kvst.diskerror", "Mesa device %s is under permanent error."), 0};
constexpr EventRow kDiskPropagatedPermError = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.kvst.diskpropagatedpermerror",
                   "Mesa device %s is under propagated permanent error."),
    0};
constexpr EventRow kDiskUnhealthy = {
    "%p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.kel.mesa.kvst.diskunhealthy", "Mesa device %s is unhealthy."),
    0};
constexpr EventRow kDiskGroupLogCongested = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.kvst.diskgrouplogcongested", "Mesa diskgroup %s log is congested."), 0};
constexpr EventRow kDiskPropagatedError = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.kvst.diskpropagatederror", "Mesa device %s is under propagated error."), 0};
constexpr EventRow kCongestionThreshold = {
    "%p %p %u %u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.mesa.kvst.congestionthreshold",
                   "KVST %s Congestion State: %s. Congestion Threshold: %u Current Congestion: %u."),
    0};
constexpr EventRow kDiskLimit = {
    "%p %u %u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.kvst.disklimit2",
                   "Failed to add disk %s to disk group. The system has reached the maximum amount of disks allowed "
                   "(%d) for the current amount of memory (%d GB). Add more memory."),
    0};
constexpr EventRow kDiskGroupLimit = {
    "%p %u %u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.kvst.diskgrouplimit",
                   "Failed to create new disk group %s. The system has reached the maximum amount of disks groups "
                   "allowed (%d) for the current amount of memory (%d GB). Add more memory."),
    0};
constexpr EventRow kComponentThreshold = {
    "%p %u %u %u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.kvst.componentthreshold",
                   "Mesa Node: %s reached threshold of %u %% opened components (%u of %u)."),
    0};
constexpr EventRow kNoSpaceDuringResync = {
    "%p %p %u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.dom.nospaceduringresync",
                   "Resync encountered no space error for component %s on disk %s. Resync will resume once space is "
                   "freed up on this disk. Need around %uMB to resync the component on this disk"),
    0};
constexpr EventRow kResyncTimeout = {
    "%u %p %p %u", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.dom.resynctimeout",
                   "Resync timed out as no progress was made in %u minute(s) for component %s on disk %s. Resync "
                   "will be tried again for this component. The remaining resync is around %uMB."),
    0};
constexpr EventRow kResyncDecisionDelayed = {
    "%p %p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.dom.resyncdecisiondelayed",
                   "Resync is delayed for component %s on disk %s until data availability is regained for object %s "
                   "on the remote site."),
    0};
constexpr EventRow kDataComponentOnWitness = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.mesa.dom.component.datacomponent.on.witness.host",
                   "Data component %s found on witness host is ignored."),
    0};
constexpr EventRow kStuckIo = {
    "%p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.kel.mesa.kvst.stuckio", "Suspended I/Os detected on disk %s"),
    0};
constexpr EventRow kRdmaChange = {
    "%p", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.mesa.rdma.changed", "Mesa RDMA changed for hyknic %s."), 0};
constexpr EventRow kDeviceRepair = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.kvst.devicerepair", "Device %s is in offline state and is getting repaired."),
    0};

// --- Network state, clustering and the error throttle ---------------------------

constexpr char kHyknicReady[] =
    VPROB_TEMPLATE("nox.clear.mesa.hyknic.ready",
                   "hyknic %s now has an IP address. Earlier reported connectivity problems, if any, can now be "
                   "ignored as it is resolved.");
constexpr char kHyknicNotReady[] =
    VPROB_TEMPLATE("nox.problem.mesa.hyknic.not.ready",
                   "hyknic %s that is currently configured to be used with Mesa doesn't have an IP address yet. "
                   "However, there are other network configuration which are active. If those configurations are "
                   "removed that may cause problems.");
constexpr char kNetNotReady[] =
    VPROB_TEMPLATE("nox.problem.mesa.net.not.ready",
                   "hyknic %s that is currently configured to be used with Mesa doesn't have an IP address yet. "
                   "There are no other active network configuration and therefore the Mesa node doesn't have "
                   "network connectivity.");
constexpr char kNetworkAvailable[] =
    VPROB_TEMPLATE("nox.clear.mesa.network.available",
                   "Mesa now has usable network configuration. Earlier reported connectivity problems, if any, can "
                   "now be ignored as it is resolved.");
constexpr char kVnicAdded[] = VPROB_TEMPLATE("nox.audit.mesa.net.vnic.added", "Mesa vnic added");
constexpr char kVnicDeleted[] = VPROB_TEMPLATE("nox.audit.mesa.net.vnic.deleted", "Mesa vnic deleted");
constexpr char kRedundancyReduced[] =
    VPROB_TEMPLATE("nox.problem.mesa.net.redundancy.reduced",
                   "Mesa network configuration redundancy has reduced. This may be a problem if further network "
                   "configuration is removed.");
constexpr char kRedundancyLost[] =
    VPROB_TEMPLATE("nox.problem.mesa.net.redundancy.lost",
                   "Mesa network configuration doesn't have any redundancy. This may be a problem if further network "
                   "configuration is removed.");
constexpr char kNoConnectivity[] =
    VPROB_TEMPLATE("nox.problem.mesa.no.network.connectivity",
                   "Mesa doesn't have any network configuration. This can severly impact several objects in the Mesa "
                   "datastore.");
constexpr char kClusteringDisabledEvent[] =
    VPROB_TEMPLATE("nox.problem.mesa.clustering.disabled",
                   "Mesa clustering and directory services have been disabled thus will be no longer available.");
constexpr char kClusteringEnabledAudit[] = VPROB_TEMPLATE(
    "nox.audit.mesa.clustering.enabled", "Mesa clustering and directory services have been enabled.");
constexpr char kClusteringEnabledClear[] = VPROB_TEMPLATE(
    "nox.clear.mesa.clustering.enabled", "Mesa clustering and directory services have now been enabled.");
constexpr EventRow kErrorFixed = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.dom.errorfixed",
                   "Mesa detected and fixed a medium or checksum error for component %s on disk group %s."),
    0};
constexpr EventRow kUnrecoverableError = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.kel.mesa.dom.unrecoverableerror",
                   "Mesa detected an unrecoverable medium or checksum error for component %s on disk group %s."),
    0};

// The interface named by the observation. An observation without a readable,
// non-null name changes nothing and posts nothing.
bool ReadInterface(Observation obs, Text *name) { return ReadArgs(obs, "%p", name) && *name != nullptr; }

void OnGotIp(Observation obs) {
  Text name;
  if (!ReadInterface(obs, &name)) return;
  auto it = State().interfaces.find(name);
  if (it == State().interfaces.end() || it->second) return;
  it->second = true;
  VPROB_POST(0, VPROB_CLEAR, kHyknicReady, name);
}

void OnNoIp(Observation obs) {
  Text name;
  if (!ReadInterface(obs, &name)) return;
  State().interfaces[name] = false;
  if (CountInterfaces(nullptr).withIp > 0) {
    VPROB_POST(0, VPROB_PROBLEM, kHyknicNotReady, name);
  } else {
    // With no usable interface left the event waits for the next retry pass.
    VPROB_POST(1, VPROB_PROBLEM, kNetNotReady, name);
  }
}

void OnCreated(Observation obs) {
  Text name;
  if (!ReadInterface(obs, &name)) return;
  MesaState &state = State();
  InterfaceCount known = CountInterfaces(name);
  if (state.problemFlags.erase(kConnectivityLost) > 0 || known.withoutIp > 0) {
    VPROB_POST(0, VPROB_CLEAR, kNetworkAvailable);
  }
  state.interfaces[name] = true;
  VPROB_POST(0, VPROB_AUDIT, kVnicAdded);
}

// A removal of an interface that is not in the table still reports what
// remains: the storage layer saw the removal even if this daemon never saw
// the interface come.
void OnRedundancyReduced(Observation obs) {
  Text name;
  if (!ReadInterface(obs, &name)) return;
  State().interfaces.erase(name);
  if (State().interfaces.size() > 1) {
    VPROB_POST(0, VPROB_PROBLEM, kRedundancyReduced);
  } else {
    VPROB_POST(0, VPROB_PROBLEM, kRedundancyLost);
  }
  VPROB_POST(0, VPROB_AUDIT, kVnicDeleted);
}

void OnNoConnectivity(Observation obs) {
  Text name;
  if (!ReadInterface(obs, &name)) return;
  State().interfaces.erase(name);
  State().problemFlags[kConnectivityLost] = true;
  VPROB_POST(0, VPROB_AUDIT, kVnicDeleted);
  VPROB_POST(1, VPROB_PROBLEM, kNoConnectivity);
}

void OnClusteringDisabled(Observation) {
  State().problemFlags[kClusteringDisabled] = true;
  VPROB_POST(0, VPROB_PROBLEM, kClusteringDisabledEvent);
}

// Once a disabling was reported, every enabling is posted as the clear event
// until the state is reset.
void OnClusteringEnabled(Observation) {
  if (State().problemFlags[kClusteringDisabled]) {
    VPROB_POST(0, VPROB_CLEAR, kClusteringEnabledClear);
  } else {
    VPROB_POST(0, VPROB_AUDIT, kClusteringEnabledAudit);
  }
}

void OnUnloaded(Observation) {
  MesaState &state = State();
  state.interfaces.clear();
  state.problemFlags.clear();
  state.diskGroupErrors.Clear();
}

// One report per disk group per hour, across both error events.
template <const EventRow &Row>
void OnDiskGroupError(Observation obs) {
  Text component, diskGroup;
  if (!ReadRow<Row>(obs, &component, &diskGroup)) return;
  if (!State().diskGroupErrors.Pass(TextOrNull(diskGroup), Clock_NowSeconds())) return;
  VPROB_POST(Row.deferred, Row.kind, Row.eventTemplate, component, diskGroup);
}

HandlerTable BuildTable() {
  return {
      {"kel.mesa.dom.init.failed.status", PostRow<kInitFailed, Text>},
      {"kel.mesa.pdl.online", PostEvenUnread<kPdlOnline, Text>},
      {"kel.mesa.pdl.offline", PostEvenUnread<kPdlOffline, Text>},
      {"kel.mesa.kvst.diskerror", PostEvenUnread<kDiskError, Text>},
      {"kel.mesa.kvst.diskpropagatedpermerror", PostEvenUnread<kDiskPropagatedPermError, Text>},
      {"kel.mesa.kvst.diskunhealthy", PostEvenUnread<kDiskUnhealthy, Text>},
      {"kel.mesa.kvst.diskgrouplogcongested", PostEvenUnread<kDiskGroupLogCongested, Text>},
      {"kel.mesa.kvst.diskpropagatederror", PostEvenUnread<kDiskPropagatedError, Text>},
      {"kel.mesa.kvst.congestionthreshold", PostRow<kCongestionThreshold, Text, Text, UInt, UInt>},
      {"kel.mesa.kvst.disklimit2", PostRow<kDiskLimit, Text, UInt, UInt>},
      {"kel.mesa.kvst.diskgrouplimit", PostRow<kDiskGroupLimit, Text, UInt, UInt>},
      {"kel.mesa.kvst.componentthreshold", PostRow<kComponentThreshold, Text, UInt, UInt, UInt>},
      {"kel.mesa.dom.nospaceduringresync", PostRow<kNoSpaceDuringResync, Text, Text, UInt>},
      {"kel.mesa.dom.resynctimeout", PostRow<kResyncTimeout, UInt, Text, Text, UInt>},
      {"kel.mesa.dom.resyncdecisiondelayed", PostRow<kResyncDecisionDelayed, Text, Text, Text>},
      {"kel.mesa.dom.component.datacomponent.on.witness.host", PostRow<kDataComponentOnWitness, Text>},
      {"kel.mesa.kvst.stuckio", PostEvenUnread<kStuckIo, Text>},
      {"kel.mesa.xfp.rdma.change", PostEvenUnread<kRdmaChange, Text>},
      {"kel.mesa.kvst.devicerepair", PostEvenUnread<kDeviceRepair, Text>},

      {"kel.mesa.net.gotip", OnGotIp},
      {"kel.mesa.net.noip", OnNoIp},
      {"kel.mesa.xfp.noip", OnNoIp},
      {"kel.mesa.net.created", OnCreated},
      {"kel.mesa.net.reconfigured", OnCreated},
      {"kel.mesa.net.redundancy.reduced", OnRedundancyReduced},
      {"kel.mesa.net.no.connectivity", OnNoConnectivity},
      {"kel.mesa.clusdir.disabled", OnClusteringDisabled},
      {"kel.mesa.clusdir.enabled", OnClusteringEnabled},
      {"kel.mesa.clusdir.unloaded", OnUnloaded},
      {"kel.mesa.dom.errorfixed", OnDiskGroupError<kErrorFixed>},
      {"kel.mesa.dom.unrecoverableerror", OnDiskGroupError<kUnrecoverableError>},
  };
}

}  // namespace

const CorrelatorDef &MesaCorrelator_Def(void) {
  static const CorrelatorDef def = {"Mesa", {"mesa"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
