// kelreplay against the running daemon. Every example scenario of
// examples/scenarios (all short enough to play in real time: the demo plays
// them) is replayed under the virtual clock and played with kelinject against
// keld on the same host model; both must give the same events, IDs, arguments
// and order. And a scenario whose expectations are wrong fails with a diff.
#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "keldHost.h"
#include "testRoot.h"

namespace {

const std::string kExamples = std::string(KELD_SOURCE_DIR) + "/examples";
const std::string kHostModel = kExamples + "/host.conf";

std::string ReadText(const std::string &path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> ExampleScenarios() {
  std::vector<std::string> names;
  std::string dir = kExamples + "/scenarios";
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".obs") == 0) names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The end of the JSON value (string or array) that starts at `at`.
size_t JsonValueEnd(const std::string &line, size_t at) {
  int depth = 0;
  bool inString = false;
  for (size_t i = at; i < line.size(); i++) {
    char c = line[i];
    if (inString) {
      if (c == '\\') {
        i++;
      } else if (c == '"') {
        inString = false;
        if (depth == 0) return i + 1;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[') {
      depth++;
    } else if (c == ']' && --depth == 0) {
      return i + 1;
    }
  }
  return std::string::npos;
}

// `"key":VALUE` of a JSON line as printed (hubdsink and kelreplay print
// strings and numbers alike).
std::string JsonField(const std::string &line, const std::string &key) {
  size_t at = line.find("\"" + key + "\":");
  if (at == std::string::npos) return "?";
  at += key.size() + 3;
  size_t end = JsonValueEnd(line, at);
  return end == std::string::npos ? "?" : line.substr(at, end - at);
}

std::string IdAndArgs(const std::string &line) { return JsonField(line, "id") + " " + JsonField(line, "args"); }

// kelinject options the scenario asks for ("# kelinject options: ...").
std::vector<std::string> InjectOptions(const std::string &scenario) {
  std::vector<std::string> options;
  std::istringstream in(ReadText(scenario));
  const std::string marker = "# kelinject options:";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(marker, 0) != 0) continue;
    std::istringstream words(line.substr(marker.size()));
    for (std::string w; words >> w;) options.push_back(w);
  }
  return options;
}

// keld's timers count whole seconds and kelreplay starts its clock on one:
// playing from just after a second begins keeps the two in step.
class ReplayMatchesDaemon : public ::testing::TestWithParam<std::string> {};

TEST_P(ReplayMatchesDaemon, SameEventsInTheSameOrder) {
  const std::string scenario = kExamples + "/scenarios/" + GetParam();
  KeldHost host(ReadText(kHostModel));

  std::string replayed;
  ASSERT_EQ(host.Run("kelreplay", {"--json", "--host-model", kHostModel, scenario}, &replayed), 0) << replayed;
  std::vector<std::string> expected;
  std::istringstream lines(replayed);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("\"kind\":") != std::string::npos) expected.push_back(IdAndArgs(line));
  }
  ASSERT_FALSE(expected.empty());

  ASSERT_TRUE(host.StartHubd());
  ASSERT_TRUE(host.StartKeld());
  std::vector<std::string> args = InjectOptions(scenario);
  args.insert(args.end(), {"--file", scenario});
  KeldHost::StartOfNextSecond();
  std::string err;
  ASSERT_EQ(host.Inject(args, &err), 0) << err;
  EXPECT_TRUE(host.WaitHubd(expected.size(), std::chrono::milliseconds(15000)));
  host.StopKeld();  // nothing later can arrive

  std::vector<std::string> actual;
  for (const std::string &line : host.HubdLines()) actual.push_back(IdAndArgs(line));
  EXPECT_EQ(actual, expected);
}

std::string TestName(const ::testing::TestParamInfo<std::string> &info) {
  std::string name = info.param.substr(0, info.param.size() - 4);
  std::replace_if(name.begin(), name.end(), [](char c) { return !isalnum(static_cast<unsigned char>(c)); }, '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Examples, ReplayMatchesDaemon, ::testing::ValuesIn(ExampleScenarios()), TestName);

// Every kind of expectation that does not hold, shown as a diff ('-' only
// expected, '+' only actual, matched lines as context), exit status 1.
TEST(KelReplay, UnmetExpectationsFailWithADiff) {
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
}

TEST(KelReplay, BadInputIsOneLineAndStatusTwo) {
  TestRoot root;
  root.WriteFile("/bad.obs", "+1 kel.user.ssh.enabled x\nexpect-none +5 +2\n");
  for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
           {root.Path("/bad.obs")}, {root.Path("/missing.obs")}, {"--settle", "soon", root.Path("/bad.obs")},
           {"--host-model"}, {"--bogus", root.Path("/bad.obs")}, {}}) {
    ToolResult r = TestTool_Run("kelreplay", args);
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

}  // namespace
