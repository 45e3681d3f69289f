#include "amBridge.h"

#include <ctime>

#include "eventCatalog.h"
#include "eventText.h"

namespace {

const size_t kBatch = 64;

// Label names that the scheme itself uses; an argument of the same name is
// prefixed so that it cannot replace them.
bool Reserved(const std::string &name) {
  return name == "alertname" || name == "severity" || name == "host" || name == "hostname";
}

std::string LabelName(const std::string &argName) { return Reserved(argName) ? "arg_" + argName : argName; }

// An event's arguments by name: the catalog's names, or arg1.. for an event
// the catalog does not know (a newer keld).
std::vector<std::pair<std::string, std::string>> NamedArgs(const CatalogEvent *entry,
                                                           const std::vector<VProbArg> &args) {
  std::vector<std::pair<std::string, std::string>> named;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = entry && i < entry->args.size() ? entry->args[i].name : "arg" + std::to_string(i + 1);
    named.emplace_back(name, Bridge_Value(args[i]));
  }
  return named;
}

std::string Find(const std::vector<std::pair<std::string, std::string>> &named, const std::string &name,
                 bool *found) {
  for (const auto &[n, v] : named) {
    if (n == name) {
      *found = true;
      return v;
    }
  }
  *found = false;
  return "";
}

}  // namespace

std::string Bridge_Time(int64_t micros) {
  time_t seconds = static_cast<time_t>(micros / 1000000);
  struct tm utc {};
  char text[40] = "1970-01-01T00:00:00";
  if (gmtime_r(&seconds, &utc) != nullptr) strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  char out[64];
  snprintf(out, sizeof out, "%s.%03dZ", text, static_cast<int>(micros % 1000000 / 1000));
  return out;
}

std::string Bridge_Value(const VProbArg &arg) {
  std::string text = EventText_Arg(arg);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"' &&
      text.find('"', 1) == text.size() - 1) {
    return text.substr(1, text.size() - 2);
  }
  return text;
}

Json AlertBridge::Labels(const std::string &alertId, const std::string &severity, const std::string &uuid,
                         const std::vector<std::pair<std::string, std::string>> &identity) const {
  Json labels;
  labels["alertname"] = alertId;
  labels["severity"] = severity;
  labels["host"] = uuid;
  if (!options_.hostName.empty()) labels["hostname"] = options_.hostName;
  for (const auto &[name, value] : identity) labels[LabelName(name)] = value;
  return labels;
}

std::vector<Json> AlertBridge::Handle(const VProbRecordDecoded &event, int64_t nowUs, std::string *note) {
  const CatalogEvent *entry = Catalog_Find(event.id);
  std::string kind = EventKind(event.id);
  auto named = NamedArgs(entry, event.args);
  // A record from a keld whose clock is off still gets a sensible time.
  int64_t at = event.time > 0 && event.time < static_cast<uint64_t>(INT64_MAX) ? static_cast<int64_t>(event.time)
                                                                                : nowUs;
  std::string message = Catalog_Message(event.id, event.args);
  if (message.empty()) {
    message = event.id;
    for (const auto &[name, value] : named) message.append(" ").append(name).append("=").append(value);
  }
  Json annotations;
  annotations["summary"] = message;
  annotations["kind"] = kind;
  if (entry) annotations["correlator"] = entry->correlator;
  for (const auto &[name, value] : named) annotations[name] = value;

  std::vector<Json> alerts;
  if (const CatalogPairing *pairing = Catalog_PairingOf(event.id)) {
    // Resolve every problem this event ends whose identity it carries.
    std::lock_guard<std::mutex> guard(lock_);
    for (const char *problemId : pairing->problems) {
      const CatalogEvent *problem = Catalog_Find(problemId);
      std::vector<std::pair<std::string, std::string>> identity;
      bool complete = problem != nullptr;
      for (const std::string &name : problem ? Catalog_IdentifyingArgs(*problem) : std::vector<std::string>{}) {
        bool found = false;
        identity.emplace_back(name, Find(named, name, &found));
        complete = complete && found;
      }
      if (!complete) continue;
      Json alert;
      alert["labels"] = Labels(problemId, "problem", event.uuid, identity);
      alert["annotations"] = annotations;
      alert["annotations"]["resolved_by"] = event.id;
      alert["startsAt"] = Bridge_Time(at);
      alert["endsAt"] = Bridge_Time(at);
      active_.erase(Catalog_Dump(alert["labels"]));
      alerts.push_back(std::move(alert));
    }
    if (alerts.empty()) *note = event.id + " resolves nothing it can identify";
    return alerts;
  }
  if (kind == "clear") {
    *note = event.id + " is a clear the event catalog does not pair with any problem";
    return alerts;
  }
  if (kind == "audit" && !options_.auditsToAlertmanager) {
    *note = "audit " + event.id + " (audit events are only logged)";
    return alerts;
  }
  std::vector<std::pair<std::string, std::string>> identity;
  if (entry) {
    for (const std::string &name : Catalog_IdentifyingArgs(*entry)) {
      bool found = false;
      identity.emplace_back(name, Find(named, name, &found));
    }
  } else {
    for (size_t i = 0; i < named.size() && identity.empty(); ++i) {
      if (std::holds_alternative<std::string>(event.args[i])) identity.push_back(named[i]);
    }
  }
  Json alert;
  alert["labels"] = Labels(event.id, kind == "audit" ? "info" : "problem", event.uuid, identity);
  alert["annotations"] = annotations;
  alert["startsAt"] = Bridge_Time(at);
  alert["endsAt"] = Bridge_Time(std::max(at, nowUs) + options_.expireSeconds * 1000000);
  if (kind == "problem" && !Catalog_ClearedBy(event.id).empty()) {
    std::lock_guard<std::mutex> guard(lock_);
    std::string key = Catalog_Dump(alert["labels"]);
    if (active_.count(key) == 0) {
      activeOrder_.push_back(key);
      // Bounded: the oldest active problems stop being renewed first.
      while (activeOrder_.size() > options_.maxActive) {
        active_.erase(activeOrder_.front());
        activeOrder_.pop_front();
      }
    }
    active_[key] = alert;
  }
  alerts.push_back(std::move(alert));
  return alerts;
}

std::vector<Json> AlertBridge::Refresh(int64_t nowUs) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<Json> alerts;
  std::deque<std::string> order;
  for (const std::string &key : activeOrder_) {
    auto it = active_.find(key);
    if (it == active_.end()) continue;  // cleared
    order.push_back(key);
    it->second["endsAt"] = Bridge_Time(nowUs + options_.expireSeconds * 1000000);
    alerts.push_back(it->second);
  }
  activeOrder_.swap(order);
  return alerts;
}

size_t AlertBridge::ActiveCount() {
  std::lock_guard<std::mutex> guard(lock_);
  return active_.size();
}

void AlertQueue::Push(Json alert) {
  uint64_t report = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (items_.size() >= capacity_) {
      items_.pop_front();
      ++headSeq_;
      ++dropped_;
      if (!overflowing_) report = dropped_;
      overflowing_ = true;
    } else {
      overflowing_ = false;
    }
    items_.push_back(std::move(alert));
  }
  cv_.notify_all();
  if (report != 0 && onDrop_) onDrop_(report);
}

std::vector<Json> AlertQueue::Peek(size_t max, uint64_t *firstSeq) {
  std::lock_guard<std::mutex> guard(lock_);
  *firstSeq = headSeq_;
  size_t n = std::min(max, items_.size());
  return std::vector<Json>(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(n));
}

void AlertQueue::Remove(uint64_t endSeq) {
  std::lock_guard<std::mutex> guard(lock_);
  while (!items_.empty() && headSeq_ < endSeq) {
    items_.pop_front();
    ++headSeq_;
  }
}

bool AlertQueue::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  cv_.wait_for(guard, timeout, [&] { return !items_.empty() || closed_; });
  return !items_.empty();
}

void AlertQueue::Pause(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(lock_);
  cv_.wait_for(guard, timeout, [&] { return closed_; });
}

void AlertQueue::Close() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
  }
  cv_.notify_all();
}

bool AlertQueue::Closed() {
  std::lock_guard<std::mutex> guard(lock_);
  return closed_;
}

size_t AlertQueue::Size() {
  std::lock_guard<std::mutex> guard(lock_);
  return items_.size();
}

uint64_t AlertQueue::Dropped() {
  std::lock_guard<std::mutex> guard(lock_);
  return dropped_;
}

std::chrono::milliseconds AlertDelivery::Step() {
  uint64_t first = 0;
  std::vector<Json> batch = queue_.Peek(kBatch, &first);
  if (batch.empty()) return std::chrono::milliseconds(0);
  Json body = Json::array();
  for (Json &alert : batch) body.push_back(std::move(alert));
  SendResult result = send_(Catalog_Dump(body));
  if (result == SendResult::Retry) {
    std::chrono::milliseconds wait = backoff_;
    backoff_ = std::min(backoff_ * 2, retryMax_);
    return wait;
  }
  if (result == SendResult::Reject) rejected_ += batch.size();
  queue_.Remove(first + batch.size());
  backoff_ = retryMin_;
  return std::chrono::milliseconds(0);
}

void AlertDelivery::Run() {
  while (!queue_.Closed()) {
    if (!queue_.Wait(std::chrono::milliseconds(500))) continue;
    std::chrono::milliseconds wait = Step();
    if (wait.count() > 0) queue_.Pause(wait);
  }
}
