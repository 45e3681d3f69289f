// The FAT file system correlator: a full FAT file system, reported as the
// host's scratch partition when "/scratch" leads to it.
//
// State (the correlator's thread only, no lock): the per-UUID throttle,
// created on first use and kept for the process; every observation stores its
// time.
#include <unistd.h>

#include <string>

#include "correlators/keldCorrelators.h"
#include "correlators/keldRows.h"
#include "correlators/keldThrottle.h"
#include "platform/clock.h"
#include "platform/simRoot.h"

namespace {

TextThrottle &VfatFullThrottle() {
  static TextThrottle throttle = TextThrottle::After(300);
  return throttle;
}

// The name of the scratch partition: the last component of the "/scratch"
// link's target, or of "/scratch" itself when the link cannot be read.
std::string ScratchName() {
  static constexpr char kScratch[] = "/scratch";
  char target[4096];
  ssize_t n = readlink(SimRoot_Path(kScratch).c_str(), target, sizeof target - 1);
  std::string path = n >= 0 ? std::string(target, static_cast<size_t>(n)) : std::string(kScratch);
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void OnFilesystemFull(Observation obs) {
  Text name, uuid;
  if (!ReadArgs(obs, "%p %p", &name, &uuid)) return;
  if (!VfatFullThrottle().PassAndTouch(TextOrNull(uuid), Clock_NowSeconds())) return;
  if (uuid != nullptr && ScratchName() == uuid) {
    VPROB_POST(0, VPROB_PROBLEM,
               VPROB_TEMPLATE("nox.problem.vfat.filesystem.full.scratch",
                              "The host's scratch partition, which is the VFAT filesystem %s (UUID %s), is full."),
               name, uuid);
  } else {
    VPROB_POST(0, VPROB_PROBLEM,
               VPROB_TEMPLATE("nox.problem.vfat.filesystem.full.other", "The VFAT filesystem %s (UUID %s) is full."),
               name, uuid);
  }
}

HandlerTable BuildTable() { return {{"kel.vfat.filesystem.full", OnFilesystemFull}}; }

}  // namespace

const CorrelatorDef &VfatCorrelator_Def(void) {
  static const CorrelatorDef def = {"Vfat", {"vfat"}, Unhandled_Ignore, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
