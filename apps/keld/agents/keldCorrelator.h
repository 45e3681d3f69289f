// The correlator frame: the common loop of every correlator (wait for the
// next observation, look its ID up, log and call the handler, free it), the
// unhandled-observation variants, and the description of a correlator that
// lets its table and one-time set-up be built without starting its thread
// (unit tests and the replay tool use that).
//
// Everything here runs on the correlator's own thread; the frame keeps no
// shared state.
#pragma once

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

// What a correlator is, so that it can be run by its thread or driven
// directly. Every correlator unit defines one and an AgentFunction that calls
// Correlator_Main with it.
struct CorrelatorDef {
  const char *name;                        // name argument, e.g. "net"
  std::vector<const char *> domains;       // subscribed domains
  ObservationHandler unhandled;            // the UnhandledHandler variant
  HandlerTable (*buildTable)(void);        // builds the handler table
  // One-time set-up (state tables, timers, wake-up pipe); may be null. False
  // means the correlator must not run.
  bool (*setup)(void);
  // Wake-ups (the network correlator): the read end of its wake-up pipe and
  // the callback run when it is readable. -1 / null for the others.
  int (*wakeFd)(void);
  WakeCallback wakeCallback;
  // True for the one correlator that subscribes to several domains through
  // Correlator_RunSubscribed.
  bool subscribed;
};

// Runs a correlator subscribed to one domain. Returns when its stream failed
// or its initialisation failed.
void Correlator_Run(const char *name, const char *domain, ObservationHandler unhandled,
                    const HandlerTable &table);
void Correlator_RunSubscribed(const char *name, const std::vector<const char *> &prefixes,
                              const std::vector<const char *> &exactIds,
                              ObservationHandler unhandled, const HandlerTable &table);
// As Correlator_Run, and also polls `wakeCount` (at most 4) wake-up
// descriptors; each readable one is drained of up to 10 bytes and
// `wakeCallback` is called once, after the observation of the same wait.
void Correlator_RunWithWakeups(const char *name, const char *domain,
                               ObservationHandler unhandled, const HandlerTable &table,
                               WakeCallback wakeCallback, const int *wakeFds, int wakeCount);
// Hands one observation to its handler (logging it first) or to `unhandled`.
// Exceptions derived from std::exception are dropped; others propagate.
void Correlator_Dispatch(ObservationHandler unhandled, const HandlerTable &table,
                         Observation obs);
// The entry function of every correlator: builds the table, runs the
// set-up, then the right run operation.
void Correlator_Main(const CorrelatorDef &def);

// The UnhandledHandler variants shared by several correlators.
void Unhandled_Report(Observation obs);       // "No correlator for %s \n"
void Unhandled_ClockReport(Observation obs);  // "No system clock correlator for %s\n"
void Unhandled_ReadId(Observation obs);       // reads the ID, nothing else
void Unhandled_Log(Observation obs);          // the observation log line
void Unhandled_Ignore(Observation obs);       // nothing
