// `make demo` end to end: examples/demo.sh run in a temporary directory must
// play every example scenario against keld, show every event that kelreplay
// predicts, summarise them with the host actions, stop cleanly and leave
// nothing behind; interrupted, it must still stop keld and remove its root.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "keldHost.h"
#include "testRoot.h"

namespace {

const std::string kExamples = std::string(KELD_SOURCE_DIR) + "/examples";

struct Demo {
  pid_t pid = -1;
  FILE *out = nullptr;  // the demo's standard output and error
};

// Starts examples/demo.sh with its temporary root under `tmpDir`.
Demo StartDemo(const std::string &tmpDir) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  Demo demo;
  demo.pid = fork();
  if (demo.pid == 0) {
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    setenv("TMPDIR", tmpDir.c_str(), 1);
    unsetenv("KELD_DEMO_KEEP");
    std::string script = kExamples + "/demo.sh";
    execl("/bin/bash", "bash", script.c_str(), KELD_BIN_DIR, static_cast<char *>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  demo.out = fdopen(fds[0], "r");
  return demo;
}

// Reads the demo's output up to (and including) the first line containing
// `needle`, or to its end when `needle` is empty.
std::string ReadUntil(Demo &demo, const std::string &needle) {
  std::string text;
  char buf[4096];
  while (fgets(buf, sizeof buf, demo.out) != nullptr) {
    text += buf;
    if (!needle.empty() && std::string(buf).find(needle) != std::string::npos) break;
  }
  return text;
}

// Reads the rest of the output (into *rest when given) and reaps the demo.
int Finish(Demo &demo, std::string *rest = nullptr) {
  std::string text = ReadUntil(demo, "");
  if (rest != nullptr) *rest = text;
  fclose(demo.out);
  int status = -1;
  waitpid(demo.pid, &status, 0);
  return status;
}

std::vector<std::string> Entries(const std::string &dir) {
  std::vector<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d)) {
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(d);
  }
  return names;
}

// How many events kelreplay predicts for all example scenarios.
size_t PredictedEvents() {
  std::vector<std::string> args = {"--json", "--host-model", kExamples + "/host.conf"};
  for (const std::string &name : Entries(kExamples + "/scenarios")) args.push_back(kExamples + "/scenarios/" + name);
  ToolResult r = TestTool_Run("kelreplay", args);
  size_t count = 0;
  for (size_t at = r.out.find("\"kind\":"); at != std::string::npos; at = r.out.find("\"kind\":", at + 1)) count++;
  return count;
}

TEST(Demo, PlaysEveryScenarioAndSummarises) {
  TestRoot tmp;
  Demo demo = StartDemo(tmp.Dir());
  ASSERT_GT(demo.pid, 0);
  std::string out;
  int status = Finish(demo, &out);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;

  std::vector<std::string> scenarios = Entries(kExamples + "/scenarios");
  for (const std::string &name : scenarios) {
    EXPECT_NE(out.find("--- " + name.substr(0, name.size() - 4) + ": "), std::string::npos) << name;
  }
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(observations sent +\d+ \((\d+) scenarios\))"))) << out;
  EXPECT_EQ(std::stoul(m[1]), scenarios.size());
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(events received +(\d+): (\d+) problem, (\d+) audit, (\d+) clear)")))
      << out;
  EXPECT_EQ(std::stoul(m[1]), PredictedEvents()) << "every event kelreplay predicts reached hubd";
  EXPECT_GE(std::stoul(m[2]), 1u);
  EXPECT_GE(std::stoul(m[3]), 1u);
  EXPECT_GE(std::stoul(m[4]), 1u);
  std::string summary = out.substr(out.find("=== Summary"));
  EXPECT_TRUE(std::regex_search(summary, std::regex(R"(\n  \d\d:\d\d:\d\d  nic\.down hynic2\n)"))) << summary;
  EXPECT_TRUE(std::regex_search(summary, std::regex(R"(\n  \d\d:\d\d:\d\d  page\.retire 3099164 1 NiceRetire\n)")))
      << summary;
  EXPECT_NE(summary.find("keld stopped (exit status 0)"), std::string::npos) << summary;
  EXPECT_EQ(Entries(tmp.Dir()), std::vector<std::string>{}) << "the demo's root is removed";
}

TEST(Demo, InterruptedStopsKeldAndRemovesItsRoot) {
  TestRoot tmp;
  Demo demo = StartDemo(tmp.Dir());
  ASSERT_GT(demo.pid, 0);
  std::string out = ReadUntil(demo, "--- ");  // keld runs, the first scenario plays
  std::smatch m;
  ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(keld is running \(pid (\d+)\))"))) << out;
  pid_t keld = static_cast<pid_t>(std::stol(m[1]));
  kill(demo.pid, SIGINT);
  int status = Finish(demo);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
  EXPECT_TRUE(KeldHost::WaitFor([&] { return kill(keld, 0) != 0; })) << "keld still runs";
  EXPECT_EQ(Entries(tmp.Dir()), std::vector<std::string>{});
}

}  // namespace
