// The example scenarios end to end: kelreplay under the virtual clock against
// keld on the same host model, kelreplay's verdicts, and `make demo`.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "keldHost.h"
#include "testRoot.h"

namespace {

const std::string kExamples = std::string(KELD_SOURCE_DIR) + "/examples";
const std::string kHostModel = kExamples + "/host.conf";

// The names in `dir` that end with `suffix`, sorted; hidden ones left out.
std::vector<std::string> Entries(const std::string &dir, const std::string &suffix = "") {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      size_t n = suffix.size();
      if (name[0] != '.' && name.size() > n && name.compare(name.size() - n, n, suffix) == 0) names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> Scenarios() { return Entries(kExamples + "/scenarios", ".obs"); }

// What kelreplay is compared with keld on: every demo scenario, and the replay examples that say they are short
// enough to play in real time. Paths relative to examples/.
std::vector<std::string> RealTimeScenarios() {
  std::vector<std::string> paths;
  for (const std::string &name : Scenarios()) paths.push_back("scenarios/" + name);
  for (const std::string &name : Entries(kExamples + "/replay", ".obs")) {
    std::stringstream text;
    text << std::ifstream(kExamples + "/replay/" + name).rdbuf();
    if (text.str().find("\n# Short enough to play in real time") != std::string::npos) paths.push_back("replay/" + name);
  }
  return paths;
}

// "ID [ARGS]" of a hubdsink or kelreplay --json line. A quote inside a JSON
// string is escaped, so `],"message":` (kelreplay) or the last `]` (hubdsink,
// args last) ends the arguments.
std::string IdAndArgs(const std::string &line) {
  size_t id = line.find("\"id\":\"") + 6, args = line.find("\"args\":") + 7;
  size_t end = line.find("],\"message\":", args);
  if (end == std::string::npos) end = line.rfind(']');
  return line.substr(id, line.find('"', id) - id) + " " + line.substr(args, end + 1 - args);
}

// keld's timers count whole seconds and kelreplay starts its clock on one:
// playing from just after a second begins keeps the two in step.
class ReplayMatchesDaemon : public ::testing::TestWithParam<std::string> {};

TEST_P(ReplayMatchesDaemon, SameEventsInTheSameOrder) {
  const std::string scenario = kExamples + "/" + GetParam();
  std::stringstream model;
  model << std::ifstream(kHostModel).rdbuf();
  KeldHost host(model.str());

  std::string replayed;
  ASSERT_EQ(host.Run("kelreplay", {"--json", "--host-model", kHostModel, scenario}, &replayed), 0) << replayed;
  std::vector<std::string> expected;
  std::istringstream lines(replayed);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("\"kind\":") != std::string::npos) expected.push_back(IdAndArgs(line));
  }
  ASSERT_FALSE(expected.empty());

  // kelinject options the scenario asks for ("# kelinject options: ...").
  std::vector<std::string> args;
  std::ifstream in(scenario);
  const std::string marker = "# kelinject options:";
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line.rfind(marker, 0) == 0 ? line.substr(marker.size()) : "");
    for (std::string w; words >> w;) args.push_back(w);
  }
  args.insert(args.end(), {"--file", scenario});
  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  KeldHost::StartOfNextSecond();
  std::string err;
  ASSERT_EQ(host.Inject(args, &err), 0) << err;
  EXPECT_TRUE(host.WaitHubd(expected.size(), std::chrono::milliseconds(15000)));
  host.StopKeld();  // nothing later can arrive

  std::vector<std::string> actual;
  for (const std::string &line : host.HubdLines()) actual.push_back(IdAndArgs(line));
  EXPECT_EQ(actual, expected);
}

INSTANTIATE_TEST_SUITE_P(Examples, ReplayMatchesDaemon, ::testing::ValuesIn(RealTimeScenarios()),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                           std::string name = info.param.substr(info.param.find('/') + 1);
                           name.resize(name.size() - 4);
                           std::replace_if(name.begin(), name.end(), [](unsigned char c) { return !isalnum(c); }, '_');
                           return name;
                         });

// Every kind of unmet expectation is a diff ('-' only expected, '+' only actual,
// matched lines as context) with exit status 1; bad input one line and status 2.
TEST(KelReplay, UnmetExpectationsFailWithADiffAndBadInputWithStatusTwo) {
  TestRoot root;
  root.WriteFile("/wrong.obs",
                 "+0.2 kel.user.ssh.enabled x\n"
                 "expect +0 nox.audit.ssh.enabled\n"
                 "+1 kel.user.ssh.session.opened \"%s %s\" s:admin s:192.0.2.17\n"
                 "expect +0 nox.audit.ssh.session.opened admin 192.0.2.99\n"
                 "+1 kel.user.lockdownmode.enabled x\n"
                 "expect-none +0 +0.5\n"
                 "+1 kel.user.maintenancemode.entering x\n"
                 "expect-action +0 audit account.locked root \"\" 1\n");
  const std::string scenario = root.Path("/wrong.obs");
  const std::string diff =
      "FAIL " + scenario + ": 5 differences ('-' expected, '+' actual)\n"
      "        0.200  nox.audit.ssh.enabled\n"
      "  -     1.200  nox.audit.ssh.session.opened \"admin\" \"192.0.2.99\"   (line 4)\n"
      "  +     1.200  nox.audit.ssh.session.opened \"admin\" \"192.0.2.17\"\n"
      "  +     2.200  nox.audit.lockdownmode.enabled   (line 6: none expected from 2.200 to 2.700)\n"
      "  -     3.200  action   audit account.locked root \"\" 1   (line 8)\n"
      "  +     3.200  nox.audit.maintenancemode.entering\n";
  ToolResult r = TestTool_Run("kelreplay", {"--host-model", kHostModel, scenario});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.out.find(diff), std::string::npos) << r.out;

  // --allow-extra forgives the event nobody named, not the rest; with --json
  // the verdict goes to standard error.
  r = TestTool_Run("kelreplay", {"--allow-extra", "--json", "--host-model", kHostModel, scenario});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find(": 3 differences"), std::string::npos) << r.err;
  EXPECT_EQ(r.err.find("+     3.200  nox.audit.maintenancemode.entering"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("FAIL"), std::string::npos);

  std::vector<std::vector<std::string>> bad = {{root.Path("/missing.obs")}, {"--host-model"}, {}};
  int n = 0;
  for (const char *line : {"expect-none +5 +2", "expect-none +0 +1 nox.x y", "expect-log +1", "hubd-down +5 +2",
                           "hubd-down +0 +5 sometimes", "hubd-down +0"}) {
    std::string name = "/bad" + std::to_string(n++) + ".obs";
    root.WriteFile(name, "+1 kel.user.ssh.enabled x\n" + std::string(line) + "\n");
    bad.push_back({root.Path(name)});
  }
  bad.push_back({"--settle", "soon", root.Path("/bad0.obs")});
  bad.push_back({"--bogus", root.Path("/bad0.obs")});
  for (const std::vector<std::string> &args : bad) {
    r = TestTool_Run("kelreplay", args);
    EXPECT_EQ(r.exitCode, 2) << args.back() << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// Host actions are checked as strictly as events: each expect-action takes an action of its own, an action that
// nothing expects is a difference (unless --allow-extra), and expect-none can forbid actions.
TEST(KelReplay, HostActionsAreCheckedAsStrictlyAsEvents) {
  TestRoot root;
  const std::string locked = " kel.user.account.locked \"Account %s locked for %d seconds after %d failures\" ";
  root.WriteFile("/actions.obs", "+0.2" + locked + "s:root i:900 i:5\n"
                 "expect +0 nox.audit.account.locked root\n"
                 "expect-action +0 audit account.locked root \"\" 1\n"
                 "expect-action +0 audit account.locked root \"\" 1\n"
                 "+1" + locked + "s:admin i:60 i:3\n"
                 "expect +0 nox.audit.account.locked admin\n"
                 "+1" + locked + "s:guest i:60 i:3\n"
                 "expect +0 nox.audit.account.locked guest\n"
                 "expect-none +0 +0.5 action audit\n");
  const std::string scenario = root.Path("/actions.obs");
  ToolResult r = TestTool_Run("kelreplay", {"--host-model", kHostModel, scenario});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.out.find("FAIL " + scenario + ": 3 differences ('-' expected, '+' actual)\n"
                       "  -     0.200  action   audit account.locked root \"\" 1   (line 4)\n"
                       "        0.200  nox.audit.account.locked \"root\" 900 5\n"
                       "        0.200  action   audit account.locked root \"\" 1\n"
                       "        1.200  nox.audit.account.locked \"admin\" 60 3\n"
                       "  +     1.200  action   audit account.locked admin \"\" 1\n"
                       "        2.200  nox.audit.account.locked \"guest\" 60 3\n"
                       "  +     2.200  action   audit account.locked guest \"\" 1   (line 9: none expected from 2.200 "
                       "to 2.700)\n"),
            std::string::npos)
      << r.out;
  r = TestTool_Run("kelreplay", {"--allow-extra", "--host-model", kHostModel, scenario});
  EXPECT_NE(r.out.find(": 2 differences"), std::string::npos) << r.out;
}

// A hung hubd holds the poster for the send timeout: the next observation is handled after it, and the queued
// event goes out with the retry pass once hubd is back. The timeline shows the delivery lines.
TEST(KelReplay, HubdOutageDelaysAndQueues) {
  TestRoot root;
  root.WriteFile("/hang.obs",
                 "hubd-down +0 +1 hang\n"
                 "+0.5 kel.user.ssh.enabled x\n"
                 "+0.1 kel.user.ssh.disabled x\n"
                 "expect +4.9 nox.audit.ssh.disabled\n"
                 "expect +184.9 nox.audit.ssh.enabled\n"
                 "expect-log +184.9 \"Successfully sent event (nox.audit.ssh.enabled) after 1 failure.\"\n");
  ToolResult r = TestTool_Run("kelreplay", {"--host-model", kHostModel, root.Path("/hang.obs")});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("    +5.500  log      An event (nox.audit.ssh.enabled) could not be sent immediately to hubd; "
                       "queueing for retry.\n"),
            std::string::npos)
      << r.out;
}

// Repeated observation lines are parsed once and replayed with their own
// delays and arguments, whatever blanks or quoting surround the delay;
// --quiet prints counts, the verdict and the differences only; a bad line at
// the very end still fails the run before anything is replayed.
TEST(KelReplay, RepeatedLinesQuietRunsAndLateBadLines) {
  TestRoot root;
  const std::string opened = "kel.user.ssh.session.opened \"%s %s\" s:";
  root.WriteFile("/repeat.obs", "+0.5 " + opened + "admin s:192.0.2.17\n"
                 "+0.5 " + opened + "root s:192.0.2.17\n"
                 "+1.5\t" + opened + "admin s:192.0.2.17\r\n"
                 "'+1' " + opened + "admin s:192.0.2.17\n"
                 "+0.25 " + opened + "admin s:192.0.2.17\n"
                 "expect +0 nox.audit.ssh.session.opened admin\n");
  const std::string scenario = root.Path("/repeat.obs");
  ToolResult r = TestTool_Run("kelreplay", {"--allow-extra", "--host-model", kHostModel, scenario});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string timeline = "== " + scenario + "\n";
  for (const auto &[at, user] : std::vector<std::pair<std::string, std::string>>{
           {"+0.500", "admin"}, {"+1.000", "root"}, {"+2.500", "admin"}, {"+3.500", "admin"}, {"+3.750", "admin"}}) {
    timeline += "    " + at + "  audit    nox.audit.ssh.session.opened \"" + user + "\" \"192.0.2.17\"\n" +
                "            SSH session was opened for '" + user + "@192.0.2.17'.\n";
  }
  EXPECT_EQ(r.out.substr(0, timeline.size()), timeline);

  r = TestTool_Run("kelreplay", {"--quiet", "--host-model", kHostModel, scenario});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, "== " + scenario + ": 5 observations, 5 events, 0 host actions, 0 delivery lines\n"
            "FAIL " + scenario + ": 4 differences ('-' expected, '+' actual)\n"
            "  +     0.500  nox.audit.ssh.session.opened \"admin\" \"192.0.2.17\"\n"
            "  +     1.000  nox.audit.ssh.session.opened \"root\" \"192.0.2.17\"\n"
            "  +     2.500  nox.audit.ssh.session.opened \"admin\" \"192.0.2.17\"\n"
            "  +     3.750  nox.audit.ssh.session.opened \"admin\" \"192.0.2.17\"\n");

  root.WriteFile("/late.obs", "+0.5 " + opened + "admin s:192.0.2.17\n+0.5 " + opened + "admin q:17\n");
  r = TestTool_Run("kelreplay", {"--host-model", kHostModel, root.Path("/late.obs")});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("late.obs: line 2: "), std::string::npos) << r.err;
}

// examples/demo.sh with its root under `tmpDir`, standard error joined to its
// output, run as a terminal would run it: in a process group of its own (so
// that an interrupt reaches the demo and whatever it runs at that moment) and
// with interrupts at their default action even when this test inherited them
// ignored. The environment is made before the fork (other threads may run).
FILE *StartDemo(const std::string &tmpDir, pid_t *pid) {
  std::string script = kExamples + "/demo.sh";
  std::vector<char *> argv{const_cast<char *>("bash"), script.data(), const_cast<char *>(KELD_BIN_DIR), nullptr};
  std::string tmpVar = "TMPDIR=" + tmpDir;
  std::vector<char *> envp{tmpVar.data()};
  for (char **e = environ; *e != nullptr; ++e) {
    if (strncmp(*e, "TMPDIR=", 7) != 0 && strncmp(*e, "KELD_DEMO_KEEP=", 15) != 0) envp.push_back(*e);
  }
  envp.push_back(nullptr);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  *pid = fork();
  if (*pid == 0) {
    setpgid(0, 0);
    signal(SIGINT, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    execve("/bin/bash", argv.data(), envp.data());
    _exit(127);
  }
  close(fds[1]);
  if (*pid < 0) {
    close(fds[0]);
    return nullptr;
  }
  setpgid(*pid, *pid);  // also here, so that the group exists before any kill
  return fdopen(fds[0], "r");
}

// Closes the demo's output and returns its wait status.
int FinishDemo(FILE *out, pid_t pid) {
  fclose(out);
  int status = -1;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// The demo's output up to (and including) the first line containing `needle`,
// or to its end when `needle` is empty.
std::string ReadUntil(FILE *out, const std::string &needle) {
  std::string text;
  for (char buf[4096]; fgets(buf, sizeof buf, out) != nullptr;) {
    text += buf;
    if (!needle.empty() && std::string(buf).find(needle) != std::string::npos) break;
  }
  return text;
}

TEST(Demo, PlaysEveryScenarioAndSummarises) {
  TestRoot tmp;
  pid_t pid = -1;
  FILE *demo = StartDemo(tmp.Dir(), &pid);
  ASSERT_NE(demo, nullptr);
  std::string out = ReadUntil(demo, "");
  int status = FinishDemo(demo, pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;

  std::vector<std::string> scenarios = Scenarios();
  for (const std::string &name : scenarios) {
    EXPECT_NE(out.find("--- " + name.substr(0, name.size() - 4) + ": "), std::string::npos) << name;
  }
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(observations sent +\d+ \((\d+) scenarios\))"))) << out;
  EXPECT_EQ(std::stoul(m[1]), scenarios.size());
  const std::regex received(R"(events received +(\d+): (\d+) problem, (\d+) audit, (\d+) clear)");
  ASSERT_TRUE(std::regex_search(out, m, received)) << out;
  // Every event kelreplay predicts reached hubd, and every kind is among them.
  std::vector<std::string> args = {"--json", "--host-model", kHostModel};
  for (const std::string &name : scenarios) args.push_back(kExamples + "/scenarios/" + name);
  std::string predicted = TestTool_Run("kelreplay", args).out;
  size_t count = 0;
  for (size_t at = 0; (at = predicted.find("\"kind\":", at)) != std::string::npos; at++) count++;
  EXPECT_EQ(std::stoul(m[1]), count);
  for (int kind = 2; kind <= 4; kind++) EXPECT_GE(std::stoul(m[kind]), 1u) << kind;
  // Each event is followed by its message, from the event catalog.
  EXPECT_NE(out.find("nox.problem.net.hynic.linkstate.flapping  hynic2\n"
                     "                         Taking down physical NIC hynic2 because the link is flapping.\n"),
            std::string::npos)
      << out;
  std::string summary = out.substr(out.find("=== Summary"));
  EXPECT_TRUE(std::regex_search(summary, std::regex(R"(\n  \d\d:\d\d:\d\d  nic\.down hynic2\n)"))) << summary;
  EXPECT_TRUE(std::regex_search(summary, std::regex(R"(\n  \d\d:\d\d:\d\d  page\.retire 3099164 1 NiceRetire\n)")))
      << summary;
  EXPECT_NE(summary.find("keld stopped (exit status 0)"), std::string::npos) << summary;
  EXPECT_EQ(Entries(tmp.Dir()), std::vector<std::string>{}) << "the demo's root is removed";
}

TEST(Demo, InterruptedStopsKeldAndRemovesItsRoot) {
  TestRoot tmp;
  pid_t pid = -1;
  FILE *demo = StartDemo(tmp.Dir(), &pid);
  ASSERT_NE(demo, nullptr);
  std::string out = ReadUntil(demo, "--- ");  // keld runs, the first scenario plays
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(keld is running \(pid (\d+)\))"))) << out;
  pid_t keld = static_cast<pid_t>(std::stol(m[1]));
  kill(-pid, SIGINT);  // what an interrupt key does
  out += ReadUntil(demo, "");
  int status = FinishDemo(demo, pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status << "\n" << out;
  EXPECT_TRUE(KeldHost::WaitFor([&] { return kill(keld, 0) != 0; })) << "keld still runs";
  EXPECT_EQ(Entries(tmp.Dir()), std::vector<std::string>{});
}

}  // namespace
