// Link flapping damping of the network correlator: each NIC's link-downs are
// counted over a sliding 60-second window; when the count exceeds the
// administrator's threshold (advanced option "Net"/"LinkFlappingThreshold",
// read afresh every time, 0 disables), the NIC is taken down through the
// system-information interface and reported once, and counting starts again.
//
// Runs only on the network correlator's thread; the counts need no lock.
#pragma once

#include <string>

// Records one link-down of `nic` at the current wall-clock second and takes
// the NIC down when it is flapping. Never throws a kernel-control failure.
void LinkFlapping_Check(const std::string &nic);

// Forgets every NIC's link-down times (correlator set-up).
void LinkFlapping_Reset(void);
