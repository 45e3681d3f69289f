// Uplink connectivity and redundancy tracking of the network correlator.
//
// When a physical NIC goes down or comes back, the kernel reports its link
// state and one uplink transition per port group (standard switch) or DVPort
// (distributed switch) that it serves, each with the number of uplinks still
// active there. The handlers here collect such a burst per NIC and kind under
// one delayed decision (link state 1 s, port groups and DVPorts 2 s, uplink
// watchdog 7 s) and then report connectivity lost / redundancy lost /
// redundancy degraded, or the restored events once nothing on the host is
// still without connectivity (for redundancy: once every uplink loss has been
// matched by a recovery). A watchdog timeout opens a window in which a NIC
// that goes down and comes back is reported once, as a transient failure.
//
// Threading: every operation here runs on the network correlator's thread
// (its handlers and its wake-up callback), so the state needs no lock. The
// delays are measured by one timer of the timer service, armed through that
// service's own lock; its expiry must lead to one call of
// UplinkState_ProcessTimeouts on the correlator's thread.
#pragma once

#include <cstdint>
#include <string>

#include "platform/kelLib.h"

// Transition bits kept per NIC.
enum : uint32_t {
  UPLINK_PG_DOWN = 1,
  UPLINK_PG_UP = 2,
  UPLINK_DVPORT_DOWN = 4,
  UPLINK_DVPORT_UP = 8,
  UPLINK_LINK_DOWN = 16,
  UPLINK_LINK_UP = 32,
  UPLINK_WATCHDOG = 64,
};

// Forgets all tracking state and makes `timerId` the timer that measures the
// decision delays (armed one-shot only). Correlator set-up, before any
// handler runs.
void UplinkState_Init(int32_t timerId);

// Handlers of "kel.net." + pg.uplink.transition.down / .up,
// dvport.uplink.transition.down / .up, hynic.linkstate.down / .up and
// uplink.watchdog.timeout. An observation whose arguments cannot be read (or
// whose names are null) changes nothing. The link-down handler runs the link
// flapping check first.
void UplinkState_PortGroupDown(Observation obs);
void UplinkState_PortGroupUp(Observation obs);
void UplinkState_DVPortDown(Observation obs);
void UplinkState_DVPortUp(Observation obs);
void UplinkState_LinkDown(Observation obs);
void UplinkState_LinkUp(Observation obs);
void UplinkState_WatchdogTimeout(Observation obs);

// Sets `bit` for `nic` and schedules its decision `delay` seconds from now,
// arming the timer earlier when this decision falls due first.
void UplinkState_Schedule(uint32_t delay, const std::string &nic, uint32_t bit);

// The wake-up callback: processes every decision whose delay has passed and
// re-arms the timer for the earliest one still pending.
void UplinkState_ProcessTimeouts(void);

// The virtual switch that holds `portGroup`, between double quotes, or "" when
// the host has no such port group or the lookup fails.
std::string LookupPortGroupSwitch(const std::string &portGroup);
