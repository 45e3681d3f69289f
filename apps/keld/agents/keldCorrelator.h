// The correlator frame: the driver through which every observation and
// every wake-up reaches a correlator (look the observation's ID up, log it
// and call the handler, free it; drain the wake-up descriptor and call the
// wake-up callback), the unhandled-observation variants, and the description
// of a correlator. The same driver runs a correlator on its agent thread in
// the daemon and is stepped directly, under a virtual clock, by the replay
// tool and the unit tests.
//
// A driver belongs to the one thread that drives it; the frame keeps no
// shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kelLib.h"

typedef void (*ObservationHandler)(Observation obs);
// Ordered by ID; std::less<> lets a lookup take the observation's ID as a
// string_view, without building a std::string per observation.
typedef std::map<std::string, ObservationHandler, std::less<>> HandlerTable;
typedef void (*WakeCallback)(void);

// What a correlator is, so that a driver can run it on its thread or step it
// directly. Every correlator unit defines one; the registry
// (keldCorrelators.h) lists them.
struct CorrelatorDef {
  const char *name;                        // name argument, e.g. "net"
  std::vector<const char *> domains;       // subscribed domains
  ObservationHandler unhandled;            // the UnhandledHandler variant
  HandlerTable (*buildTable)(void);        // builds the handler table
  // One-time set-up (state tables, timers, wake-up pipe); may be null. False
  // means the correlator must not run.
  bool (*setup)(void);
  // Wake-ups (the network correlator): the read end of its wake-up pipe,
  // asked for after the set-up, and the callback run when it is readable.
  // Null / null for the others.
  int (*wakeFd)(void);
  WakeCallback wakeCallback;
};

// Drives one correlator. Not thread-safe: the thread that made the driver
// (a correlator's agent thread, or a caller stepping it) is the only one to
// use it.
class CorrelatorDriver {
 public:
  // Builds the handler table and runs the one-time set-up.
  explicit CorrelatorDriver(const CorrelatorDef &def);
  CorrelatorDriver(const CorrelatorDriver &) = delete;
  CorrelatorDriver &operator=(const CorrelatorDriver &) = delete;

  const CorrelatorDef &Def() const { return *def_; }
  const HandlerTable &Table() const { return table_; }
  // False when the set-up failed: the correlator must not run.
  bool Ready() const { return ready_; }
  // The wake-up descriptor, -1 when the correlator has none (or is not ready).
  int WakeFd() const { return wakeFd_; }

  // Hands `obs` to its handler (logging it first) or to the unhandled
  // variant, then frees it, however the handler ends. Exceptions derived from
  // std::exception are dropped; others propagate.
  void Feed(Observation obs);
  // Feeds an observation made of a copy of `record` (`length` bytes) with its
  // time stamp set to `timeMicros`. False, and nothing fed, when the bytes do
  // not make an observation.
  bool FeedRecord(const uint8_t *record, size_t length, uint64_t timeMicros);
  // If the wake-up descriptor is readable: drains up to 10 bytes of it and
  // runs the wake-up callback once. True when the callback ran. Never waits.
  bool RunWakeup();
  // The correlator's agent thread: subscribes to its domains and feeds it
  // every observation and wake-up (the observation of a wait first) until
  // its stream fails or the daemon stops; then releases the agent.
  void Run();

 private:
  void Woken();

  const CorrelatorDef *def_;
  HandlerTable table_;
  bool ready_ = false;
  int wakeFd_ = -1;
};

// The agent entry function of every correlator (an AgentEntry): `def` is its
// const CorrelatorDef. Builds a driver and, when it is ready, runs it.
void Correlator_Main(const void *def);

// The UnhandledHandler variants shared by several correlators.
void Unhandled_Report(Observation obs);       // "No correlator for %s \n"
void Unhandled_ClockReport(Observation obs);  // "No system clock correlator for %s\n"
void Unhandled_ReadId(Observation obs);       // reads the ID, nothing else
void Unhandled_Log(Observation obs);          // the observation log line
void Unhandled_Ignore(Observation obs);       // nothing
