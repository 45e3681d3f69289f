// Link flapping damping. State: LinkDownTimes, touched only on the network
// correlator's thread (no lock).
#include "correlators/net/keldNetLinkFlapping.h"

#include <cstdint>
#include <map>

#include "correlators/keldRows.h"
#include "correlators/keldThrottle.h"
#include "events/keldVprob.h"
#include "platform/clock.h"
#include "platform/hostCtl.h"

namespace {

constexpr int64_t kWindowSeconds = 60;

// NIC name -> its link-downs within the window, in wall-clock seconds. A
// NIC's count is created on its first link-down and only ever emptied.
std::map<std::string, WindowCount> &LinkDownTimes() {
  static std::map<std::string, WindowCount> times;
  return times;
}

// The damping threshold (low 32 bits of the option, unsigned); false when
// the option cannot be read.
bool ReadThreshold(uint32_t *threshold) {
  try {
    HykCtl::Adv::AdvancedIntegerOptionImpl option({"Net"}, "LinkFlappingThreshold");
    *threshold = static_cast<uint32_t>(option.GetValue());
    return true;
  } catch (const HostCtl::Lib::HostCtlException &) {
    return false;
  }
}

bool TakeNicDown(const std::string &nic) {
  try {
    HykCtl::Util::Sysinfo node(HSI_NODE_net_pNics_linkFlapping);
    node.AddInstancePath(nic);
    node.AddInput(int64_t{1});
    node.Set();
    return true;
  } catch (const HostCtl::Lib::HostCtlException &) {
    return false;
  }
}

}  // namespace

void LinkFlapping_Check(const std::string &nic) {
  int64_t now = Clock_NowSeconds();
  WindowCount &times = LinkDownTimes().try_emplace(nic, kWindowSeconds).first->second;
  // A link-down exactly 60 seconds old still counts; the one just added
  // always does.
  uint64_t downs = times.Add(now);

  uint32_t threshold = 0;
  if (!ReadThreshold(&threshold) || threshold == 0 || downs <= threshold) return;

  if (TakeNicDown(nic)) {
    VPROB_POST(0, VPROB_PROBLEM,
               VPROB_TEMPLATE("nox.problem.net.hynic.linkstate.flapping",
                              "Taking down physical NIC %s because the link is flapping."),
               nic.c_str());
  }
  // Taken down or not, a new series starts: a failed attempt is not retried
  // on every following link-down.
  times.Clear();
}

void LinkFlapping_Reset(void) { LinkDownTimes().clear(); }
