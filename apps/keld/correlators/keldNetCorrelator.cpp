// The network correlator: virtual switches, port sets, uplinks, LACP link
// aggregation, firewall, fencing, live-migration networking and guest
// adapters. Most rows turn one observation into at most one event; the
// uplink transitions, link state and watchdog rows feed the uplink tracking
// (keldNetUplinkState), whose delayed decisions reach this correlator's
// thread through a wake-up pipe written by its timer.
//
// State: the wake-up pipe, created by the set-up on the correlator's thread
// before any handler runs and written afterwards by the timer callback (timer
// thread). No lock: the callback runs only after the correlator armed the
// timer, and the timer service's lock orders that arming after the set-up.
// The stateless handlers keep nothing.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "agents/keldTimer.h"
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "correlators/net/keldNetLinkFlapping.h"
#include "correlators/net/keldNetUplinkState.h"
#include "log/keldLog.h"
#include "platform/hostCtl.h"

namespace {

// --- Rows posted in the order read ---------------------------------------------

constexpr EventRow kFirewallDisabled = {
    "", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.net.firewall.disabled", "Firewall has been disabled."), 0};
constexpr EventRow kFirewallEnabled = {
    "%p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.net.firewall.enabled", "Firewall has been enabled for port %s"), 0};
constexpr EventRow kPortsetPortFull = {
    "%p %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.portset.port.full",
                   "Portset %s has reached the maximum number of ports (%d). Cannot apply for any more "
                   "free ports."),
    0};
constexpr EventRow kVlanInvalid = {
    "%p %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.portset.port.vlan.invalidid",
                   "%s VLANID %d is invalid. VLAN ID has to be between 0 and 4095."),
    0};
constexpr EventRow kUnsupportedPsClass = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.portset.unsupported.psclass",
                   "%s is not a Ombrel supported portset class, the relevant module must be unloaded."),
    0};
constexpr EventRow kGatewaySetFailed = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.gateway.set.failed",
                   "Cannot connect to the specified gateway %s. Failed to set it."),
    0};
constexpr EventRow kHeapBelowThreshold = {
    "%p %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.heap.belowthreshold", "%s free size dropped below %d percent."), 0};
constexpr EventRow kDuplicateIp = {
    "%p %p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.hyknic.ip.duplicate",
                   "Duplicate IP address detected for %s on interface %s, current owner being %s."),
    0};
constexpr EventRow kUplinkMtuFailed = {
    "%d %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.uplink.mtu.failed",
                   "Hykernel failed to set the MTU value %d on the uplink %s."),
    0};
constexpr EventRow kMigrateBindToHyk = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.migrate.bindtohyk",
                   "The NOX advanced config option /Migrate/Hyknic is set to an invalid hyknic: '%s'.  "
                   "/Migrate/Hyknic specifies a hyknic that Hopper binds to for improved performance.  "
                   "Please update the config option with a valid hyknic or, if you don't want Hopper to "
                   "bind to a specific hyknic, remove the invalid hyknic and leave the option blank."),
    0};
constexpr EventRow kMigrateLatency = {
    "%u %p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.migrate.unsupported.latency",
                   "NOX has detected %ums round-trip Hopper network latency between host %s and %s.  "
                   "High latency Hopper networks are only supported if both NOX hosts have been "
                   "configured for Hopper latency tolerance."),
    0};
constexpr EventRow kTeamingInvalidUplink = {
    "%p %p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.teaming.policy.invalid.uplink",
                   "Failed to update teaming policy %s on portset %s due to an invalid uplink %s which "
                   "disallows normal I/O."),
    0};
constexpr EventRow kRspanConflict = {
    "%p %p %p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.rspan.teaming.uplink.io.conflict",
                   "Failed to set RSPAN src session %s on portset %s due to it disallows uplink I/O which "
                   "conflicts with %s teaming policy %s."),
    0};

// LACP rows: the switch, or two texts whose meaning the message gives.
constexpr EventRow kLacpEnable = {
    "%p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.net.lacp.enable",
                   "LACP for KDS %s is enabled"),
    0};
constexpr EventRow kLacpDisable = {
    "%p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.net.lacp.disable",
                   "LACP for KDS %s is disabled"),
    0};
constexpr EventRow kLacpPolicyIncompatible = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.lacp.policy.incompatible",
                   "Current teaming policy for KDS: %s is incompatible, supported is IP hash only"),
    0};
constexpr EventRow kLacpPolicyLinkStatus = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.lacp.policy.linkstatus",
                   "Current teaming policy for KDS %s is incompatible, supported link failover detection is link status only."),
    0};
constexpr EventRow kLacpUplinkInactive = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.lacp.uplink.inactive",
                   "All uplinks on KDS %s must be active for LACP"),
    0};
constexpr EventRow kLacpUplinkDown = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.lacp.uplink.transition.down",
                   "uplink %s on KDS %s is moved out of link aggregation group."),
    0};
constexpr EventRow kLacpUplinkUp = {
    "%p %p", VPROB_CLEAR,
    VPROB_TEMPLATE("nox.clear.net.lacp.uplink.transition.up",
                   "uplink %s on KDS %s is moved into link aggregation group"),
    0};
constexpr EventRow kLacpFailSpeed = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.lacp.uplink.fail.speed",
                   "Speed across all uplink ports must be same, KDS %s uplink %s has different speed"),
    0};
constexpr EventRow kLacpFailDuplex = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.lacp.uplink.fail.duplex",
                   "Duplex mode across all uplink ports must be full, KDS %s uplink %s has different mode"),
    0};
constexpr EventRow kLacpBlocked = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.lacp.uplink.blocked",
                   "uplink %s on KDS %s is blocked"),
    0};
constexpr EventRow kLacpUnblocked = {
    "%p %p", VPROB_CLEAR,
    VPROB_TEMPLATE("nox.clear.net.lacp.uplink.unblocked",
                   "uplink %s on KDS %s is unblocked"),
    0};
constexpr EventRow kLacpConnected = {
    "%p %p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.net.lacp.uplink.connected",
                   "uplink %s on KDS %s got connected"),
    0};
constexpr EventRow kLacpDisconnected = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.lacp.uplink.disconnected",
                   "uplink %s on KDS %s got disconnected"),
    0};
// Its ID drops "uplink" and carries ".2".
constexpr EventRow kLacpPeerNoResponse = {
    "%p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.lacp.peer.noresponse.2",
                   "No peer response on KDS %s"),
    0};
constexpr EventRow kLacpLagDown = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.lacp.lag.transition.down",
                   "LAG %s on KDS %s is down."),
    0};
constexpr EventRow kLacpLagUp = {
    "%p %p", VPROB_CLEAR,
    VPROB_TEMPLATE("nox.clear.net.lacp.lag.transition.up",
                   "LAG %s on KDS %s is up."),
    0};

// --- Rows with their own handlers ----------------------------------------------

constexpr EventRow kPortHooked = {
    "%p", VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.net.firewall.port.hooked", "Port %s is now protected by Firewall."), 0};
constexpr EventRow kPortHookFailed = {
    "%p", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.net.firewall.port.hookfailed", "Adding port %s to Firewall failed."),
    0};
constexpr EventRow kPortRemoved = {
    "%p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.net.firewall.port.removed", "Port %s is not protected with Firewall now."), 0};
constexpr EventRow kFirewallConfigChanged = {
    "%p %p", VPROB_AUDIT,
    VPROB_TEMPLATE("nox.audit.net.firewall.config.changed",
                   "Firewall configuration has changed. Operation '%s' for rule set %s succeeded."),
    0};
constexpr EventRow kFirewallConfigFailed = {
    "%p %p", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.net.firewall.config.failed",
                   "Firewall configuration operation '%s' failed. The changes were not applied to rule "
                   "set %s."),
    0};

// Fence failure: the kernel status picks the reason; the fence ID comes
// first in the message.
void FencePortFail(Observation obs) {
  Text port, vswitch;
  Int status, fenceId;
  if (!ReadArgs(obs, "%p %p %d %d", &port, &vswitch, &status, &fenceId)) return;
  switch (static_cast<uint32_t>(status)) {
    case HYK_BAD_PARAM:  // 0xbad0007
      VPROB_POST(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.net.fence.port.badfenceid",
                                     "Hykernel fails to set fenceId %d on distributed virtual port %s on "
                                     "switch %s, reason: invalid fenceId"), fenceId, port, vswitch);
      break;
    case HYK_NOT_FOUND:  // 0xbad0002
      VPROB_POST(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.net.fence.switch.unavailable",
                                     "Hykernel fails to set fenceId %d on distributed virtual port %s on "
                                     "switch %s, reason: KDS fence property is not set"), fenceId, port, vswitch);
      break;
    default:
      VPROB_POST(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.net.fence.resource.limited",
                                     "Hykernel fails to set fenceId %d on distributed virtual port %s on "
                                     "switch %s, reason: maximum number of fence networks or ports have "
                                     "been reached"), fenceId, port, vswitch);
      break;
  }
}

// The observation carries (switch, port, hardware address); the message
// names them the other way round.
void ProxySwitchPortUnavailable(Observation obs) {
  Text vswitch, port, address;
  if (!ReadArgs(obs, "%p %p %p", &vswitch, &port, &address)) return;
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.net.proxyswitch.port.unavailable",
                            "Virtual NIC with hardware address %s failed to connect to distributed virtual "
                            "port %s on switch %s. No more ports available on the host proxy switch"),
             address, port, vswitch);
}

// The display name of VM group `groupId` from its group information record;
// false (and an empty name) when the record cannot be read.
constexpr size_t kVmNameOffset = 260;

bool LookupVmName(Int groupId, std::string *name) {
  name->clear();
  try {
    HykCtl::Util::Sysinfo node(HSI_NODE_vm_vmmGroupInfo);
    node.SetInstance(static_cast<int64_t>(groupId));
    std::vector<char> record(HSI_VMGROUP_RECORD_SIZE);
    node.Get(record.data(), record.size());
    const char *text = record.data() + kVmNameOffset;
    name->assign(text, strnlen(text, record.size() - kVmNameOffset));
    return true;
  } catch (const HostCtl::Lib::HostCtlException &) {
    name->clear();
    return false;
  }
}

void GuestTso6NotSupported(Observation obs) {
  Int groupId;
  std::string vmName;
  if (!ReadArgs(obs, "%d", &groupId) || !LookupVmName(groupId, &vmName)) return;
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.net.e1000.tso6.notsupported",
                            "Guest-initiated IPv6 TCP Segmentation Offload (TSO) packets ignored. Manually "
                            "disable TSO inside the guest operating system in Virtual Machine %s, or use a "
                            "different virtual adapter."),
             vmName.c_str());
}

HandlerTable BuildTable() {
  return {
      {"kel.net.firewall.disabled", PostRow<kFirewallDisabled>},
      {"kel.net.firewall.enabled", PostRow<kFirewallEnabled, Text>},
      {"kel.net.firewall.port.hooked", PostRow<kPortHooked, Text>},
      {"kel.net.firewall.port.hookfailed", PostRow<kPortHookFailed, Text>},
      {"kel.net.firewall.port.removed", PostRow<kPortRemoved, Text>},
      {"kel.net.firewall.config.changed", PostRow<kFirewallConfigChanged, Text, Text>},
      {"kel.net.firewall.config.failed", PostRow<kFirewallConfigFailed, Text, Text>},
      {"kel.net.fence.port.fail", FencePortFail},
      {"kel.net.portset.port.full", PostRow<kPortsetPortFull, Text, Int>},
      {"kel.net.portset.port.connect.fail", ProxySwitchPortUnavailable},
      {"kel.net.portset.port.vlan.invalidid", PostRow<kVlanInvalid, Text, Int>},
      {"kel.net.portset.unsupported.psclass", PostRow<kUnsupportedPsClass, Text>},
      {"kel.net.gateway.set.failed", PostRow<kGatewaySetFailed, Text>},
      {"kel.net.heap.belowthreshold", PostRow<kHeapBelowThreshold, Text, Int>},
      {"kel.net.hyknic.ip.duplicate", PostRow<kDuplicateIp, Text, Text, Text>},
      {"kel.net.uplink.mtu.failed", PostRow<kUplinkMtuFailed, Int, Text>},
      {"kel.net.migrate.bindtohyk.failed", PostRow<kMigrateBindToHyk, Text>},
      {"kel.net.migrate.unsupported.latency", PostRow<kMigrateLatency, UInt, Text, Text>},
      {"kel.net.e1000.tso6.notsupported", GuestTso6NotSupported},
      {"kel.net.teaming.policy.invalid.uplink", PostRow<kTeamingInvalidUplink, Text, Text, Text>},
      {"kel.net.rspan.teaming.uplink.io.conflict", PostRow<kRspanConflict, Text, Text, Text, Text>},

      {"kel.net.lacp.enable", PostRow<kLacpEnable, Text>},
      {"kel.net.lacp.disable", PostRow<kLacpDisable, Text>},
      {"kel.net.lacp.policy.incompatible", PostRow<kLacpPolicyIncompatible, Text>},
      {"kel.net.lacp.policy.linkstatus", PostRow<kLacpPolicyLinkStatus, Text>},
      {"kel.net.lacp.uplink.inactive", PostRow<kLacpUplinkInactive, Text>},
      {"kel.net.lacp.uplink.transition.down", PostRow<kLacpUplinkDown, Text, Text>},
      {"kel.net.lacp.uplink.transition.up", PostRow<kLacpUplinkUp, Text, Text>},
      {"kel.net.lacp.uplink.fail.speed", PostRow<kLacpFailSpeed, Text, Text>},
      {"kel.net.lacp.uplink.fail.duplex", PostRow<kLacpFailDuplex, Text, Text>},
      {"kel.net.lacp.uplink.blocked", PostRow<kLacpBlocked, Text, Text>},
      {"kel.net.lacp.uplink.unblocked", PostRow<kLacpUnblocked, Text, Text>},
      {"kel.net.lacp.uplink.connected", PostRow<kLacpConnected, Text, Text>},
      {"kel.net.lacp.uplink.disconnected", PostRow<kLacpDisconnected, Text, Text>},
      {"kel.net.lacp.uplink.peer.noresponse", PostRow<kLacpPeerNoResponse, Text>},
      {"kel.net.lacp.lag.transition.down", PostRow<kLacpLagDown, Text, Text>},
      {"kel.net.lacp.lag.transition.up", PostRow<kLacpLagUp, Text, Text>},

      {"kel.net.pg.uplink.transition.down", UplinkState_PortGroupDown},
      {"kel.net.pg.uplink.transition.up", UplinkState_PortGroupUp},
      {"kel.net.dvport.uplink.transition.down", UplinkState_DVPortDown},
      {"kel.net.dvport.uplink.transition.up", UplinkState_DVPortUp},
      {"kel.net.hynic.linkstate.down", UplinkState_LinkDown},
      {"kel.net.hynic.linkstate.up", UplinkState_LinkUp},
      {"kel.net.uplink.watchdog.timeout", UplinkState_WatchdogTimeout},
  };
}

// --- Start-up --------------------------------------------------------------------

int gWakePipe[2] = {-1, -1};  // read end, write end

// Timer callback (timer thread): wakes the correlator's thread, which runs
// the uplink decisions. Writes the 4 bytes of "foo" with its NUL.
void WakeCorrelator(void) {
  static constexpr char kWake[] = "foo";
  ssize_t written = write(gWakePipe[1], kWake, sizeof kWake);
  (void)written;  // a full pipe (write end non-blocking) already holds wake-ups
}

bool Setup(void) {
  int32_t timerId = Timer_Register(WakeCorrelator);
  if (timerId == -1) return false;  // no timer: the correlator does not run
  // The daemon sets up once; a test harness that rebuilds the correlator gets
  // a fresh pipe.
  for (int &fd : gWakePipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  if (pipe(gWakePipe) != 0) Panic("Failed to initialize pipes for this thread: %s\n", strerror(errno));
  // A correlator that falls behind must not stall the timer thread, which
  // also serves the other timers: with the pipe full, a wake-up is pending
  // anyway.
  fcntl(gWakePipe[1], F_SETFL, fcntl(gWakePipe[1], F_GETFL) | O_NONBLOCK);
  UplinkState_Init(timerId);
  LinkFlapping_Reset();
  return true;
}

int WakeFd(void) { return gWakePipe[0]; }

}  // namespace

const CorrelatorDef &NetCorrelator_Def(void) {
  static const CorrelatorDef def = {"net",  {"net"}, Unhandled_Ignore, BuildTable,
                                    Setup, WakeFd, UplinkState_ProcessTimeouts};
  return def;
}
