// The memory page retirement correlator: reports the number of pages selected
// for retirement crossing its threshold (and each further step of growth),
// reports once that too many selected pages could not be retired, relays
// retirement requests of the platform firmware, and kills a virtual machine
// whose guest keeps using a page after uncorrectable machine checks were
// injected for it.
//
// All state below is set up and used by the correlator's own thread only; no
// lock.
#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "log/keldLog.h"
#include "platform/clock.h"
#include "platform/hostCtl.h"
#include "platform/hsi.h"

namespace {

constexpr char kUnit[] = "keldPageRetireCorrelator";

constexpr char kSelectedId[] = "kel.pageretire.selectedmpnthreshold.host.exceeded";
constexpr char kNotRetiredId[] = "kel.pageretire.selectedbutnotretired.high";
constexpr char kPlatformId[] = "kel.pageretire.platform.retire.request";
constexpr char kInjectedId[] = "kel.pageretire.mce.injected";

#define PLATFORM_MESSAGE \
  "Memory page retirement requested by platform firmware. FRU ID: %s. Refer to System Hardware Log: %s"

// An injection counts while now <= its time + 60; a machine is killed at the
// 50th injection for one page once they span at least 2 seconds.
constexpr int64_t kInjectionLifetimeSeconds = 60;
constexpr int32_t kKillInjections = 50;
constexpr int64_t kKillSpreadSeconds = 2;

struct ThresholdState {
  uint64_t selectedThreshold = 0;         // pages selected for retirement
  uint64_t thresholdIntervalPercent = 0;  // step between reports, % of the threshold
  uint64_t lastReportedSelected = 0;      // count of the last threshold report
  bool notRetiredHighReported = false;
};
ThresholdState gState;

struct InjectionRecord {
  bool killed = false;  // the kill of this machine was asked for
  // Guest physical page -> time (wall-clock seconds) of each injection;
  // injections for one page stay in arrival order.
  std::multimap<uint64_t, int64_t> injections;
};
std::map<int32_t, InjectionRecord> gMceInjections;  // by world ID

bool IsOwn(Observation obs, const char *id) { return Kel_IsID(ObservationId(obs), id); }

// The current value of the integer option "PageRetire" / `name`; failing to
// read it is an internal error.
uint64_t ReadPageRetireOption(const char *name) {
  uint64_t value = 0;
  if (!ReadIntegerOption("PageRetire", name, &value)) KELD_NOT_REACHED(kUnit);
  return value;
}

uint64_t ReadSelectedThreshold() {
  HykCtl::Util::Sysinfo node(HSI_NODE_system_pageRetire_threshold);
  uint64_t value = 0;
  node.Get(&value, sizeof value);
  return value;
}

// A count read from the observation is reported when it is over the
// threshold and, after the first report, has grown since the last report by
// the step (interval percent of the threshold). The step is compared without
// wrapping, so a step larger than the count itself is never reached.
void HandleSelectedThreshold(Observation obs) {
  uint64_t count = 0;
  if (!IsOwn(obs, kSelectedId) ||
      !ReadArgs(obs, ReadBy::Message("Number of MPNs selected for retirement is %lu"), &count)) {
    return;
  }
  const uint64_t threshold = gState.selectedThreshold;
  if (count <= threshold) return;
  uint64_t step = 0;
  if (__builtin_mul_overflow(threshold, gState.thresholdIntervalPercent, &step)) step = UINT64_MAX;
  step /= 100;
  const uint64_t last = gState.lastReportedSelected;
  if (last != 0 && (count < step || count - step < last)) return;
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.pageretire.selectedmpnthreshold.host.exceeded",
                              "Number of host physical memory pages that have been selected for "
                              "retirement (%lu) exceeds threshold (%lu)."),
             count, threshold);
  gState.lastReportedSelected = count;
}

// Reported once per run, whatever counts follow.
void HandleNotRetiredHigh(Observation obs) {
  uint64_t count = 0;
  if (!IsOwn(obs, kNotRetiredId) || gState.notRetiredHighReported ||
      !ReadArgs(obs, ReadBy::Message("Number of selected but not retired MPNs is high: %lu."), &count)) {
    return;
  }
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.pageretire.selectedbutnotretired.high",
                              "Number of host physical memory pages that have been selected for "
                              "retirement but could not yet be retired is high: %lu"),
             count);
  gState.notRetiredHighReported = true;
}

// Relayed while firmware error logging is enabled; the option is read for
// every request so that a change takes effect at once.
void HandlePlatformRequest(Observation obs) {
  uint64_t loggingEnabled = ReadPageRetireOption("ApeiLoggingEnabled");
  const char *fruId = nullptr;
  const char *logReference = nullptr;
  if (!IsOwn(obs, kPlatformId) || loggingEnabled == 0 ||
      !ReadArgs(obs, ReadBy::Message(PLATFORM_MESSAGE), &fruId, &logReference)) {
    return;
  }
  VPROB_POST(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.pageretire.platform.retire.request", PLATFORM_MESSAGE), fruId,
             logReference);
}

// Forgets injections older than their lifetime, and machines left without any.
void ExpireInjections(int64_t now) {
  for (auto record = gMceInjections.begin(); record != gMceInjections.end();) {
    auto &injections = record->second.injections;
    for (auto entry = injections.begin(); entry != injections.end();) {
      entry = entry->second + kInjectionLifetimeSeconds < now ? injections.erase(entry) : std::next(entry);
    }
    record = injections.empty() ? gMceInjections.erase(record) : std::next(record);
  }
}

// Reports and kills machine `worldId`. A kernel-control failure abandons the
// attempt; if it came before the record was marked, the next evaluation
// tries again.
void KillMachine(int32_t worldId, InjectionRecord &record, int32_t count, uint64_t page) {
  try {
    HykCtl::Resource::ResourceInfoImpl resources;
    std::unique_ptr<HykCtl::Resource::VirtualMachine> vm =
        resources.GetVirtualMachineByWorldId(int64_t{worldId});
    std::string name = vm->GetName();
    VPROB_POST(0, VPROB_PROBLEM,
               VPROB_TEMPLATE("nox.problem.pageretire.mce.injected.2",
                                "Killing %s because at least %d uncorrectable memory error machine check "
                                "exceptions were injected for guest physical page %#lx but the virtual "
                                "machine's operating system kept using the page."),
               name.c_str(), count, page);
    record.killed = true;
    vm->Kill(0);
  } catch (const HostCtl::Lib::HostCtlException &) {
  }
}

// Walks every machine's injections page by page; within one page's run, each
// injection after the first may trigger the kill.
void EvaluateInjections() {
  for (auto &[worldId, record] : gMceInjections) {
    const auto &injections = record.injections;
    for (auto run = injections.begin(); run != injections.end();) {
      const auto runEnd = injections.upper_bound(run->first);
      int32_t count = 1;
      int64_t earliest = run->second;
      int64_t latest = earliest;
      for (auto entry = std::next(run); entry != runEnd; ++entry) {
        count++;
        earliest = std::min(earliest, entry->second);
        latest = std::max(latest, entry->second);
        if (record.killed || count < kKillInjections || latest - earliest < kKillSpreadSeconds) continue;
        KillMachine(worldId, record, count, run->first);
      }
      run = runEnd;
    }
  }
}

// Injections are timed by the daemon's clock when they are handled. An
// observation whose arguments cannot be read adds nothing but still moves
// expiry and evaluation on.
void HandleMceInjected(Observation obs) {
  const int64_t now = Clock_NowSeconds();
  ExpireInjections(now);
  uint64_t page = 0;
  int32_t worldId = 0;
  if (IsOwn(obs, kInjectedId) &&
      ReadArgs(obs, ReadBy::Message("Injected MCE for PPN %lx into virtual machine %d."), &page, &worldId)) {
    gMceInjections[worldId].injections.emplace(page, now);
  }
  EvaluateInjections();
}

HandlerTable BuildTable() {
  return {
      {kSelectedId, HandleSelectedThreshold},
      {kNotRetiredId, HandleNotRetiredHigh},
      {kPlatformId, HandlePlatformRequest},
      {kInjectedId, HandleMceInjected},
  };
}

// Agent start: the threshold and its step are read once; failing to read
// them is an internal error that stops the daemon.
bool Setup(void) {
  gState = ThresholdState{};
  gMceInjections.clear();
  try {
    gState.selectedThreshold = ReadSelectedThreshold();
    gState.thresholdIntervalPercent = ReadPageRetireOption("ThresholdInterval");
  } catch (const HostCtl::Lib::HostCtlException &) {
    KELD_NOT_REACHED(kUnit);
  }
  return true;
}

}  // namespace

const CorrelatorDef &PageRetireCorrelator_Def(void) {
  static const CorrelatorDef def = {"pageretire", {"pageretire"}, Unhandled_ReadId, BuildTable, Setup, nullptr, nullptr};
  return def;
}
