// kelreplay: runs keld's real correlators, event composition, rate limit,
// retry queue and timers on one thread under a virtual clock, feeds them a
// scenario, and prints what would reach hubd and what the host was asked to
// do. Expectation lines in the scenario turn the run into a test.
//
// Scenario lines (kelinject's format, "+SECONDS" advancing the virtual clock):
//   +SECONDS ID FORMAT [ARG...]
//   expect +SECONDS EVENT-ID [ARG...]      an event at that time (+-1 s)
//   expect-none +FROM +TO [EVENT-ID]        no event (of that ID) in the span
//   expect-none +FROM +TO action [WORD...]  no host action (beginning with
//                                           those words) in the span
//   expect-action +SECONDS VERB [ARG...]    a host action at that time (+-1 s)
//   expect-log +SECONDS TEXT                a delivery line holding TEXT
//   hubd-down +FROM +TO [refuse|hang]       hubd unavailable in the span
// Times count from the observation line before them (from the start of the
// scenario when there is none). Each expect and expect-action line is met by
// an event or action of its own.
//
// Each scenario runs in a child process of its own (correlator state lives
// for the process) with a temporary simulated root holding the host model,
// which is read once and held for the whole replay.
// The scenario is read twice: once to check every line and take its
// expectations and hubd outages, then again to replay its observations as
// they are read, so that memory stays flat however long the scenario is.
// Events, actions and delivery lines are printed as they happen; they are
// kept only when expectations must be checked against them at the end.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "actionsJournal.h"
#include "agents/keldTimer.h"
#include "correlators/keldCorrelators.h"
#include "eventText.h"
#include "events/keldVprob.h"
#include "hostModel.h"
#include "intake/keldStream.h"
#include "kelRecord.h"
#include "kelScenario.h"
#include "platform/clock.h"
#include "platform/kelLib.h"
#include "platform/sysLog.h"
#include "vprobRecordReader.h"

namespace {

// A minimal host: what every real host answers at start-up.
constexpr const char *kDefaultHostModel =
    "uuid 564d0c1e-4a6b-7e2f-9a3c-0123456789ab\n"
    "pageretire threshold 1000\n"
    "option PageRetire ThresholdInterval 10\n";

constexpr int64_t kEpoch = 1767225600;  // 2026-01-01T00:00:00Z: a fixed start keeps runs reproducible
constexpr double kTolerance = 1.0;      // seconds either side of an expected time

struct Options {
  std::string hostModel;
  bool json = false;
  bool quiet = false;
  bool allowExtra = false;
  double settle = 10;
  std::vector<std::string> scenarios;
};

struct Delivered {
  double at;     // seconds since the start
  uint64_t seq;  // order of occurrence among events and actions
  std::string id;
  std::vector<VProbArg> args;
  std::string message;
};

// A host action, or a line of keld's delivery log.
struct Action {
  double at;
  uint64_t seq;
  std::string text;                // "VERB ARGS..." as journaled; the log line
  std::vector<std::string> words;  // actions: the same, split (quotes removed)
};

struct Expectation {
  enum Kind { Event, None, NoAction, HostAction, Log } kind;
  int line;
  double at;       // None, NoAction: from
  double to;       // None, NoAction
  std::string id;  // Event, None (may be empty); Log: the text
  std::vector<std::string> words;  // Event: arguments; HostAction, NoAction: verb and arguments
  bool met = false;
};

// hubd unavailable from `from` to `to` (seconds since the start): it refuses
// connections, or (`hang`) takes no connection and refuses none, so that each
// attempt waits for keld's send timeout before it fails.
struct Outage {
  double from, to;
  bool hang;
};

// An observation line parsed: its ID and its record, time stamp zero.
struct ParsedObservation {
  std::string id;
  std::vector<uint8_t> record;
};

// What happened, in the order it happened: events, host actions and
// delivery log lines.
struct Timeline {
  std::vector<Delivered> events;
  std::vector<Action> actions;
  std::vector<Action> logs;
};

// An expected argument shown like an actual one: numbers bare, texts quoted.
std::string WordJson(const std::string &word) {
  if (word == "(null)") return "null";
  size_t sign = word.rfind('-', 0) == 0 ? 1 : 0;
  bool number = word.size() > sign && word.find_first_not_of("0123456789", sign) == std::string::npos;
  return number ? word : EventText_Json(word);
}

std::string Describe(const Delivered &e) {
  std::string out = e.id;
  for (const VProbArg &a : e.args) out += " " + EventText_ArgJson(a);
  return out;
}

std::string DescribeExpected(const Expectation &x) {
  std::string out = x.id;
  for (const std::string &w : x.words) out += " " + WordJson(w);
  return out;
}

// How the replay shows what happened: printed at once (unless quiet) and
// kept for the check at the end (when `keep` is set).
struct Output {
  bool json = false;
  bool quiet = false;
  Timeline *keep = nullptr;
};

void PrintAction(const Action &a, bool json) {
  if (json) {
    printf("{\"time\":%.3f,\"action\":%s}\n", a.at, EventText_Json(a.text).c_str());
  } else {
    printf("%+10.3f  action   %s\n", a.at, a.text.c_str());
  }
}

void PrintLog(const Action &l, bool json) {
  if (json) {
    printf("{\"time\":%.3f,\"log\":%s}\n", l.at, EventText_Json(l.text).c_str());
  } else {
    printf("%+10.3f  log      %s\n", l.at, l.text.c_str());
  }
}

void PrintEvent(const Delivered &e, bool json) {
  if (json) {
    std::string args;
    for (const VProbArg &a : e.args) args += (args.empty() ? "" : ",") + EventText_ArgJson(a);
    printf("{\"time\":%.3f,\"kind\":\"%s\",\"id\":%s,\"args\":[%s],\"message\":%s}\n", e.at, EventKind(e.id),
           EventText_Json(e.id).c_str(), args.c_str(), EventText_Json(e.message).c_str());
  } else {
    printf("%+10.3f  %-7s  %s\n            %s\n", e.at, EventKind(e.id), Describe(e).c_str(), e.message.c_str());
  }
}

// The replay engine: every correlator, driven on this thread.
class Replay {
 public:
  Replay(int64_t start, std::vector<Outage> outages, Output output)
      : clock_(start), start_(start), outages_(std::move(outages)), output_(output) {
    Timer_ResetForTest();
    VProb_ResetForTest();
    VProbInit();
    sink_.send = [](void *ctx, const uint8_t *rec, size_t len) { return static_cast<Replay *>(ctx)->OnSend(rec, len); };
    sink_.composed = [](void *ctx, const uint8_t *rec, size_t len, const char *message) {
      Message &m = static_cast<Replay *>(ctx)->messages_[std::string(reinterpret_cast<const char *>(rec), len)];
      m.text = message ? message : "";
      m.pending++;
    };
    sink_.delivery = [](void *ctx, const char *line) {
      auto *self = static_cast<Replay *>(ctx);
      self->CollectActions();
      self->EmitLog(Action{self->Now(), self->seq_++, line, {}});
    };
    sink_.ctx = this;
    VProb_SetSink(&sink_);
    // Journal lines are taken as they are written, and written nowhere else:
    // nobody reads the replay's journal file.
    ActionsJournal_SetObserver(
        [](void *ctx, const std::string &written) { static_cast<Replay *>(ctx)->journal_ += written; }, this, true);
    // Observation log lines go out in large writes (to nowhere: nobody
    // reads them).
    SysLog_BeginBatch();
    for (const CorrelatorDef *def : Correlators_All()) {
      auto driver = std::make_unique<CorrelatorDriver>(*def);
      if (!driver->Ready()) continue;
      Running r{std::move(driver), SubscriptionList_Create()};
      for (const char *d : def->domains) SubscriptionList_AddDomain(r.subscriptions, d);
      running_.push_back(std::move(r));
    }
    CollectActions();
  }
  ~Replay() {
    SysLog_EndBatch();
    ActionsJournal_SetObserver(nullptr, nullptr);
    VProb_SetSink(nullptr);
    for (Running &r : running_) SubscriptionList_Free(r.subscriptions);
  }

  double Now() const { return static_cast<double>(clock_.Micros()) / 1e6 - static_cast<double>(start_); }

  // Moves the virtual clock to `t` seconds since the start, firing every
  // timer that falls due on the way at its own second.
  void AdvanceTo(double t) {
    uint64_t target = static_cast<uint64_t>(std::llround((static_cast<double>(start_) + t) * 1e6));
    uint64_t next;
    for (;;) {
      next = Timer_NextDeadline();
      if (next == 0 || next * 1000000u > target) break;
      if (next * 1000000u > clock_.Micros()) clock_.SetMicros(next * 1000000u);
      FireDue();
    }
    if (target > clock_.Micros()) clock_.SetMicros(target);
    // The clock can be past the target (a sender held by a hanging hubd).
    if (next != 0 && next * 1000000u <= clock_.Micros()) {
      FireDue();
    } else {
      CollectActions();
      RunWakeups();
    }
  }

  void Feed(const ParsedObservation &obs) {
    uint64_t now = clock_.Micros();
    observations_++;
    for (size_t index : Subscribers(obs.id)) {
      CorrelatorDriver &driver = *running_[index].driver;
      if (!driver.FeedRecord(obs.record.data(), obs.record.size(), now)) continue;
      CollectActions();
      if (driver.WakeFd() >= 0) wakePending_ = true;
    }
    RunWakeups();
  }

  // Counts of what was fed and what happened.
  uint64_t Observations() const { return observations_; }
  uint64_t EventCount() const { return events_; }
  uint64_t ActionCount() const { return actions_; }
  uint64_t LogCount() const { return logs_; }

 private:
  struct Running {
    std::unique_ptr<CorrelatorDriver> driver;
    SubscriptionList *subscriptions;
  };
  // The message of a composed record, until each composition of it was
  // delivered (a record waiting for a retry keeps its entry).
  struct Message {
    std::string text;
    uint32_t pending = 0;
  };

  // The correlators subscribed to `id`, in order. Subscriptions are fixed
  // once the correlators are set up, so the answer is kept per ID (for a
  // bounded number of IDs).
  const std::vector<size_t> &Subscribers(const std::string &id) {
    auto it = subscribers_.find(id);
    if (it != subscribers_.end()) return it->second;
    if (subscribers_.size() >= 4096) subscribers_.clear();
    std::vector<size_t> matching;
    for (size_t i = 0; i < running_.size(); i++) {
      if (SubscriptionList_Matches(id.c_str(), running_[i].subscriptions)) matching.push_back(i);
    }
    return subscribers_.emplace(id, std::move(matching)).first->second;
  }

  void FireDue() {
    if (Timer_FireDue() > 0) wakePending_ = true;
    CollectActions();
    RunWakeups();
  }

  void EmitEvent(const Delivered &e) {
    events_++;
    if (!output_.quiet) PrintEvent(e, output_.json);
    if (output_.keep != nullptr) output_.keep->events.push_back(e);
  }
  void EmitAction(const Action &a) {
    actions_++;
    if (!output_.quiet) PrintAction(a, output_.json);
    if (output_.keep != nullptr) output_.keep->actions.push_back(a);
  }
  void EmitLog(Action &&l) {
    logs_++;
    if (!output_.quiet) PrintLog(l, output_.json);
    if (output_.keep != nullptr) output_.keep->logs.push_back(std::move(l));
  }

  int OnSend(const uint8_t *rec, size_t len) {
    CollectActions();  // what the host was asked before this event
    double now = Now();
    for (const Outage &o : outages_) {
      if (now + 1e-9 < o.from || now + 1e-9 >= o.to) continue;
      // The sender (a correlator or the retry pass) is held until it gives up.
      if (o.hang) clock_.SetMicros(clock_.Micros() + VPROB_SEND_TIMEOUT_SECONDS * uint64_t{1000000});
      return -1;
    }
    VProbRecordDecoded d;
    std::string error;
    Delivered ev;
    ev.at = Now();
    ev.seq = seq_++;
    if (VProbRecord_Decode(rec, len, &d, &error)) {
      ev.id = d.id;
      ev.args = d.args;
    } else {
      ev.id = "(undecodable: " + error + ")";
    }
    auto it = messages_.find(std::string(reinterpret_cast<const char *>(rec), len));
    if (it != messages_.end()) {
      ev.message = it->second.text;
      if (it->second.pending <= 1) {
        messages_.erase(it);
      } else {
        it->second.pending--;
      }
    }
    EmitEvent(ev);
    return 0;
  }

  // Takes the journal lines written since the last call, stamped with the
  // virtual time (the journal itself has whole seconds only).
  void CollectActions() {
    if (journal_.empty()) return;
    size_t begin = 0;
    for (size_t end; (end = journal_.find('\n', begin)) != std::string::npos; begin = end + 1) {
      std::string line = journal_.substr(begin, end - begin);
      size_t sp = line.find(' ');
      if (sp == std::string::npos) continue;
      Action a{Now(), seq_++, line.substr(sp + 1), {}};
      std::string ignored;
      if (!KelScenario_SplitWords(a.text, &a.words, &ignored)) a.words = {a.text};
      EmitAction(a);
    }
    journal_.erase(0, begin);
  }

  // Runs the correlators' wake-up callbacks while their wake descriptors
  // are readable. Those are written by timer callbacks, so they are looked
  // at only after a timer fired or a correlator that has one was fed.
  void RunWakeups() {
    if (!wakePending_) return;
    wakePending_ = false;
    for (bool again = true; again;) {
      again = false;
      for (Running &r : running_) {
        if (!r.driver->RunWakeup()) continue;
        CollectActions();
        again = true;
      }
    }
  }

  FakeClock clock_;
  int64_t start_;
  VProbSink sink_{};
  std::vector<Running> running_;
  std::unordered_map<std::string, Message> messages_;
  std::unordered_map<std::string, std::vector<size_t>> subscribers_;
  std::vector<Outage> outages_;
  Output output_;
  std::string journal_;  // journal lines written and not yet collected
  bool wakePending_ = true;
  uint64_t seq_ = 0;
  uint64_t observations_ = 0, events_ = 0, actions_ = 0, logs_ = 0;
};

const char kUsage[] =
    "Usage: kelreplay [--host-model FILE] [--json] [--quiet] [--allow-extra]\n"
    "                 [--settle SECONDS] SCENARIO...\n"
    "Replays scenarios through keld's correlators under a virtual clock and prints\n"
    "every event that would reach hubd, every host action and keld's delivery log\n"
    "lines (events queued for hubd, retried, abandoned), in time order.\n"
    "Scenario lines: +SECONDS ID FORMAT [ARG...] (as for kelinject), and\n"
    "  expect +SECONDS EVENT-ID [ARG...]    an event at that time (within 1 s) whose\n"
    "                                       arguments begin with the ARGs given\n"
    "  expect-none +FROM +TO [EVENT-ID]     no event (with that ID) in the span\n"
    "  expect-none +FROM +TO action [WORD...]\n"
    "                                       no host action (beginning with the\n"
    "                                       WORDs given) in the span\n"
    "  expect-action +SECONDS VERB [ARG...] a host action, as the actions journal\n"
    "                                       writes it\n"
    "  expect-log +SECONDS TEXT             a line of keld's delivery log (queued,\n"
    "                                       retried, abandoned) holding TEXT\n"
    "  hubd-down +FROM +TO [refuse|hang]    hubd refuses connections in the span,\n"
    "                                       or hangs: each attempt then waits for\n"
    "                                       keld's 5-second send timeout and fails\n"
    "Times count from the observation line before them; each expect and\n"
    "expect-action line needs an event or action of its own.\n"
    "Exit status: 0 when every expectation holds and every event and action was\n"
    "expected (or --allow-extra), 1 otherwise (with a diff: '-' expected, '+'\n"
    "actual), 2 on bad input.\n"
    "  --host-model FILE  the host model (default: a minimal host)\n"
    "  --json             one JSON object per event, action or log line on\n"
    "                     standard output;\n"
    "                     the verdict goes to standard error\n"
    "  --quiet            no timeline: per scenario a line of counts (observations,\n"
    "                     events, host actions, delivery lines), the verdict and\n"
    "                     the differences only, for long recorded streams\n"
    "  --allow-extra      events and actions that no expectation names are not\n"
    "                     an error\n"
    "  --settle SECONDS   virtual time run after the last line (default 10); events\n"
    "                     still queued for hubd are then followed to their end\n"
    "  --help             this text\n";

// "+SECONDS" or "SECONDS", not negative.
bool ParseTime(const std::string &word, double *out) {
  const char *text = word.c_str() + (word.rfind('+', 0) == 0 ? 1 : 0);
  if (*text == '\0') return false;
  char *end = nullptr;
  *out = strtod(text, &end);
  return end != nullptr && *end == '\0' && *out >= 0 && std::isfinite(*out);
}

// Parses one expectation line (already split into words); `lastObs` is the
// time of the observation before it.
bool ParseExpectation(const std::vector<std::string> &w, double lastObs, Expectation *e) {
  if (w[0] == "expect" && w.size() >= 3 && ParseTime(w[1], &e->at)) {
    e->kind = Expectation::Event;
    e->id = w[2];
    e->words.assign(w.begin() + 3, w.end());
  } else if (w[0] == "expect-none" && w.size() >= 3 && ParseTime(w[1], &e->at) && ParseTime(w[2], &e->to) &&
             e->to >= e->at) {
    // "action" is no event ID (those begin with "nox."): it forbids actions.
    if (w.size() > 3 && w[3] == "action") {
      e->kind = Expectation::NoAction;
      e->words.assign(w.begin() + 4, w.end());
    } else if (w.size() <= 4) {
      e->kind = Expectation::None;
      if (w.size() == 4) e->id = w[3];
    } else {
      return false;
    }
    e->to += lastObs;
  } else if (w[0] == "expect-action" && w.size() >= 3 && ParseTime(w[1], &e->at)) {
    e->kind = Expectation::HostAction;
    e->words.assign(w.begin() + 2, w.end());
  } else if (w[0] == "expect-log" && w.size() == 3 && ParseTime(w[1], &e->at) && !w[2].empty()) {
    e->kind = Expectation::Log;
    e->id = w[2];
  } else {
    return false;
  }
  e->at += lastObs;
  return true;
}

// "hubd-down +FROM +TO [refuse|hang]"; `lastObs` as for an expectation.
bool ParseOutage(const std::vector<std::string> &w, double lastObs, Outage *o) {
  if (w.size() < 3 || w.size() > 4 || !ParseTime(w[1], &o->from) || !ParseTime(w[2], &o->to) || o->to < o->from) {
    return false;
  }
  if (w.size() == 4 && w[3] != "refuse" && w[3] != "hang") return false;
  o->hang = w.size() == 4 && w[3] == "hang";
  o->from += lastObs;
  o->to += lastObs;
  return true;
}

// What the first reading of a scenario finds besides its observations.
struct Plan {
  std::vector<Expectation> expects;
  std::vector<Outage> outages;
  double lastObservation = 0;  // seconds since the start; 0 without any
  bool hasObservations = false;
};

// Reads a scenario line by line. Recorded streams repeat the same few
// observations with different delays, so the parse of an observation is kept
// by the text after its delay (for a bounded number of distinct texts) and a
// repeated line costs a lookup.
class ScenarioReader {
 public:
  // Reads `path` from the start. With `plan` set, every line is checked and
  // the expectations and outages are taken; without, those lines are passed
  // over (they were checked on the first reading). `onObservation(at, obs)`
  // gets each observation with its time since the start. False with
  // "path:line: reason" in *error on the first bad line.
  template <typename OnObservation>
  bool Read(const std::string &path, Plan *plan, OnObservation onObservation, std::string *error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      *error = path + ": cannot open";
      return false;
    }
    // Read in large chunks and split in place; a line longer than the
    // buffer grows it.
    std::vector<char> buffer(size_t{1} << 18);
    size_t begin = 0, filled = 0;  // the bytes not yet split: [begin, filled)
    bool eof = false, readError = false;
    double t = 0;
    int number = 0;
    bool ok = true;
    while (ok) {
      char *start = buffer.data() + begin;
      char *newline = static_cast<char *>(memchr(start, '\n', filled - begin));
      if (newline == nullptr && !eof) {
        memmove(buffer.data(), start, filled - begin);
        filled -= begin;
        begin = 0;
        if (filled == buffer.size()) buffer.resize(buffer.size() * 2);
        ssize_t n = read(fd, buffer.data() + filled, buffer.size() - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) readError = true;
        if (n <= 0) eof = true;
        if (n > 0) filled += static_cast<size_t>(n);
        continue;
      }
      if (newline == nullptr && begin == filled) break;
      char *stop = newline != nullptr ? newline : buffer.data() + filled;  // the last line may have no newline
      number++;
      line_ = std::string_view(start, static_cast<size_t>(stop - start));
      begin = static_cast<size_t>(stop - buffer.data()) + (newline != nullptr ? 1 : 0);
      const ParsedObservation *obs = nullptr;
      double delay = 0;
      ok = ReadLine(path, number, t, plan, &obs, &delay, error);
      if (ok && obs != nullptr) {
        t += delay;
        onObservation(t, *obs);
      }
    }
    if (ok && readError) {
      *error = path + ": read error";
      ok = false;
    }
    close(fd);
    if (ok && plan != nullptr) plan->lastObservation = t;
    return ok;
  }

 private:
  static constexpr size_t kCacheLimit = 4096;

  // The delay word `word`. The delays of a stream repeat too: the last one
  // is remembered.
  bool ParseDelay(std::string_view word, double *delay) {
    if (word != lastDelayWord_) {
      lastDelayWord_.clear();
      if (!KelScenario_ParseDelay(std::string(word), &lastDelay_)) return false;
      lastDelayWord_.assign(word);
    }
    *delay = lastDelay_;
    return true;
  }

  // One line in line_; `t` is the time of the observation before it. Sets
  // *obs (valid until the next call) for an observation line.
  bool ReadLine(const std::string &path, int number, double t, Plan *plan, const ParsedObservation **obs,
                double *delay, std::string *error) {
    // A delay word of plain characters: the rest of the line splits the same
    // whatever the delay, so its parse can be reused.
    std::string_view text = line_;
    size_t begin = 0, end = 0, size = text.size();
    while (begin < size && (text[begin] == ' ' || text[begin] == '\t' || text[begin] == '\r')) begin++;
    if (begin < size && text[begin] == '+') {
      for (end = begin + 1; end < size && ((text[end] >= '0' && text[end] <= '9') || text[end] == '.');) end++;
    }
    bool plainDelay = end > begin && end < size && (text[end] == ' ' || text[end] == '\t' || text[end] == '\r');
    if (plainDelay) {
      auto hit = cache_.find(text.substr(end));
      if (hit != cache_.end() && ParseDelay(text.substr(begin, end - begin), delay)) {
        *obs = &hit->second;
        if (plan != nullptr) plan->hasObservations = true;
        return true;
      }
    }
    text_.assign(text);
    std::string where = path + ":" + std::to_string(number) + ": ";
    if (!KelScenario_SplitWords(text_, &words_, error)) {
      *error = where + *error;
      return false;
    }
    if (words_.empty()) return true;
    if (words_[0] == "hubd-down") {
      Outage o{};
      if (plan == nullptr) return true;
      if (!ParseOutage(words_, t, &o)) {
        *error = where + "bad hubd-down line (hubd-down +FROM +TO [refuse|hang]): " + text_;
        return false;
      }
      plan->outages.push_back(o);
      return true;
    }
    if (words_[0].rfind("expect", 0) == 0) {
      if (plan == nullptr) return true;
      Expectation e{};
      e.line = number;
      if (!ParseExpectation(words_, t, &e)) {
        *error = where + "bad expectation: " + text_;
        return false;
      }
      plan->expects.push_back(e);
      return true;
    }
    bool has = false;
    KelScenarioLine line;
    if (!KelScenario_ParseLine(text_, number, &has, &line, error)) {
      *error = path + ": " + *error;
      return false;
    }
    if (!has) return true;
    if (plan != nullptr) plan->hasObservations = true;
    *delay = line.delaySeconds;
    parsed_ = {line.id, KelRecord_Build(line.id, line.format, line.args, 0)};
    *obs = &parsed_;
    if (plainDelay) {
      if (cache_.size() >= kCacheLimit) {
        cache_.clear();
        keys_.clear();
      }
      keys_.emplace_back(text.substr(end));
      *obs = &cache_.emplace(keys_.back(), std::move(parsed_)).first->second;
    }
    return true;
  }

  // The texts are long and alike in their first bytes: hashed eight bytes
  // at a time (the cache is private, so any spread that is good enough
  // serves).
  struct TextHash {
    size_t operator()(std::string_view text) const {
      uint64_t h = text.size() * 0x9e3779b97f4a7c15ull;
      size_t i = 0;
      for (; i + 8 <= text.size(); i += 8) {
        uint64_t w;
        memcpy(&w, text.data() + i, sizeof w);
        h = (h ^ w) * 0xff51afd7ed558ccdull;
        h ^= h >> 32;
      }
      uint64_t tail = 0;
      memcpy(&tail, text.data() + i, text.size() - i);
      h = (h ^ tail) * 0xc4ceb9fe1a85ec53ull;
      return static_cast<size_t>(h ^ (h >> 29));
    }
  };
  std::unordered_map<std::string_view, ParsedObservation, TextHash> cache_;
  std::deque<std::string> keys_;  // the texts cache_'s keys view (a deque never moves them)
  std::string_view line_;         // the line being read (in the reading buffer)
  std::string text_;              // the same, for the full parse
  std::string lastDelayWord_;
  double lastDelay_ = 0;
  std::vector<std::string> words_;
  ParsedObservation parsed_;
};

bool Near(double a, double b) { return std::fabs(a - b) <= kTolerance + 1e-9; }

// One line of the diff of expected against actual.
struct DiffLine {
  double at;
  int rank;      // at equal times: expected only (0) before what happened (1)
  uint64_t seq;  // what happened: in the order it happened
  std::string text;
};

bool InSpan(double at, const Expectation &x) { return at + 1e-9 >= x.at && at <= x.to + 1e-9; }

// Why what happened at `at` breaks the expect-none `x`.
std::string Forbidden(const Expectation &x) {
  char span[64];
  snprintf(span, sizeof span, "none expected from %.3f to %.3f", x.at, x.to);
  return "   (line " + std::to_string(x.line) + ": " + span + ")";
}

std::string ActionFields(const std::vector<std::string> &words) {
  std::string fields;
  for (const std::string &w : words) fields += (fields.empty() ? "" : " ") + ActionsJournal_Field(w);
  return fields;
}

// Matches the expectations against the events, actions and delivery lines;
// returns the diff lines of every difference, with what matched, the actions
// and the delivery lines as context ('-' expected only, '+' actual only, ' '
// both). An event or action meets one expectation at most.
std::vector<DiffLine> Check(std::vector<Expectation> &expects, const Timeline &t, bool allowExtra,
                            size_t *differences) {
  std::vector<bool> claimed(t.events.size(), false), actionClaimed(t.actions.size(), false);
  std::vector<std::string> forbidden(t.events.size()), actionForbidden(t.actions.size());
  char head[40];
  auto line = [&](char mark, double at, const std::string &what) {
    snprintf(head, sizeof head, "%c %9.3f  ", mark, at);
    return head + what;
  };
  std::vector<DiffLine> diff;
  for (Expectation &x : expects) {
    std::string where = "   (line " + std::to_string(x.line) + ")";
    switch (x.kind) {
      case Expectation::Event:
        for (size_t i = 0; i < t.events.size() && !x.met; i++) {
          const Delivered &e = t.events[i];
          if (claimed[i] || e.id != x.id || !Near(e.at, x.at) || x.words.size() > e.args.size()) continue;
          bool argsMatch = true;
          for (size_t k = 0; k < x.words.size() && argsMatch; k++) argsMatch = x.words[k] == EventText_Arg(e.args[k]);
          if (argsMatch) claimed[i] = x.met = true;
        }
        if (!x.met) diff.push_back({x.at, 0, 0, line('-', x.at, DescribeExpected(x) + where)});
        break;
      case Expectation::None:
        x.met = true;
        for (size_t i = 0; i < t.events.size(); i++) {
          if (!InSpan(t.events[i].at, x) || (!x.id.empty() && t.events[i].id != x.id)) continue;
          x.met = false;
          forbidden[i] = Forbidden(x);
        }
        break;
      case Expectation::NoAction:
        x.met = true;
        for (size_t i = 0; i < t.actions.size(); i++) {
          const Action &a = t.actions[i];
          if (!InSpan(a.at, x) || a.words.size() < x.words.size() ||
              !std::equal(x.words.begin(), x.words.end(), a.words.begin())) {
            continue;
          }
          x.met = false;
          actionForbidden[i] = Forbidden(x);
        }
        break;
      case Expectation::HostAction:
        for (size_t i = 0; i < t.actions.size() && !x.met; i++) {
          if (actionClaimed[i] || t.actions[i].words != x.words || !Near(t.actions[i].at, x.at)) continue;
          actionClaimed[i] = x.met = true;
        }
        if (!x.met) diff.push_back({x.at, 0, 0, line('-', x.at, "action   " + ActionFields(x.words) + where)});
        break;
      case Expectation::Log:
        for (const Action &l : t.logs) x.met = x.met || (Near(l.at, x.at) && l.text.find(x.id) != std::string::npos);
        if (!x.met) diff.push_back({x.at, 0, 0, line('-', x.at, "log      " + x.id + where)});
        break;
    }
  }
  *differences = diff.size();
  bool strict = !allowExtra && !expects.empty();
  for (size_t i = 0; i < t.events.size(); i++) {
    const Delivered &e = t.events[i];
    bool wrong = (strict && !claimed[i]) || !forbidden[i].empty();
    if (wrong) ++*differences;
    diff.push_back({e.at, 1, e.seq, line(wrong ? '+' : ' ', e.at, Describe(e) + forbidden[i])});
  }
  for (size_t i = 0; i < t.actions.size(); i++) {
    const Action &a = t.actions[i];
    bool wrong = (strict && !actionClaimed[i]) || !actionForbidden[i].empty();
    if (wrong) ++*differences;
    diff.push_back({a.at, 1, a.seq, line(wrong ? '+' : ' ', a.at, "action   " + a.text + actionForbidden[i])});
  }
  for (const Action &l : t.logs) diff.push_back({l.at, 1, l.seq, line(' ', l.at, "log      " + l.text)});
  std::stable_sort(diff.begin(), diff.end(), [](const DiffLine &a, const DiffLine &b) {
    if (std::fabs(a.at - b.at) > 1e-9) return a.at < b.at;
    return a.rank != b.rank ? a.rank < b.rank : a.seq < b.seq;
  });
  return diff;
}

// Moves KELD_ROOT to the front of the environment. The stand-in host looks
// it up for every log line, and a lookup walks the environment in order.
void PutRootFirst() {
  static std::vector<char *> reordered;
  reordered.clear();
  for (char **e = environ; *e != nullptr; e++) {
    if (strncmp(*e, "KELD_ROOT=", 10) == 0) reordered.insert(reordered.begin(), *e);
    else reordered.push_back(*e);
  }
  reordered.push_back(nullptr);
  environ = reordered.data();
}

// Replays one scenario in the simulated root `root` (made and removed by the
// caller). Its exit status.
int RunScenario(const std::string &path, const Options &opt, const std::string &root) {
  Plan plan;
  ScenarioReader reader;
  std::string error;
  if (!reader.Read(path, &plan, [](double, const ParsedObservation &) {}, &error)) {
    fprintf(stderr, "kelreplay: %s\n", error.c_str());
    return 2;
  }
  setenv("KELD_ROOT", root.c_str(), 1);
  PutRootFirst();
  mkdir((root + "/etc").c_str(), 0755);
  {
    std::ofstream model(root + "/etc/hostsim.conf");
    if (!opt.hostModel.empty()) {
      std::ifstream src(opt.hostModel);
      model << src.rdbuf();
    } else {
      model << kDefaultHostModel;
    }
  }
  // The root is this process's own and the replay never changes the host:
  // the model is read once instead of looked at for every option read.
  HostModel_Hold(true);
  // The system log goes nowhere: the root is removed at the end, and
  // delivery lines reach the timeline through the sink.
  mkdir((root + "/var").c_str(), 0755);
  mkdir((root + "/var/log").c_str(), 0755);
  if (symlink("/dev/null", (root + "/var/log/syslog").c_str()) != 0) {
    fprintf(stderr, "kelreplay: cannot prepare %s/var/log/syslog: %s\n", root.c_str(), strerror(errno));
    return 2;
  }
  if (!opt.json && !opt.quiet) printf("== %s\n", path.c_str());
  double end = opt.settle;
  Timeline timeline;
  Output output{opt.json, opt.quiet, plan.expects.empty() ? nullptr : &timeline};
  uint64_t observations = 0, events = 0, actions = 0, logs = 0;
  {
    Replay replay(kEpoch, plan.outages, output);
    auto feed = [&replay](double at, const ParsedObservation &obs) {
      replay.AdvanceTo(at);
      replay.Feed(obs);
    };
    if (!reader.Read(path, nullptr, feed, &error)) {
      fprintf(stderr, "kelreplay: %s\n", error.c_str());
      return 2;
    }
    if (plan.hasObservations) end += plan.lastObservation;
    for (const Expectation &e : plan.expects) end = std::max(end, std::max(e.at, e.to) + kTolerance + 0.5);
    for (const Outage &o : plan.outages) end = std::max(end, o.to);
    replay.AdvanceTo(end);
    // Events still queued for hubd are followed to their delivery or
    // abandonment (the retry passes give up after a bounded number).
    for (int pass = 0; pass < 1000 && VProb_QueueLength() > 0; pass++) {
      uint64_t next = Timer_NextDeadline();
      if (next == 0) break;
      replay.AdvanceTo(std::max(replay.Now(), static_cast<double>(static_cast<int64_t>(next) - kEpoch)));
    }
    observations = replay.Observations();
    events = replay.EventCount();
    actions = replay.ActionCount();
    logs = replay.LogCount();
  }

  FILE *out = opt.json ? stderr : stdout;
  if (opt.quiet) {
    fprintf(out, "== %s: %llu observations, %llu events, %llu host actions, %llu delivery lines\n", path.c_str(),
            static_cast<unsigned long long>(observations), static_cast<unsigned long long>(events),
            static_cast<unsigned long long>(actions), static_cast<unsigned long long>(logs));
  }
  if (plan.expects.empty()) return 0;
  size_t differences = 0;
  std::vector<DiffLine> diff = Check(plan.expects, timeline, opt.allowExtra, &differences);
  if (differences == 0) {
    fprintf(out, "ok   %s: %zu expectations met\n", path.c_str(), plan.expects.size());
    return 0;
  }
  fprintf(out, "FAIL %s: %zu difference%s ('-' expected, '+' actual)\n", path.c_str(), differences,
          differences == 1 ? "" : "s");
  // Quiet, the differences only, without what matched around them.
  for (const DiffLine &d : diff) {
    if (!opt.quiet || d.text[0] != ' ') fprintf(out, "  %s\n", d.text.c_str());
  }
  return 1;
}

int RemoveEntry(const char *path, const struct stat *, int, struct FTW *) {
  remove(path);
  return 0;
}

// Runs RunScenario in a child process, so that every scenario starts from
// fresh correlator state, and removes its root whatever way the child ended.
int ReplayInChild(const std::string &path, const Options &opt) {
  const char *tmp = getenv("TMPDIR");
  std::string root = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kelreplay-XXXXXX";
  if (mkdtemp(&root[0]) == nullptr) {
    fprintf(stderr, "kelreplay: cannot make a temporary root: %s\n", strerror(errno));
    return 2;
  }
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    int rc = RunScenario(path, opt, root);
    fflush(stdout);
    fflush(stderr);
    _exit(rc);
  }
  int status = 0;
  bool reaped = pid > 0 && waitpid(pid, &status, 0) == pid;
  nftw(root.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  if (reaped && WIFEXITED(status)) return WEXITSTATUS(status);
  if (reaped && WIFSIGNALED(status)) {
    // A panic of the daemon's code aborts, as keld itself would.
    fprintf(stderr, "kelreplay: the replay of %s stopped on signal %d (a keld panic is reported above)\n",
            path.c_str(), WTERMSIG(status));
  } else {
    fprintf(stderr, "kelreplay: the replay of %s could not run\n", path.c_str());
  }
  return 2;
}

[[noreturn]] void BadArgument(const std::string &reason) {
  fprintf(stderr, "kelreplay: %s (try --help)\n", reason.c_str());
  exit(2);
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    bool takesValue = a == "--host-model" || a == "--settle";
    if (takesValue && i + 1 >= argc) BadArgument(a + " needs a value");
    if (a == "--help" || a == "-h") {
      fputs(kUsage, stdout);
      return 0;
    } else if (a == "--json") {
      opt.json = true;
    } else if (a == "--quiet") {
      opt.quiet = true;
    } else if (a == "--allow-extra") {
      opt.allowExtra = true;
    } else if (a == "--host-model") {
      opt.hostModel = argv[++i];
      if (access(opt.hostModel.c_str(), R_OK) != 0) BadArgument("cannot read host model " + opt.hostModel);
    } else if (a == "--settle") {
      std::string value = argv[++i];
      if (!ParseTime(value, &opt.settle)) BadArgument("--settle needs seconds, got '" + value + "'");
    } else if (!a.empty() && a[0] == '-') {
      BadArgument("unknown option '" + a + "'");
    } else {
      opt.scenarios.push_back(a);
    }
  }
  if (opt.scenarios.empty()) BadArgument("no scenario given");
  int worst = 0;
  for (const std::string &s : opt.scenarios) worst = std::max(worst, ReplayInChild(s, opt));
  return worst;
}
