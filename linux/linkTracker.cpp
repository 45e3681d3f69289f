#include "linkTracker.h"

bool LinkTracker::Update(const LinkInfo &link, std::vector<WatchObservation> *out) {
  auto it = links_.find(link.index);
  bool known = it != links_.end();
  LinkInfo before = known ? it->second : LinkInfo{};
  links_[link.index] = link;
  bool bridgesChanged = known ? (before.bridge != link.bridge || before.name != link.name)
                              : link.bridge;
  if (!known || link.bridge || before.carrier == link.carrier) return bridgesChanged;
  if (config_.IgnoresInterface(link.name)) return bridgesChanged;
  out->push_back(WatchObs_LinkState(link.name, link.carrier));
  auto bridge = links_.find(link.master);
  if (link.master != 0 && bridge != links_.end() && bridge->second.bridge) {
    out->push_back(WatchObs_PortGroupTransition(link.name, bridge->second.name, link.carrier,
                                                ActivePorts(link.master)));
  }
  return bridgesChanged;
}

bool LinkTracker::Remove(int index) {
  auto it = links_.find(index);
  if (it == links_.end()) return false;
  bool wasBridge = it->second.bridge;
  links_.erase(it);
  return wasBridge;
}

std::set<std::string> LinkTracker::Bridges() const {
  std::set<std::string> names;
  for (const auto &entry : links_) {
    if (entry.second.bridge) names.insert(entry.second.name);
  }
  return names;
}

int LinkTracker::ActivePorts(int bridge) const {
  int active = 0;
  for (const auto &entry : links_) {
    // An ignored port (a virtual machine's tap, say) is no uplink.
    if (entry.second.master == bridge && entry.second.carrier &&
        !config_.IgnoresInterface(entry.second.name)) {
      ++active;
    }
  }
  return active;
}
