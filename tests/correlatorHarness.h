// Steps one correlator through its driver, without its thread: feeds it
// observations made by the record builder, and captures every event it
// composes (through the event output's sink) under a fake clock in a
// temporary simulated root. Also steps timers and the correlator's wake-ups
// as the clock advances.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agents/keldCorrelator.h"
#include "kelRecord.h"
#include "platform/clock.h"
#include "testRoot.h"
#include "vprobRecordReader.h"

struct PostedEvent {
  std::string id;       // full event identifier
  std::string message;  // formatted message
  std::vector<VProbArg> args;
  bool deferred = false;  // queued without an immediate attempt
  uint64_t time = 0;      // event time, microseconds
};

class CorrelatorHarness {
 public:
  // `hostModel` is written to R/etc/hostsim.conf before the set-up runs.
  explicit CorrelatorHarness(const CorrelatorDef &def, const std::string &hostModel = "",
                             int64_t startSeconds = 1700000000);
  ~CorrelatorHarness();
  CorrelatorHarness(const CorrelatorHarness &) = delete;
  CorrelatorHarness &operator=(const CorrelatorHarness &) = delete;

  // Dispatches one observation (time stamp: the fake clock) as the
  // correlator's thread would.
  void Send(const std::string &id, const std::string &format, const std::vector<KelArg> &args = {});
  // Advances the fake clock second by second, firing due timers and running
  // the wake-up callback whenever the wake-up pipe became readable.
  void Advance(int64_t seconds);
  // Events composed since the last call.
  std::vector<PostedEvent> Take();
  // The simulated root and its files.
  const std::string &Root() const { return root_.Dir(); }
  void WriteHostModel(const std::string &text);
  std::string Journal() const;  // R/var/log/hostsim-actions.log
  std::string Syslog() const;   // R/var/log/syslog
  FakeClock &Clock() { return *clock_; }
  void MarkImmediate();  // sink use only
  struct Sink;
  bool SetupOk() const { return driver_->Ready(); }
  const HandlerTable &Table() const { return driver_->Table(); }

 private:
  void RunWakeups();
  TestRoot root_;
  std::unique_ptr<FakeClock> clock_;
  std::unique_ptr<CorrelatorDriver> driver_;
  std::vector<PostedEvent> events_;
  std::unique_ptr<Sink> sink_;
};

// Renders a decoded argument for comparisons: strings as they are, a null
// string as "(null)", numbers in decimal.
std::string ArgText(const VProbArg &arg);
std::vector<std::string> ArgTexts(const PostedEvent &event);
