// hubd-alertmanager's core, without HTTP: how keld's events become
// Alertmanager alerts (AlertBridge) and how alerts wait for delivery to one
// Alertmanager (AlertQueue, AlertDelivery).
//
// Alert scheme. A problem event fires an alert with the labels
//   alertname  the event ID
//   severity   "problem" ("info" for an audit event)
//   host       the host's system UUID, from the record
//   hostname   the host name, when known
//   <name>     the event's identifying argument (its first text argument:
//              the switch, NIC, device, volume...), under its catalog name
// and the annotations summary (the rendered message), kind, correlator and
// one per argument, by name. An event that resolves problems (a clear, see
// Catalog_Pairings) sends, for each problem it resolves, the problem's label
// set with endsAt = the clear's time, so Alertmanager marks that alert
// resolved. Every firing alert gets endsAt = its time + `expireSeconds`; the
// problems that a clear can end are also kept in the active set and re-sent
// (endsAt renewed) every expireSeconds/4 until cleared, so they stay firing
// and come back after an Alertmanager restart; the others expire unless keld
// posts them again.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "vprobRecordReader.h"

using Json = nlohmann::ordered_json;

struct BridgeOptions {
  std::string hostName;         // "" leaves the hostname label out
  int64_t expireSeconds = 3600;  // how long a firing alert lasts unless renewed
  bool auditsToAlertmanager = true;  // false: audit events are only logged
  size_t maxActive = 10000;          // clearable problems kept for re-sending
};

// Thread-safe: the active set has its own lock (Handle and Refresh may run on
// different threads).
class AlertBridge {
 public:
  explicit AlertBridge(BridgeOptions options) : options_(std::move(options)) {}
  // The alerts for one received event, at `nowUs` (microseconds since the
  // epoch; the event's own time is used for startsAt). Empty when the event
  // goes nowhere (an audit with audits off, a clear of nothing known);
  // *note is then set to a one-line reason for the log.
  std::vector<Json> Handle(const VProbRecordDecoded &event, int64_t nowUs, std::string *note);
  // The active clearable problems with endsAt renewed from `nowUs`.
  std::vector<Json> Refresh(int64_t nowUs);
  size_t ActiveCount();
  // Seconds between two Refresh calls that keep active alerts firing.
  int64_t RefreshSeconds() const { return options_.expireSeconds / 4 > 0 ? options_.expireSeconds / 4 : 1; }

 private:
  Json Labels(const std::string &alertId, const std::string &severity, const std::string &uuid,
              const std::vector<std::pair<std::string, std::string>> &identity) const;
  BridgeOptions options_;
  std::mutex lock_;                    // guards active_ and activeOrder_
  std::map<std::string, Json> active_;  // label set (dumped) -> alert
  std::deque<std::string> activeOrder_;
};

// Time in RFC 3339 (UTC, milliseconds), as Alertmanager takes it.
std::string Bridge_Time(int64_t micros);
// An argument value as a label or annotation text: strings as they are, one
// quoted item ("switch0") without its quotes, numbers in decimal.
std::string Bridge_Value(const VProbArg &arg);

// A bounded FIFO of alerts for one Alertmanager. When full, Push drops the
// oldest alert, counts it, and reports the first drop of each overflow (the
// queue filling up again after it had room) through `onDrop`.
// Thread-safe (one lock guards everything).
class AlertQueue {
 public:
  explicit AlertQueue(size_t capacity, std::function<void(uint64_t dropped)> onDrop = {})
      : capacity_(capacity ? capacity : 1), onDrop_(std::move(onDrop)) {}
  void Push(Json alert);
  // Up to `max` alerts from the front, copied, and the sequence number of the
  // first; they stay queued until Remove.
  std::vector<Json> Peek(size_t max, uint64_t *firstSeq);
  // Removes the alerts with sequence numbers below `endSeq` that are still
  // queued (some may have been dropped meanwhile).
  void Remove(uint64_t endSeq);
  // Waits up to `timeout` for an alert or Close. True when one is queued.
  bool Wait(std::chrono::milliseconds timeout);
  // Waits `timeout`, or less when the queue is closed meanwhile.
  void Pause(std::chrono::milliseconds timeout);
  void Close();
  bool Closed();
  size_t Size();
  uint64_t Dropped();

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  std::deque<Json> items_;
  uint64_t headSeq_ = 0;  // sequence number of items_.front()
  uint64_t dropped_ = 0;
  bool overflowing_ = false;
  bool closed_ = false;
  size_t capacity_;
  std::function<void(uint64_t)> onDrop_;
};

// The outcome of one HTTP post of a batch.
enum class SendResult { Sent, Retry, Reject };

// Delivers one queue to one Alertmanager: batches of up to 64 alerts, oldest
// first; a failed batch is retried after a back-off that doubles from
// `retryMin` to `retryMax` and returns to `retryMin` after a success; a
// batch Alertmanager rejects as invalid (4xx) is dropped, since sending it
// again cannot succeed. Step runs on the delivery thread only.
class AlertDelivery {
 public:
  using Sender = std::function<SendResult(const std::string &body)>;
  AlertDelivery(AlertQueue &queue, Sender send, std::chrono::milliseconds retryMin,
                std::chrono::milliseconds retryMax)
      : queue_(queue), send_(std::move(send)), retryMin_(retryMin), retryMax_(retryMax), backoff_(retryMin) {}
  // Sends one batch if any is queued. Returns how long to wait before the
  // next step: zero after a success or with nothing queued, the back-off
  // after a failure.
  std::chrono::milliseconds Step();
  // Steps until the queue is closed, waiting as Step says (the wait ends
  // early on Close).
  void Run();
  uint64_t Rejected() const { return rejected_; }

 private:
  AlertQueue &queue_;
  Sender send_;
  std::chrono::milliseconds retryMin_, retryMax_, backoff_;
  uint64_t rejected_ = 0;
};
