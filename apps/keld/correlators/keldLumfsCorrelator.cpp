// The root file system correlator: the in-memory root file system's ramdisks
// and file tables running full, and any other root file system failure.
//
// State (the correlator's thread only, no lock): one throttle per event kind,
// each created on first use and kept for the process. Every observation
// stores its time, so a key whose observations keep coming less than 300
// seconds apart posts only once.
#include <string>

#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "correlators/keldThrottle.h"
#include "log/keldLog.h"
#include "platform/clock.h"

namespace {

TextThrottle &RamdiskFullThrottle() {
  static TextThrottle throttle = TextThrottle::After(300);
  return throttle;
}

TextThrottle &InodeTableThrottle() {
  static TextThrottle throttle = TextThrottle::After(300);
  return throttle;
}

// The single time of the last root file system failure, kept as the one key
// of a throttle so that it follows the same rule.
TextThrottle &FailureThrottle() {
  static TextThrottle throttle = TextThrottle::After(300);
  return throttle;
}

// Handled so that the dispatch logs it; there is nothing to report.
void OnTardiskReadOnlyFile(Observation) {}

void OnRamdiskFull(Observation obs) {
  Text first, second;
  if (!ReadArgs(obs, "%p %p", &first, &second)) return;
  if (!RamdiskFullThrottle().PassAndTouch(TextOrNull(first), Clock_NowSeconds())) return;
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.lumfs.ramdisk.full",
                            "The ramdisk '%s' is full.  As a result, the file %s could not be written."),
             second, first);
}

void OnInodeTableFull(Observation obs) {
  Text first, second, third, fourth;
  if (!ReadArgs(obs, "%p %p %p %p", &first, &second, &third, &fourth)) return;
  std::string key = std::string(TextOrNull(first)) + "/" + TextOrNull(second);
  if (!InodeTableThrottle().PassAndTouch(key, Clock_NowSeconds())) return;
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.lumfs.ramdisk.inodetable.full",
                            "The file table of the ramdisk '%s' is full.  As a result, the file %s could not be "
                            "created by the application '%s'."),
             fourth, key.c_str(), third);
}

// Every other "kel.lumfs." observation: logged, and reported as a root file
// system failure under the same throttle rule.
void OnUnhandled(Observation obs) {
  LogObservation(obs);
  if (!FailureThrottle().PassAndTouch("", Clock_NowSeconds())) return;
  VPROB_POST(0, VPROB_PROBLEM,
             VPROB_TEMPLATE("nox.problem.lumfs.failure", "An operation on the root filesystem has failed."));
}

HandlerTable BuildTable() {
  return {{"kel.lumfs.tardisk.readonlyfile", OnTardiskReadOnlyFile},
          {"kel.lumfs.ramdisk.full", OnRamdiskFull},
          {"kel.lumfs.ramdisk.inodetable.full", OnInodeTableFull}};
}

}  // namespace

const CorrelatorDef &LumfsCorrelator_Def(void) {
  static const CorrelatorDef def = {"Lumfs", {"lumfs"}, OnUnhandled, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
