// kelreplay: runs keld's real correlators, event composition, rate limit,
// retry queue and timers on one thread under a virtual clock, feeds them a
// scenario, and prints what would reach hubd and what the host was asked to
// do. Expectation lines in the scenario turn the run into a test.
//
// Scenario lines (kelinject's format, "+SECONDS" advancing the virtual clock):
//   +SECONDS ID FORMAT [ARG...]
//   expect +SECONDS EVENT-ID [ARG...]      an event at that time (+-1 s)
//   expect-none +FROM +TO [EVENT-ID]        no event (of that ID) in the span
//   expect-action +SECONDS VERB [ARG...]    a host action at that time (+-1 s)
// Expectation times count from the observation line before them (from the
// start of the scenario when there is none).
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "clock.h"
#include "kelLib.h"
#include "kelRecord.h"
#include "kelScenario.h"
#include "keldCorrelators.h"
#include "keldStream.h"
#include "keldTimer.h"
#include "keldVprob.h"
#include "simRoot.h"
#include "vprobRecordReader.h"

namespace {

// A minimal host: what every real host answers at start-up.
constexpr const char *kDefaultHostModel =
    "uuid 564d0c1e-4a6b-7e2f-9a3c-0123456789ab\n"
    "pageretire threshold 1000\n"
    "option PageRetire ThresholdInterval 10\n";

constexpr int64_t kEpoch = 1767225600;  // 2026-01-01T00:00:00Z: a fixed start keeps runs reproducible

struct Options {
  std::string hostModel;
  bool json = false;
  bool allowExtra = false;
  double settle = 10;
  std::vector<std::string> scenarios;
};

struct Delivered {
  double at;  // seconds since the start
  std::string id;
  std::vector<std::string> args;
  std::string message;
};

struct Action {
  double at;
  std::string text;  // "VERB ARGS..."
};

struct Expectation {
  enum Kind { Event, None, HostAction } kind;
  int line;
  double at;    // Event, HostAction; None: from
  double to;    // None
  std::string id;  // Event, None (may be empty); HostAction: the action text
  std::vector<std::string> args;
  bool met = false;
};

struct Step {
  double at;
  KelScenarioLine obs;
};

std::string ArgText(const VProbArg &a) {
  if (auto s = std::get_if<std::string>(&a)) return *s;
  if (std::get_if<VProbNullString>(&a)) return "(null)";
  if (auto i = std::get_if<int64_t>(&a)) return std::to_string(*i);
  if (auto u = std::get_if<uint64_t>(&a)) return std::to_string(*u);
  if (auto d = std::get_if<double>(&a)) return std::to_string(*d);
  return "?";
}

std::string JsonString(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Kind(const std::string &id) {
  if (id.rfind("nox.problem.", 0) == 0) return "problem";
  if (id.rfind("nox.audit.", 0) == 0) return "audit";
  if (id.rfind("nox.clear.", 0) == 0) return "clear";
  return "?";
}

// The replay engine: every correlator, driven on this thread.
class Replay {
 public:
  explicit Replay(int64_t start) : clock_(start), start_(start) {
    Timer_ResetForTest();
    VProb_ResetForTest();
    VProbInit();
    sink_.send = [](void *ctx, const uint8_t *rec, size_t len) { return static_cast<Replay *>(ctx)->OnSend(rec, len); };
    sink_.composed = [](void *ctx, const uint8_t *rec, size_t len, const char *message) {
      static_cast<Replay *>(ctx)->messages_[std::string(reinterpret_cast<const char *>(rec), len)] =
          message ? message : "";
    };
    sink_.ctx = this;
    VProb_SetSink(&sink_);
    for (const CorrelatorDef *def : Correlators_All(false)) {
      Running r{def, def->buildTable(), SubscriptionList_Create()};
      for (const char *d : def->domains) SubscriptionList_AddDomain(r.subscriptions, d);
      if (def->setup == nullptr || def->setup()) running_.push_back(r);
    }
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
      Timer_FireDue();
      RunWakeups();
    }
    if (target > clock_.Micros()) clock_.SetMicros(target);
    Timer_FireDue();
    RunWakeups();
  }

  void Feed(const KelScenarioLine &line) {
    std::vector<uint8_t> bytes = KelRecord_Build(line.id, line.format, line.args, clock_.Micros());
    for (Running &r : running_) {
      if (!SubscriptionList_Matches(line.id.c_str(), r.subscriptions)) continue;
      void *buf = malloc(bytes.size());
      memcpy(buf, bytes.data(), bytes.size());
      Observation obs = nullptr;
      Kel_MakeKel(buf, static_cast<uint32_t>(bytes.size()), &obs);
      if (obs == nullptr) {
        free(buf);
        continue;
      }
      Correlator_Dispatch(r.def->unhandled, r.table, obs);
      Kel_Free(obs);
    }
    RunWakeups();
  }

  const std::vector<Delivered> &Events() const { return delivered_; }

 private:
  struct Running {
    const CorrelatorDef *def;
    HandlerTable table;
    SubscriptionList *subscriptions;
  };

  int OnSend(const uint8_t *rec, size_t len) {
    VProbRecordDecoded d;
    std::string error;
    Delivered ev;
    ev.at = Now();
    if (VProbRecord_Decode(rec, len, &d, &error)) {
      ev.id = d.id;
      for (const VProbArg &a : d.args) ev.args.push_back(ArgText(a));
    } else {
      ev.id = "(undecodable: " + error + ")";
    }
    auto it = messages_.find(std::string(reinterpret_cast<const char *>(rec), len));
    if (it != messages_.end()) ev.message = it->second;
    delivered_.push_back(ev);
    return 0;
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
};

[[noreturn]] void Usage(int status) {
  FILE *out = status == 0 ? stdout : stderr;
  fprintf(out,
          "Usage: kelreplay [--host-model FILE] [--json] [--allow-extra] [--settle SECONDS] SCENARIO...\n"
          "Replays scenarios through keld's correlators under a virtual clock and prints\n"
          "every event that would reach hubd and every host action, in time order.\n"
          "Scenario lines: +SECONDS ID FORMAT [ARG...] (as for kelinject), and\n"
          "  expect +SECONDS EVENT-ID [ARG...]    expect-none +FROM +TO [EVENT-ID]\n"
          "  expect-action +SECONDS VERB [ARG...]\n"
          "Expectation times count from the observation line before them.\n"
          "Exit status: 0 when every expectation holds and every event was expected\n"
          "(or --allow-extra), 1 otherwise, 2 on bad input.\n"
          "  --host-model FILE  the host model (default: a minimal host)\n"
          "  --json             one JSON object per event or action\n"
          "  --allow-extra      events that no expectation names are not an error\n"
          "  --settle SECONDS   virtual time run after the last line (default 10)\n");
  exit(status);
}

bool ParseTime(const std::string &word, double *out) {
  if (word.size() < 2 || word[0] != '+') return false;
  char *end = nullptr;
  *out = strtod(word.c_str() + 1, &end);
  return end != nullptr && *end == '\0' && *out >= 0 && std::isfinite(*out);
}

// Splits a scenario into observation steps and expectations.
bool Load(const std::string &path, std::vector<Step> *steps, std::vector<Expectation> *expects,
          std::string *error) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot open";
    return false;
  }
  double t = 0, lastObs = 0;
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
    if (w[0].rfind("expect", 0) == 0) {
      Expectation e{};
      e.line = number;
      bool ok = false;
      if (w[0] == "expect" && w.size() >= 3 && ParseTime(w[1], &e.at)) {
        e.kind = Expectation::Event;
        e.id = w[2];
        e.args.assign(w.begin() + 3, w.end());
        ok = true;
      } else if (w[0] == "expect-none" && (w.size() == 3 || w.size() == 4) && ParseTime(w[1], &e.at) &&
                 ParseTime(w[2], &e.to)) {
        e.kind = Expectation::None;
        if (w.size() == 4) e.id = w[3];
        e.to += lastObs;
        ok = true;
      } else if (w[0] == "expect-action" && w.size() >= 3 && ParseTime(w[1], &e.at)) {
        e.kind = Expectation::HostAction;
        for (size_t i = 2; i < w.size(); i++) e.id += (i > 2 ? " " : "") + w[i];
        ok = true;
      }
      if (!ok) {
        *error = where + "bad expectation: " + text;
        return false;
      }
      e.at += lastObs;
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
    lastObs = t;
    steps->push_back({t, line});
  }
  return true;
}

std::vector<Action> ReadActions(int64_t start) {
  std::vector<Action> actions;
  std::ifstream in(SimRoot_Path("/var/log/hostsim-actions.log"));
  for (std::string line; std::getline(in, line);) {
    size_t sp = line.find(' ');
    if (sp == std::string::npos) continue;
    actions.push_back({std::strtod(line.c_str(), nullptr) - static_cast<double>(start), line.substr(sp + 1)});
  }
  return actions;
}

bool Near(double a, double b) { return std::fabs(a - b) <= 1.0 + 1e-9; }

std::string Describe(const Delivered &e) {
  std::string out = e.id;
  for (const std::string &a : e.args) out += " " + JsonString(a);
  return out;
}

int RunScenario(const std::string &path, const Options &opt) {
  std::vector<Step> steps;
  std::vector<Expectation> expects;
  std::string error;
  if (!Load(path, &steps, &expects, &error)) {
    fprintf(stderr, "kelreplay: %s\n", error.c_str());
    return 2;
  }
  char tmpl[] = "/tmp/kelreplay-XXXXXX";
  if (mkdtemp(tmpl) == nullptr) {
    fprintf(stderr, "kelreplay: cannot make a temporary root\n");
    return 2;
  }
  std::string root = tmpl;
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
  std::vector<Delivered> events;
  std::vector<Action> actions;
  {
    Replay replay(kEpoch);
    for (const Step &s : steps) {
      replay.AdvanceTo(s.at);
      replay.Feed(s.obs);
    }
    if (!steps.empty()) end += steps.back().at;
    for (const Expectation &e : expects) end = std::max(end, std::max(e.at, e.to) + 1.5);
    replay.AdvanceTo(end);
    events = replay.Events();
    actions = ReadActions(kEpoch);
  }
  std::string cmd = "rm -rf '" + root + "'";
  if (system(cmd.c_str()) != 0) fprintf(stderr, "kelreplay: could not remove %s\n", root.c_str());
  unsetenv("KELD_ROOT");

  // Print the timeline: events and actions in time order.
  if (!opt.json) printf("== %s\n", path.c_str());
  size_t ai = 0;
  auto printAction = [&](const Action &a) {
    if (opt.json) {
      printf("{\"time\":%.3f,\"action\":%s}\n", a.at, JsonString(a.text).c_str());
    } else {
      printf("%+10.3f  action   %s\n", a.at, a.text.c_str());
    }
  };
  for (const Delivered &e : events) {
    while (ai < actions.size() && actions[ai].at <= e.at) printAction(actions[ai++]);
    if (opt.json) {
      std::string args;
      for (const std::string &a : e.args) args += (args.empty() ? "" : ",") + JsonString(a);
      printf("{\"time\":%.3f,\"kind\":\"%s\",\"id\":%s,\"args\":[%s],\"message\":%s}\n", e.at, Kind(e.id).c_str(),
             JsonString(e.id).c_str(), args.c_str(), JsonString(e.message).c_str());
    } else {
      printf("%+10.3f  %-7s  %s\n            %s\n", e.at, Kind(e.id).c_str(), Describe(e).c_str(), e.message.c_str());
    }
  }
  while (ai < actions.size()) printAction(actions[ai++]);

  // Check the expectations.
  std::vector<bool> claimed(events.size(), false);
  std::vector<std::string> problems;
  for (Expectation &x : expects) {
    if (x.kind == Expectation::Event) {
      for (size_t i = 0; i < events.size() && !x.met; i++) {
        const Delivered &e = events[i];
        if (claimed[i] || e.id != x.id || !Near(e.at, x.at)) continue;
        bool argsMatch = x.args.size() <= e.args.size() && std::equal(x.args.begin(), x.args.end(), e.args.begin());
        if (argsMatch) claimed[i] = x.met = true;
      }
      if (!x.met) {
        std::string want = x.id;
        for (const std::string &a : x.args) want += " " + JsonString(a);
        problems.push_back(path + ":" + std::to_string(x.line) + ": expected at " + std::to_string(x.at) +
                           ": " + want);
      }
    } else if (x.kind == Expectation::None) {
      x.met = true;
      for (size_t i = 0; i < events.size(); i++) {
        const Delivered &e = events[i];
        if (e.at + 1e-9 >= x.at && e.at <= x.to + 1e-9 && (x.id.empty() || e.id == x.id)) {
          x.met = false;
          problems.push_back(path + ":" + std::to_string(x.line) + ": expected no event, got at " +
                             std::to_string(e.at) + ": " + Describe(e));
        }
      }
    } else {
      for (const Action &a : actions) {
        if (a.text == x.id && Near(a.at, x.at)) x.met = true;
      }
      if (!x.met) {
        problems.push_back(path + ":" + std::to_string(x.line) + ": expected action at " + std::to_string(x.at) +
                           ": " + x.id);
      }
    }
  }
  bool anyEventExpectation = std::any_of(expects.begin(), expects.end(),
                                         [](const Expectation &x) { return x.kind == Expectation::Event; });
  if (!opt.allowExtra && !expects.empty()) {
    for (size_t i = 0; i < events.size(); i++) {
      if (!claimed[i] && anyEventExpectation) {
        problems.push_back(path + ": unexpected at " + std::to_string(events[i].at) + ": " + Describe(events[i]));
      }
    }
  }
  for (const std::string &p : problems) fprintf(opt.json ? stderr : stdout, "%s%s\n", opt.json ? "" : "!! ", p.c_str());
  if (!expects.empty() && !opt.json) {
    printf("%s: %zu expectations, %zu problems\n", path.c_str(), expects.size(), problems.size());
  }
  return problems.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
  Options opt;
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") Usage(0);
    if (a == "--json") {
      opt.json = true;
    } else if (a == "--allow-extra") {
      opt.allowExtra = true;
    } else if (a == "--host-model" && i + 1 < argc) {
      opt.hostModel = argv[++i];
      if (access(opt.hostModel.c_str(), R_OK) != 0) {
        fprintf(stderr, "kelreplay: cannot read host model %s\n", opt.hostModel.c_str());
        return 2;
      }
    } else if (a == "--settle" && i + 1 < argc) {
      opt.settle = strtod(argv[++i], nullptr);
      if (!(opt.settle >= 0)) {
        fprintf(stderr, "kelreplay: bad --settle value\n");
        return 2;
      }
    } else if (!a.empty() && a[0] == '-') {
      fprintf(stderr, "kelreplay: unknown option '%s' (try --help)\n", a.c_str());
      return 2;
    } else {
      opt.scenarios.push_back(a);
    }
  }
  if (opt.scenarios.empty()) {
    fprintf(stderr, "kelreplay: no scenario given (try --help)\n");
    return 2;
  }
  // Correlator state lives for the process, so each scenario runs in a
  // process of its own and starts from a fresh host.
  int worst = 0;
  for (const std::string &s : opt.scenarios) {
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
      int rc = RunScenario(s, opt);
      fflush(stdout);
      _exit(rc);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
      fprintf(stderr, "kelreplay: the replay of %s did not finish\n", s.c_str());
      worst = std::max(worst, 2);
      continue;
    }
    worst = std::max(worst, WEXITSTATUS(status));
  }
  return worst;
}
