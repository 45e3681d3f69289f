// Clock correlator: the kernel's observations about the system clock (time
// server synchronisation, clock steps, limits on large corrections, clock
// parameters) become problem events, each observation ID at most once an
// hour. Regained synchronisation is released from its throttle whenever
// synchronisation is lost, so that it is always reported after a loss.
//
// State: one throttle per handler group, created on first use and reset by
// the set-up; touched only on the correlator's thread, so no lock.
#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "correlators/keldThrottle.h"
#include "platform/clock.h"

namespace {

constexpr int64_t kWindowSeconds = 3600;
constexpr char kSyncId[] = "kel.clock.correction.adjtime.sync";

enum ClockGroup { kStateGroup, kDeltaGroup, kSyncGroup, kGroupCount };

// A negative gap (the clock stepped back) keeps an ID throttled.
TextThrottle &GroupThrottle(ClockGroup group) {
  static TextThrottle throttles[kGroupCount] = {TextThrottle::AtLeast(kWindowSeconds),
                                                TextThrottle::AtLeast(kWindowSeconds),
                                                TextThrottle::AtLeast(kWindowSeconds)};
  return throttles[group];
}

// Whether an observation reports a loss of synchronisation.
enum SyncEffect { kKeepsSync, kLosesSync };

// The handler of every row: the ID must be out of its group's window; the
// row's arguments are read and posted; then the ID's time is stored. A failed
// read leaves the throttle as it was. A loss of synchronisation also clears
// the synchronised entry, so the next regained synchronisation is reported at
// once.
template <ClockGroup Group, SyncEffect Effect, const EventRow &Row, typename... Args>
void Throttled(Observation obs) {
  const char *id = nullptr;
  if (Kel_GetID(obs, &id) != 0 || id == nullptr) return;
  TextThrottle &throttle = GroupThrottle(Group);
  int64_t now = Clock_NowSeconds();
  if (!throttle.Due(id, now)) return;
  if (!ReadAndPostRow<Row, Args...>(obs)) return;
  if (Effect == kLosesSync) throttle.Set(kSyncId, 0);
  throttle.Set(id, now);
}

constexpr EventRow kStepUnsync = {
    "%d %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.clock.correction.step.unsync",
                   "system clock stepped to %d.%09d, lost sync to upstream time servers"),
    0};
constexpr EventRow kAdjtimeSync = {
    "", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.clock.correction.adjtime.sync", "system clock synchronized to upstream time servers"),
    0};
constexpr EventRow kAdjtimeUnsync = {
    "", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.clock.correction.adjtime.unsync",
                   "system clock lost synchronization to upstream time servers"),
    0};
constexpr EventRow kAdjtimeLostSync = {
    "", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.clock.correction.adjtime.lostsync",
                   "system clock apparently no longer synchronized to upstream time servers"),
    0};
constexpr EventRow kDeltaWarning = {
    "%d %d %d %d %d %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.clock.correction.delta.warning",
                   "system clock stepped to %d.%09d, but delta %d > %d seconds, %d/%d large corrections"),
    0};
constexpr EventRow kDeltaFailed = {
    "%d %d %d %d %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.clock.correction.delta.failed",
                   "system clock step to %d.%09d failed, delta %d > %d seconds, number of large corrections > %d"),
    0};
constexpr EventRow kDeltaAllowed = {
    "%d %d %d %d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.clock.correction.delta.allowed",
                   "system clock stepped to %d.%09d, but delta %d > %d seconds"),
    0};
constexpr EventRow kStateReset = {
    "", VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.clock.state.reset", "resetting system clock state"), 0};
constexpr EventRow kMaxNegPhase = {
    "%d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.clock.parameter.set.maxNegPhaseCorrection",
                   "setting system clock parameter maxNegPhaseCorrection to %d"),
    0};
constexpr EventRow kMaxPosPhase = {
    "%d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.clock.parameter.set.maxPosPhaseCorrection",
                   "setting system clock parameter maxPosPhaseCorrection to %d"),
    0};
constexpr EventRow kNumLarge = {
    "%d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.clock.parameter.set.numLargeCorrections",
                   "setting system clock parameter numLargeCorrections to %d"),
    0};
constexpr EventRow kMaxLarge = {
    "%d", VPROB_PROBLEM,
    VPROB_TEMPLATE("nox.problem.clock.parameter.set.maxLargeCorrections",
                   "setting system clock parameter maxLargeCorrections to %d"),
    0};

HandlerTable BuildTable() {
  return {
      {"kel.clock.correction.step.unsync", Throttled<kSyncGroup, kLosesSync, kStepUnsync, Int, Int>},
      {kSyncId, Throttled<kSyncGroup, kKeepsSync, kAdjtimeSync>},
      {"kel.clock.correction.adjtime.unsync", Throttled<kSyncGroup, kLosesSync, kAdjtimeUnsync>},
      {"kel.clock.correction.adjtime.lostsync", Throttled<kSyncGroup, kLosesSync, kAdjtimeLostSync>},
      {"kel.clock.correction.delta.warning",
       Throttled<kDeltaGroup, kKeepsSync, kDeltaWarning, Int, Int, Int, Int, Int, Int>},
      {"kel.clock.correction.delta.failed", Throttled<kDeltaGroup, kKeepsSync, kDeltaFailed, Int, Int, Int, Int, Int>},
      {"kel.clock.correction.delta.allowed", Throttled<kDeltaGroup, kKeepsSync, kDeltaAllowed, Int, Int, Int, Int>},
      {"kel.clock.state.reset", Throttled<kStateGroup, kKeepsSync, kStateReset>},
      {"kel.clock.parameter.set.maxNegPhaseCorrection", Throttled<kStateGroup, kKeepsSync, kMaxNegPhase, Int>},
      {"kel.clock.parameter.set.maxPosPhaseCorrection", Throttled<kStateGroup, kKeepsSync, kMaxPosPhase, Int>},
      {"kel.clock.parameter.set.numLargeCorrections", Throttled<kStateGroup, kKeepsSync, kNumLarge, Int>},
      {"kel.clock.parameter.set.maxLargeCorrections", Throttled<kStateGroup, kKeepsSync, kMaxLarge, Int>},
  };
}

// The throttles start empty with the correlator.
bool Setup() {
  for (int group = 0; group < kGroupCount; group++) GroupThrottle(static_cast<ClockGroup>(group)).Clear();
  return true;
}

}  // namespace

const CorrelatorDef &ClockCorrelator_Def(void) {
  static const CorrelatorDef def = {"Clock", {"clock"}, Unhandled_ClockReport, BuildTable, Setup, nullptr, nullptr};
  return def;
}
