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
// for the process) with a temporary simulated root holding the host model.
#include <ftw.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "actionsJournal.h"
#include "clock.h"
#include "eventText.h"
#include "kelLib.h"
#include "kelRecord.h"
#include "kelScenario.h"
#include "keldCorrelators.h"
#include "keldStream.h"
#include "keldTimer.h"
#include "keldVprob.h"
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

struct Step {
  double at;
  KelScenarioLine obs;
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

// The replay engine: every correlator, driven on this thread.
class Replay {
 public:
  Replay(int64_t start, std::vector<Outage> outages)
      : clock_(start), start_(start), outages_(std::move(outages)) {
    Timer_ResetForTest();
    VProb_ResetForTest();
    VProbInit();
    sink_.send = [](void *ctx, const uint8_t *rec, size_t len) { return static_cast<Replay *>(ctx)->OnSend(rec, len); };
    sink_.composed = [](void *ctx, const uint8_t *rec, size_t len, const char *message) {
      static_cast<Replay *>(ctx)->messages_[std::string(reinterpret_cast<const char *>(rec), len)] =
          message ? message : "";
    };
    sink_.delivery = [](void *ctx, const char *line) {
      auto *self = static_cast<Replay *>(ctx);
      self->CollectActions();
      self->logs_.push_back({self->Now(), self->seq_++, line, {}});
    };
    sink_.ctx = this;
    VProb_SetSink(&sink_);
    for (const CorrelatorDef *def : Correlators_All(false)) {
      Running r{def, def->buildTable(), SubscriptionList_Create()};
      for (const char *d : def->domains) SubscriptionList_AddDomain(r.subscriptions, d);
      if (def->setup == nullptr || def->setup()) running_.push_back(r);
    }
    CollectActions();
  }
  ~Replay() {
    VProb_SetSink(nullptr);
    for (Running &r : running_) SubscriptionList_Free(r.subscriptions);
  }

  double Now() const { return static_cast<double>(clock_.Micros()) / 1e6 - static_cast<double>(start_); }

  // Moves the virtual clock to `t` seconds since the start, firing every
  // timer that falls due on the way at its own second.
  void AdvanceTo(double t) {
    uint64_t target = static_cast<uint64_t>(std::llround((static_cast<double>(start_) + t) * 1e6));
    for (;;) {
      uint64_t next = Timer_NextDeadline();
      if (next == 0 || next * 1000000u > target) break;
      if (next * 1000000u > clock_.Micros()) clock_.SetMicros(next * 1000000u);
      FireDue();
    }
    if (target > clock_.Micros()) clock_.SetMicros(target);
    FireDue();
  }

  void Feed(const KelScenarioLine &line) {
    std::vector<uint8_t> bytes = KelRecord_Build(line.id, line.format, line.args, clock_.Micros());
    for (Running &r : running_) {
      if (!SubscriptionList_Matches(line.id.c_str(), r.subscriptions)) continue;
      void *buf = malloc(bytes.size());
      if (buf == nullptr) continue;
      memcpy(buf, bytes.data(), bytes.size());
      Observation obs = nullptr;
      Kel_MakeKel(buf, static_cast<uint32_t>(bytes.size()), &obs);
      if (obs == nullptr) {
        free(buf);
        continue;
      }
      Correlator_Dispatch(r.def->unhandled, r.table, obs);
      Kel_Free(obs);
      CollectActions();
    }
    RunWakeups();
  }

  const std::vector<Delivered> &Events() const { return delivered_; }
  const std::vector<Action> &Actions() const { return actions_; }
  const std::vector<Action> &Logs() const { return logs_; }

 private:
  struct Running {
    const CorrelatorDef *def;
    HandlerTable table;
    SubscriptionList *subscriptions;
  };

  void FireDue() {
    Timer_FireDue();
    CollectActions();
    RunWakeups();
  }

  int OnSend(const uint8_t *rec, size_t len) {
    CollectActions();  // what the host was asked before this event
    double now = Now();
    for (const Outage &o : outages_) {
      if (now + 1e-9 < o.from || now + 1e-9 >= o.to) continue;
      // The sender (a correlator or the retry pass) is held until it gives up.
      if (o.hang) clock_.SetMicros(clock_.Micros() + VPROB_SEND_TIMEOUT_SECONDS * 1000000u);
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
    if (it != messages_.end()) ev.message = it->second;
    delivered_.push_back(ev);
    return 0;
  }

  // Takes the journal lines written since the last call, stamped with the
  // virtual time (the journal itself has whole seconds only).
  void CollectActions() {
    std::ifstream in(ActionsJournal_Path(), std::ios::binary);
    if (!in) return;
    in.seekg(static_cast<std::streamoff>(journalRead_));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t begin = 0;
    for (size_t end; (end = text.find('\n', begin)) != std::string::npos; begin = end + 1) {
      std::string line = text.substr(begin, end - begin);
      size_t sp = line.find(' ');
      if (sp == std::string::npos) continue;
      Action a{Now(), seq_++, line.substr(sp + 1), {}};
      std::string ignored;
      if (!KelScenario_SplitWords(a.text, &a.words, &ignored)) a.words = {a.text};
      actions_.push_back(a);
    }
    journalRead_ += begin;
  }

  void RunWakeups() {
    for (bool again = true; again;) {
      again = false;
      for (Running &r : running_) {
        if (r.def->wakeFd == nullptr || r.def->wakeCallback == nullptr) continue;
        struct pollfd p = {r.def->wakeFd(), POLLIN, 0};
        if (poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) continue;
        char drain[10];
        if (read(p.fd, drain, sizeof drain) > 0) {
          r.def->wakeCallback();
          CollectActions();
          again = true;
        }
      }
    }
  }

  FakeClock clock_;
  int64_t start_;
  VProbSink sink_{};
  std::vector<Running> running_;
  std::map<std::string, std::string> messages_;
  std::vector<Delivered> delivered_;
  std::vector<Action> actions_;
  std::vector<Outage> outages_;
  std::vector<Action> logs_;
  size_t journalRead_ = 0;
  uint64_t seq_ = 0;
};

const char kUsage[] =
    "Usage: kelreplay [--host-model FILE] [--json] [--allow-extra] [--settle SECONDS]\n"
    "                 SCENARIO...\n"
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

// Splits a scenario into observation steps, expectations and hubd outages.
bool Load(const std::string &path, std::vector<Step> *steps, std::vector<Expectation> *expects,
          std::vector<Outage> *outages, std::string *error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot open";
    return false;
  }
  double t = 0;
  int number = 0;
  for (std::string text; std::getline(in, text);) {
    number++;
    std::string where = path + ":" + std::to_string(number) + ": ";
    std::vector<std::string> w;
    if (!KelScenario_SplitWords(text, &w, error)) {
      *error = where + *error;
      return false;
    }
    if (w.empty()) continue;
    if (w[0] == "hubd-down") {
      Outage o{};
      if (!ParseOutage(w, t, &o)) {
        *error = where + "bad hubd-down line (hubd-down +FROM +TO [refuse|hang]): " + text;
        return false;
      }
      outages->push_back(o);
      continue;
    }
    if (w[0].rfind("expect", 0) == 0) {
      Expectation e{};
      e.line = number;
      if (!ParseExpectation(w, t, &e)) {
        *error = where + "bad expectation: " + text;
        return false;
      }
      expects->push_back(e);
      continue;
    }
    bool has = false;
    KelScenarioLine line;
    if (!KelScenario_ParseLine(text, number, &has, &line, error)) {
      *error = path + ": " + *error;
      return false;
    }
    if (!has) continue;
    t += line.delaySeconds;
    steps->push_back({t, line});
  }
  return true;
}

bool Near(double a, double b) { return std::fabs(a - b) <= kTolerance + 1e-9; }

// What happened, in the order it happened: events, host actions and
// delivery log lines.
struct Timeline {
  std::vector<Delivered> events;
  std::vector<Action> actions;
  std::vector<Action> logs;
};

void PrintTimeline(const std::string &path, const Timeline &t, bool json) {
  if (!json) printf("== %s\n", path.c_str());
  size_t ei = 0, ai = 0, li = 0;
  const uint64_t kEnd = UINT64_MAX;
  for (;;) {
    uint64_t es = ei < t.events.size() ? t.events[ei].seq : kEnd;
    uint64_t as = ai < t.actions.size() ? t.actions[ai].seq : kEnd;
    uint64_t ls = li < t.logs.size() ? t.logs[li].seq : kEnd;
    if (es == kEnd && as == kEnd && ls == kEnd) break;
    if (as < es && as < ls) {
      const Action &a = t.actions[ai++];
      if (json) {
        printf("{\"time\":%.3f,\"action\":%s}\n", a.at, EventText_Json(a.text).c_str());
      } else {
        printf("%+10.3f  action   %s\n", a.at, a.text.c_str());
      }
    } else if (ls < es) {
      const Action &l = t.logs[li++];
      if (json) {
        printf("{\"time\":%.3f,\"log\":%s}\n", l.at, EventText_Json(l.text).c_str());
      } else {
        printf("%+10.3f  log      %s\n", l.at, l.text.c_str());
      }
    } else {
      const Delivered &e = t.events[ei++];
      if (json) {
        std::string args;
        for (const VProbArg &a : e.args) args += (args.empty() ? "" : ",") + EventText_ArgJson(a);
        printf("{\"time\":%.3f,\"kind\":\"%s\",\"id\":%s,\"args\":[%s],\"message\":%s}\n", e.at, EventKind(e.id),
               EventText_Json(e.id).c_str(), args.c_str(), EventText_Json(e.message).c_str());
      } else {
        printf("%+10.3f  %-7s  %s\n            %s\n", e.at, EventKind(e.id), Describe(e).c_str(), e.message.c_str());
      }
    }
  }
}

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

// Replays one scenario in the simulated root `root` (made and removed by the
// caller). Its exit status.
int RunScenario(const std::string &path, const Options &opt, const std::string &root) {
  std::vector<Step> steps;
  std::vector<Expectation> expects;
  std::vector<Outage> outages;
  std::string error;
  if (!Load(path, &steps, &expects, &outages, &error)) {
    fprintf(stderr, "kelreplay: %s\n", error.c_str());
    return 2;
  }
  setenv("KELD_ROOT", root.c_str(), 1);
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
  double end = opt.settle;
  Timeline timeline;
  {
    Replay replay(kEpoch, outages);
    for (const Step &s : steps) {
      replay.AdvanceTo(s.at);
      replay.Feed(s.obs);
    }
    if (!steps.empty()) end += steps.back().at;
    for (const Expectation &e : expects) end = std::max(end, std::max(e.at, e.to) + kTolerance + 0.5);
    for (const Outage &o : outages) end = std::max(end, o.to);
    replay.AdvanceTo(end);
    // Events still queued for hubd are followed to their delivery or
    // abandonment (the retry passes give up after a bounded number).
    for (int pass = 0; pass < 1000 && VProb_QueueLength() > 0; pass++) {
      uint64_t next = Timer_NextDeadline();
      if (next == 0) break;
      replay.AdvanceTo(std::max(replay.Now(), static_cast<double>(static_cast<int64_t>(next) - kEpoch)));
    }
    timeline = {replay.Events(), replay.Actions(), replay.Logs()};
  }

  PrintTimeline(path, timeline, opt.json);
  if (expects.empty()) return 0;
  size_t differences = 0;
  std::vector<DiffLine> diff = Check(expects, timeline, opt.allowExtra, &differences);
  FILE *out = opt.json ? stderr : stdout;
  if (differences == 0) {
    fprintf(out, "ok   %s: %zu expectations met\n", path.c_str(), expects.size());
    return 0;
  }
  fprintf(out, "FAIL %s: %zu difference%s ('-' expected, '+' actual)\n", path.c_str(), differences,
          differences == 1 ? "" : "s");
  for (const DiffLine &d : diff) fprintf(out, "  %s\n", d.text.c_str());
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
