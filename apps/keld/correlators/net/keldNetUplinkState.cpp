// Uplink connectivity and redundancy tracking. All state below (the flags,
// the pending decisions, the bursts, the connectivity sets, the down counts,
// the redundancy-restored lists and the timer bookkeeping) is owned by the
// network correlator's thread: its handlers and its wake-up callback never run
// at the same time, so there is no lock. The timer is armed through the timer
// service's own lock.
#include "correlators/net/keldNetUplinkState.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "agents/keldTimer.h"
#include "correlators/keldRows.h"
#include "correlators/net/keldNetLinkFlapping.h"
#include "events/keldVprob.h"
#include "log/keldLog.h"
#include "platform/clock.h"
#include "platform/hostCtl.h"

namespace {

constexpr uint32_t kLinkDelay = 1;
constexpr uint32_t kUplinkDelay = 2;
constexpr uint32_t kWatchdogDelay = 7;

// One scheduled decision: which transition, after how long, scheduled when
// (wall-clock seconds).
struct PendingTransition {
  uint32_t bit;
  uint32_t delay;
  int64_t time;
};

struct PortGroupTransition {
  std::string portGroup;
  int32_t activeUplinks;
  const std::string &Name() const { return portGroup; }
};

struct DVPortTransition {
  std::string port;
  std::string switchId;
  int32_t activeUplinks;
  // How a DVPort is named in the events.
  std::string Name() const { return port + "/" + switchId; }
};

// NIC -> the transitions of its current burst, in arrival order. A NIC's list
// exists from the first transition of a burst until its decision.
template <typename Transition>
using TransitionMap = std::map<std::string, std::vector<Transition>>;

// Down minus up observations per key; an entry exists only while it is 1 or
// more. 64-bit so that no flood of observations can overflow it.
using DownCount = std::map<std::string, int64_t>;

struct UplinkState {
  std::map<std::string, uint32_t> uplinkFlags;
  std::map<std::string, std::vector<PendingTransition>> pendingTransitions;
  TransitionMap<PortGroupTransition> portGroupDownTransitions;
  TransitionMap<PortGroupTransition> portGroupUpTransitions;
  TransitionMap<DVPortTransition> dvPortDownTransitions;
  TransitionMap<DVPortTransition> dvPortUpTransitions;
  // Named by a connectivity lost event and not yet back.
  std::set<std::string> portGroupsWithoutConnectivity;
  std::set<std::string> dvPortsWithoutConnectivity;
  DownCount portGroupDownCount;
  std::map<std::string, DownCount> dvPortDownCount;  // switch -> DVPort -> count
  // Waiting to be reported as redundancy restored, across wake-ups and NICs.
  std::vector<std::string> portGroupRedundancyRestored;
  std::vector<std::string> dvPortRedundancyRestored;
  uint64_t timerLastArmed = 0;
  uint64_t timerArmedSeconds = 0;
  int32_t timerId = -1;
};

UplinkState &State() {
  static UplinkState state;
  return state;
}

// --- Flags -------------------------------------------------------------------

bool Has(const std::string &nic, uint32_t bits) {
  const auto &flags = State().uplinkFlags;
  auto it = flags.find(nic);
  return it != flags.end() && (it->second & bits) == bits;
}

void Clear(const std::string &nic, uint32_t bits) {
  if (Has(nic, bits)) State().uplinkFlags[nic] &= ~bits;
}

void Set(const std::string &nic, uint32_t bits) { State().uplinkFlags[nic] |= bits; }

// --- Events ------------------------------------------------------------------

// The events of a loss burst, by the uplinks left active: [0] none, [1]
// exactly one, [2] more than one. Posted with (switch, NIC, port groups) or
// (DVPorts, NIC).
constexpr EventRow kPortGroupLoss[] = {
    {"", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.net.connectivity.lost",
                                       "Lost network connectivity on virtual switch %s. Physical NIC %s is down. "
                                       "Affected port groups: %s"), 0},
    {"", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.net.redundancy.lost",
                                       "Lost uplink redundancy on virtual switch %s. Physical NIC %s is down. "
                                       "Affected port groups: %s"), 0},
    {"", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.net.redundancy.degraded",
                                       "Uplink redundancy degraded on virtual switch %s. Physical NIC %s is down. "
                                       "Affected port groups: %s"), 0}};
static_assert(eventcheck::RowsTake<Text, Text, Text>(kPortGroupLoss), "values do not match the messages");

constexpr EventRow kDVPortLoss[] = {
    {"", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.net.dvport.connectivity.lost",
                                       "Lost network connectivity on DVPorts: %s. Physical NIC %s is down."), 0},
    {"", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.net.dvport.redundancy.lost",
                                       "Lost uplink redundancy on DVPorts: %s. Physical NIC %s is down."), 0},
    {"", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.net.dvport.redundancy.degraded",
                                       "Uplink redundancy degraded on DVPorts: %s. Physical NIC %s is down."), 0}};
static_assert(eventcheck::RowsTake<Text, Text>(kDVPortLoss), "values do not match the messages");

// The events of a recovery burst: [0] back with one uplink is connectivity
// restored, [1] with more is redundancy restored. Posted with (switch, port
// groups, NIC) or (DVPorts, NIC).
constexpr EventRow kPortGroupRecovery[] = {
    {"", VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.net.connectivity.restored",
                                     "Network connectivity restored on virtual switch %s, portgroups: %s. "
                                     "Physical NIC %s is up"), 0},
    {"", VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.net.redundancy.restored",
                                     "Uplink redundancy restored on virtual switch %s, portgroups: %s. "
                                     "Physical NIC %s is up"), 0}};
static_assert(eventcheck::RowsTake<Text, Text, Text>(kPortGroupRecovery), "values do not match the messages");

constexpr EventRow kDVPortRecovery[] = {
    {"", VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.net.dvport.connectivity.restored",
                                     "Network connectivity restored on DVPorts: %s. Physical NIC %s is up"), 0},
    {"", VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.net.dvport.redundancy.restored",
                                     "Uplink redundancy restored on DVPorts: %s. "
                                     "Physical NIC %s is up recently"), 0}};
static_assert(eventcheck::RowsTake<Text, Text>(kDVPortRecovery), "values do not match the messages");

void PostLinkDown(const std::string &nic) {
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.net.hynic.linkstate.down", "Physical NIC %s linkstate is down"),
             nic.c_str());
}

// The names of a burst sorted by the uplinks left active; negative counts
// are dropped.
struct ByActiveUplinks {
  std::vector<std::string> none, one, several;
};

template <typename Transition>
ByActiveUplinks SortByActiveUplinks(const std::vector<Transition> &burst) {
  ByActiveUplinks sorted;
  for (const Transition &t : burst) {
    if (t.activeUplinks == 0) {
      sorted.none.push_back(t.Name());
    } else if (t.activeUplinks == 1) {
      sorted.one.push_back(t.Name());
    } else if (t.activeUplinks > 1) {
      sorted.several.push_back(t.Name());
    }
  }
  return sorted;
}

// Posts one event per non-empty group of a loss burst. `post` (row, quoted
// list) puts the list where the row's message wants it.
template <typename Transition, typename Post>
void ReportLoss(const std::vector<Transition> &burst, std::set<std::string> *withoutConnectivity,
                const EventRow (&events)[3], Post post) {
  ByActiveUplinks sorted = SortByActiveUplinks(burst);
  withoutConnectivity->insert(sorted.none.begin(), sorted.none.end());
  if (!sorted.none.empty()) post(events[0], QuoteJoin(sorted.none));
  if (!sorted.one.empty()) post(events[1], QuoteJoin(sorted.one));
  if (!sorted.several.empty()) post(events[2], QuoteJoin(sorted.several));
}

// A recovery burst: everything back with an uplink has connectivity again.
// Those back with one are reported only while nothing on the host is still
// without connectivity (otherwise they are dropped); those back with more
// wait in `restored` until no uplink loss is outstanding anywhere.
template <typename Transition, typename Post>
void ReportRecovery(const std::vector<Transition> &burst, std::set<std::string> *withoutConnectivity,
                    std::vector<std::string> *restored, const EventRow (&events)[2], Post post) {
  const UplinkState &s = State();
  ByActiveUplinks sorted = SortByActiveUplinks(burst);
  for (const std::string &name : sorted.one) withoutConnectivity->erase(name);
  for (const std::string &name : sorted.several) withoutConnectivity->erase(name);
  restored->insert(restored->end(), sorted.several.begin(), sorted.several.end());
  if (!sorted.one.empty() && s.portGroupsWithoutConnectivity.empty() &&
      s.dvPortsWithoutConnectivity.empty()) {
    post(events[0], QuoteJoin(sorted.one));
  }
  if (!restored->empty() && s.portGroupDownCount.empty() && s.dvPortDownCount.empty()) {
    post(events[1], QuoteJoin(*restored));
    restored->clear();
  }
}

// --- Decisions ---------------------------------------------------------------

// Takes the NIC's burst out of `bursts` and clears its bit; false when the
// NIC has none.
template <typename Transition>
bool TakeBurst(TransitionMap<Transition> *bursts, const std::string &nic, uint32_t bit,
               std::vector<Transition> *burst) {
  auto it = bursts->find(nic);
  if (it == bursts->end()) return false;
  Clear(nic, bit);
  *burst = std::move(it->second);
  bursts->erase(it);
  return true;
}

// Port group events name the switch of the burst's first port group. When it
// cannot be found the burst is dropped unreported: keeping it would make the
// NIC's later transitions join a list that nothing decides any more.
std::string SwitchOf(const std::vector<PortGroupTransition> &burst) {
  return LookupPortGroupSwitch(burst.front().portGroup);
}

void ReportPortGroupLoss(const std::string &nic) {
  UplinkState &s = State();
  std::vector<PortGroupTransition> burst;
  if (!TakeBurst(&s.portGroupDownTransitions, nic, UPLINK_PG_DOWN, &burst)) return;
  std::string vswitch = SwitchOf(burst);
  if (vswitch.empty()) return;
  ReportLoss(burst, &s.portGroupsWithoutConnectivity, kPortGroupLoss,
             [&](const EventRow &row, const std::string &list) {
               VProb_Post(row.deferred, row.kind, row.eventTemplate, vswitch.c_str(), nic.c_str(),
                          list.c_str());
             });
}

void ReportPortGroupRecovery(const std::string &nic) {
  UplinkState &s = State();
  std::vector<PortGroupTransition> burst;
  if (!TakeBurst(&s.portGroupUpTransitions, nic, UPLINK_PG_UP, &burst)) return;
  std::string vswitch = SwitchOf(burst);
  if (vswitch.empty()) return;
  ReportRecovery(burst, &s.portGroupsWithoutConnectivity, &s.portGroupRedundancyRestored, kPortGroupRecovery,
                 [&](const EventRow &row, const std::string &list) {
                   VProb_Post(row.deferred, row.kind, row.eventTemplate, vswitch.c_str(), list.c_str(),
                              nic.c_str());
                 });
}

void ReportDVPortLoss(const std::string &nic) {
  UplinkState &s = State();
  std::vector<DVPortTransition> burst;
  if (!TakeBurst(&s.dvPortDownTransitions, nic, UPLINK_DVPORT_DOWN, &burst)) return;
  ReportLoss(burst, &s.dvPortsWithoutConnectivity, kDVPortLoss,
             [&](const EventRow &row, const std::string &list) {
               VProb_Post(row.deferred, row.kind, row.eventTemplate, list.c_str(), nic.c_str());
             });
}

void ReportDVPortRecovery(const std::string &nic) {
  UplinkState &s = State();
  std::vector<DVPortTransition> burst;
  if (!TakeBurst(&s.dvPortUpTransitions, nic, UPLINK_DVPORT_UP, &burst)) return;
  ReportRecovery(burst, &s.dvPortsWithoutConnectivity, &s.dvPortRedundancyRestored, kDVPortRecovery,
                 [&](const EventRow &row, const std::string &list) {
                   VProb_Post(row.deferred, row.kind, row.eventTemplate, list.c_str(), nic.c_str());
                 });
}

// The watchdog window. A watchdog timeout holds back the NIC's transitions
// for 7 seconds; the decision then reports what the window saw, so that a
// quick down-and-up becomes one transient-failure event while every loss and
// every recovery still reaches hubd exactly once:
// - down and up seen: one transient failure. Every burst the NIC holds (port
//   group and DVPort, down and up) is discarded, not only the first kind
//   found: a list left behind would swallow the NIC's later transitions of
//   that kind, which join an existing list without a decision of their own.
// - only down seen: the port group loss and the DVPort loss are both
//   reported (a NIC can serve both kinds of switch); a link-only loss is
//   reported as link down. Inside the window a due link-state record keeps
//   its bit for this decision instead of clearing it unreported.
// - only up seen: the recovery is reported as outside a window (port groups,
//   DVPorts, or the link alone); held back for ever, it would also hold back
//   every later recovery of the NIC.
// The decision settles everything the NIC has pending, so the walk drops the
// NIC's other records (they would decide the same transitions again) and
// ends the window only when no later watchdog timeout of the NIC is pending.
void ResetAfterTransientFailure(const std::string &nic) {
  UplinkState &s = State();
  s.portGroupDownTransitions.erase(nic);
  s.dvPortDownTransitions.erase(nic);
  s.portGroupUpTransitions.erase(nic);
  s.dvPortUpTransitions.erase(nic);
  s.uplinkFlags[nic] &= UPLINK_WATCHDOG;
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.net.hynic.watchdog.reset",
                            "Uplink %s has recovered from a transient failure due to watchdog timeout"),
             nic.c_str());
}

void PostLinkUp(const std::string &nic) {
  VPROB_POST(0, VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.net.hynic.linkstate.up", "Physical NIC %s linkstate is up"),
             nic.c_str());
}

void DecideWatchdog(const std::string &nic) {
  bool pgDown = Has(nic, UPLINK_PG_DOWN), dvDown = Has(nic, UPLINK_DVPORT_DOWN);
  bool pgUp = Has(nic, UPLINK_PG_UP), dvUp = Has(nic, UPLINK_DVPORT_UP);
  bool down = pgDown || dvDown || Has(nic, UPLINK_LINK_DOWN);
  bool up = pgUp || dvUp || Has(nic, UPLINK_LINK_UP);
  if (down && up) {
    ResetAfterTransientFailure(nic);
    return;
  }
  if (down) {
    if (pgDown) ReportPortGroupLoss(nic);
    if (dvDown) ReportDVPortLoss(nic);
    if (!pgDown && !dvDown) PostLinkDown(nic);
    Clear(nic, UPLINK_LINK_DOWN);
  }
  if (up) {
    if (pgUp) ReportPortGroupRecovery(nic);
    if (dvUp) ReportDVPortRecovery(nic);
    if (!pgUp && !dvUp) PostLinkUp(nic);
    Clear(nic, UPLINK_LINK_UP);
  }
}

void ProcessDue(const std::string &nic, uint32_t bit) {
  bool watchdog = Has(nic, UPLINK_WATCHDOG);
  switch (bit) {
    // Inside a watchdog window the bursts stay for the watchdog decision.
    case UPLINK_PG_DOWN:
      if (!watchdog) ReportPortGroupLoss(nic);
      break;
    case UPLINK_DVPORT_DOWN:
      if (!watchdog) ReportDVPortLoss(nic);
      break;
    case UPLINK_PG_UP:
      if (!watchdog) ReportPortGroupRecovery(nic);
      break;
    case UPLINK_DVPORT_UP:
      if (!watchdog) ReportDVPortRecovery(nic);
      break;
    // A link state change stands on its own only when no port group or
    // DVPort transition of the same direction arrived within its delay.
    // Inside a window its bit stays for the watchdog decision.
    case UPLINK_LINK_DOWN:
      if (watchdog) break;
      Clear(nic, UPLINK_LINK_DOWN);
      if (!Has(nic, UPLINK_PG_DOWN) && !Has(nic, UPLINK_DVPORT_DOWN)) PostLinkDown(nic);
      break;
    case UPLINK_LINK_UP:
      if (watchdog) break;
      Clear(nic, UPLINK_LINK_UP);
      if (!Has(nic, UPLINK_PG_UP) && !Has(nic, UPLINK_DVPORT_UP)) PostLinkUp(nic);
      break;
    case UPLINK_WATCHDOG:
      DecideWatchdog(nic);
      break;
    default:
      Panic("Received timeout event for unknown state: %x\n", bit);
  }
}

void ArmTimer(int64_t now, uint32_t seconds) {
  UplinkState &s = State();
  Timer_Arm(s.timerId, 0, seconds, nullptr);
  s.timerLastArmed = static_cast<uint64_t>(now);
  s.timerArmedSeconds = seconds;
}

// --- Handlers ----------------------------------------------------------------

bool NotNull(Text text) { return text != nullptr; }
bool NotNull(Int) { return true; }

// Reads an uplink observation's arguments. The texts become map keys, so a
// null one makes the observation unreadable.
template <typename... T>
bool ReadUplinkArgs(Observation obs, const char *format, T *...out) {
  return ReadArgs(obs, format, out...) && (NotNull(*out) && ...);
}

// Batching: the first transition of a kind for a NIC schedules the decision;
// the others of the same burst only join its list.
template <typename Transition>
void AddToBurst(TransitionMap<Transition> *bursts, const std::string &nic, uint32_t bit, Transition t) {
  if (bursts->count(nic) == 0) UplinkState_Schedule(kUplinkDelay, nic, bit);
  (*bursts)[nic].push_back(std::move(t));
}

void NoteUplinkDown(DownCount *counts, const std::string &key) { ++(*counts)[key]; }

void NoteUplinkUp(DownCount *counts, const std::string &key) {
  auto it = counts->emplace(key, 0).first;
  if (--it->second < 1) counts->erase(it);
}

}  // namespace

void UplinkState_Init(int32_t timerId) {
  State() = UplinkState{};
  State().timerId = timerId;
}

void UplinkState_PortGroupDown(Observation obs) {
  Text nic, portGroup;
  Int active, unused;
  if (!ReadUplinkArgs(obs, "%p %p %d %d", &nic, &portGroup, &active, &unused)) return;
  UplinkState &s = State();
  AddToBurst(&s.portGroupDownTransitions, nic, UPLINK_PG_DOWN, PortGroupTransition{portGroup, active});
  NoteUplinkDown(&s.portGroupDownCount, portGroup);
}

void UplinkState_PortGroupUp(Observation obs) {
  Text nic, portGroup;
  Int active;
  if (!ReadUplinkArgs(obs, "%p %p %d", &nic, &portGroup, &active)) return;
  UplinkState &s = State();
  AddToBurst(&s.portGroupUpTransitions, nic, UPLINK_PG_UP, PortGroupTransition{portGroup, active});
  NoteUplinkUp(&s.portGroupDownCount, portGroup);
}

void UplinkState_DVPortDown(Observation obs) {
  Text nic, port, vswitch;
  Int active, unused;
  if (!ReadUplinkArgs(obs, "%p %p %p %d %d", &nic, &port, &vswitch, &active, &unused)) return;
  UplinkState &s = State();
  AddToBurst(&s.dvPortDownTransitions, nic, UPLINK_DVPORT_DOWN, DVPortTransition{port, vswitch, active});
  NoteUplinkDown(&s.dvPortDownCount[vswitch], port);
}

void UplinkState_DVPortUp(Observation obs) {
  Text nic, port, vswitch;
  Int active;
  if (!ReadUplinkArgs(obs, "%p %p %p %d", &nic, &port, &vswitch, &active)) return;
  UplinkState &s = State();
  AddToBurst(&s.dvPortUpTransitions, nic, UPLINK_DVPORT_UP, DVPortTransition{port, vswitch, active});
  auto perSwitch = s.dvPortDownCount.emplace(vswitch, DownCount{}).first;
  NoteUplinkUp(&perSwitch->second, port);
  if (perSwitch->second.empty()) s.dvPortDownCount.erase(perSwitch);
}

void UplinkState_LinkDown(Observation obs) {
  Text nic;
  if (!ReadUplinkArgs(obs, "%p", &nic)) return;
  LinkFlapping_Check(nic);
  if (!Has(nic, UPLINK_PG_DOWN) && !Has(nic, UPLINK_DVPORT_DOWN)) {
    UplinkState_Schedule(kLinkDelay, nic, UPLINK_LINK_DOWN);
  }
}

void UplinkState_LinkUp(Observation obs) {
  Text nic;
  if (!ReadUplinkArgs(obs, "%p", &nic)) return;
  if (!Has(nic, UPLINK_PG_UP) && !Has(nic, UPLINK_DVPORT_UP)) {
    UplinkState_Schedule(kLinkDelay, nic, UPLINK_LINK_UP);
  }
}

void UplinkState_WatchdogTimeout(Observation obs) {
  Text nic;
  if (!ReadUplinkArgs(obs, "%p", &nic)) return;
  UplinkState_Schedule(kWatchdogDelay, nic, UPLINK_WATCHDOG);
}

void UplinkState_Schedule(uint32_t delay, const std::string &nic, uint32_t bit) {
  UplinkState &s = State();
  int64_t now = Clock_NowSeconds();
  Set(nic, bit);
  if (s.pendingTransitions.empty()) {
    ArmTimer(now, delay);
  } else {
    // The timer is armed: move it only when this decision falls due before
    // the armed deadline (both counted from the last arming).
    uint32_t sinceArming = static_cast<uint32_t>(static_cast<uint64_t>(now) - s.timerLastArmed);
    if (sinceArming + delay < s.timerArmedSeconds) ArmTimer(now, delay);
  }
  s.pendingTransitions[nic].push_back({bit, delay, now});
}

void UplinkState_ProcessTimeouts(void) {
  UplinkState &s = State();
  if (s.pendingTransitions.empty()) return;
  int64_t now = Clock_NowSeconds();
  std::optional<int64_t> next;
  for (auto nicIt = s.pendingTransitions.begin(); nicIt != s.pendingTransitions.end();) {
    const std::string &nic = nicIt->first;
    std::vector<PendingTransition> &list = nicIt->second;
    for (size_t i = 0; i < list.size();) {
      const PendingTransition record = list[i];
      int64_t dueIn = record.time + record.delay - now;
      if (dueIn > 0) {
        next = std::min(next.value_or(dueIn), dueIn);
        i++;
        continue;
      }
      ProcessDue(nic, record.bit);
      list.erase(list.begin() + static_cast<std::ptrdiff_t>(i));
      if (record.bit == UPLINK_WATCHDOG) {
        // The watchdog decision settled every transition of the NIC: only
        // its later watchdog timeouts stay, and the window lasts while one
        // of them is pending. The walk restarts on what is left.
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [](const PendingTransition &p) { return p.bit != UPLINK_WATCHDOG; }),
                   list.end());
        if (list.empty()) Clear(nic, UPLINK_WATCHDOG);
        i = 0;
      }
    }
    nicIt = list.empty() ? s.pendingTransitions.erase(nicIt) : std::next(nicIt);
  }
  if (next) ArmTimer(now, static_cast<uint32_t>(std::min<int64_t>(*next, UINT32_MAX)));
}

std::string LookupPortGroupSwitch(const std::string &portGroup) {
  try {
    std::unique_ptr<HostCtl::Network::PortGroup> group =
        HostCtl::Network::NetworkFactory::GetPortGroupByName(portGroup);
    if (!group) return "";
    return "\"" + group->GetVirtualSwitchName() + "\"";
  } catch (const HostCtl::Lib::HostCtlException &) {
    return "";
  }
}
