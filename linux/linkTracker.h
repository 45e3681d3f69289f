// Carrier of the machine's interfaces and membership of its bridges, turned
// into the network correlator's observations.
//
// A bridge is both a port group (named after it) and the virtual switch that
// holds it; its ports are its uplinks. When an interface loses or regains
// carrier, the tracker gives its link-state observation and, for a bridge
// port, the port group transition with the number of the bridge's ports that
// have carrier afterwards (0 standby); ignored ports do not count. Bridges themselves and ignored
// interfaces give nothing. The first sighting of an interface is its baseline
// and gives nothing either. Single-threaded.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "watchConfig.h"
#include "watchObservation.h"

struct LinkInfo {
  int index = 0;
  std::string name;
  int master = 0;  // bridge's interface index; 0 when none
  bool bridge = false;
  bool carrier = false;
};

class LinkTracker {
 public:
  explicit LinkTracker(const WatchConfig &config) : config_(config) {}
  // A link's new state. Appends the observations it means to *out; returns
  // true when the set of bridges changed (the host model must be rewritten).
  bool Update(const LinkInfo &link, std::vector<WatchObservation> *out);
  // A link removed. True when it was a bridge.
  bool Remove(int index);
  // The bridges' names, sorted.
  std::set<std::string> Bridges() const;

 private:
  int ActivePorts(int bridge) const;
  const WatchConfig &config_;
  std::map<int, LinkInfo> links_;
};
