// The minor correlators: every table row from its data file (throttles
// included, on the fake clock), the swap reconfiguration through the host
// model, the scratch link, and the self-test correlator's verdict.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "correlatorHarness.h"
#include "kelScenario.h"
#include "keldCorrelators.h"
#include "rowCases.h"

namespace {

const char kFileSystems[] = "filesystem ds1 5f1e0a2b-uuid\nfilesystem ds2 77aa-uuid\n";

// Correlator state lives for the process, so every harness starts its clock
// far after the previous one: whatever an earlier test left in a throttle is
// older than any window.
int64_t FreshEpoch() {
  static int64_t next = 1700000000;
  next += 1000000;
  return next;
}

void ExpectRows(CorrelatorHarness &h, const std::string &rows) {
  for (const std::string &failure : RunRowCases(h, rows)) ADD_FAILURE() << failure;
}

size_t Count(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
  return n;
}

TEST(SwapCorrelator, Rows) {
  CorrelatorHarness h(SwapCorrelator_Def(), kFileSystems, FreshEpoch());
  ExpectRows(h, "swap.rows");
}

TEST(SwapCorrelator, RemovedSwapIsReconfiguredAndAFailureReported) {
  CorrelatorHarness h(SwapCorrelator_Def(), kFileSystems, FreshEpoch());
  const std::string format =
      "System swap at path %s was affected by the Permanent Device Loss of its datastore and was removed.";
  const std::vector<KelArg> path = {KelArg::Str("/glfs/volumes/ds1/sys.swp")};

  h.Send("kel.swap.systemSwap.isPDL.removed", format, path);
  EXPECT_TRUE(h.Take().empty());
  EXPECT_EQ(Count(h.Journal(), "swap.reconfigure"), 1u);
  EXPECT_EQ(Count(h.Syslog(), "System swap at path /glfs/volumes/ds1/sys.swp was affected by the PDL of its "
                              "datastore and was removed. System swap has been reconfigured.\n"),
            1u);

  h.WriteHostModel(std::string(kFileSystems) + "swap fail \"no swap target left\"\n");
  h.Send("kel.swap.systemSwap.isPDL.removed", format, path);
  std::vector<PostedEvent> events = h.Take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id, "nox.problem.swap.systemSwap.isPDL.removed.reconfig.failure.2");
  EXPECT_EQ(events[0].message,
            "System swap on ds1 was affected by PDL. It was removed but the subsequent reconfiguration failed.");
  EXPECT_EQ(ArgTexts(events[0]), std::vector<std::string>{"ds1"});
  EXPECT_FALSE(events[0].deferred);
  // The detailed text follows the event's line, on a line of its own.
  std::string log = h.Syslog();
  size_t eventLine = log.find("[nox.problem.swap.systemSwap.isPDL.removed.reconfig.failure.2]");
  size_t detailLine = log.find("Z: no swap target left\n");
  ASSERT_NE(detailLine, std::string::npos) << log;
  EXPECT_LT(eventLine, detailLine);
  EXPECT_EQ(Count(h.Journal(), "swap.reconfigure"), 1u);
}

TEST(VmCorrelator, Rows) {
  CorrelatorHarness h(VmCorrelator_Def(), kFileSystems, FreshEpoch());
  ExpectRows(h, "vm.rows");
}

TEST(GenericCorrelator, Rows) {
  CorrelatorHarness h(GenericCorrelator_Def(), "", FreshEpoch());
  ExpectRows(h, "generic.rows");
  // The user-level observation it has no entry for is still logged.
  EXPECT_EQ(Count(h.Syslog(), "[kel.user.service.crashed] svc\n"), 1u);
}

TEST(MigrateCorrelator, Rows) {
  CorrelatorHarness h(MigrateCorrelator_Def(), "", FreshEpoch());
  ExpectRows(h, "migrate.rows");
}

TEST(LumfsCorrelator, RowsAndThrottles) {
  CorrelatorHarness h(LumfsCorrelator_Def(), "", FreshEpoch());
  ExpectRows(h, "lumfs.rows");
  std::string log = h.Syslog();
  EXPECT_EQ(Count(log, "[kel.lumfs.tardisk.readonlyfile]"), 1u);
  // Every unhandled observation is logged, posted or not.
  EXPECT_EQ(Count(log, "[kel.lumfs.mount.failed]"), 2u);
  EXPECT_EQ(Count(log, "[kel.lumfs.other]"), 2u);
}

TEST(VfatCorrelator, RowsWithScratchLink) {
  CorrelatorHarness h(VfatCorrelator_Def(), "", FreshEpoch());
  std::string volume = h.Root() + "/volumes/5a1b2c3d-scratch";
  ASSERT_EQ(mkdir((h.Root() + "/volumes").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(volume.c_str(), 0755), 0);
  ASSERT_EQ(symlink(volume.c_str(), (h.Root() + "/scratch").c_str()), 0);
  ExpectRows(h, "vfat.rows");
}

TEST(SchedCorrelator, Rows) {
  CorrelatorHarness h(SchedCorrelator_Def(), "", FreshEpoch());
  ExpectRows(h, "sched.rows");
  EXPECT_EQ(Count(h.Syslog(), "Failed to arg: "), 2u);
}

TEST(HcmCorrelator, Rows) {
  CorrelatorHarness h(HcmCorrelator_Def(), "", FreshEpoch());
  ExpectRows(h, "hcm.rows");
}

// --- The self-test correlator ---------------------------------------------------

KelScenarioLine Line(const std::string &id) {
  KelScenarioLine line;
  line.id = id;
  line.format = "marker";
  return line;
}

std::vector<KelScenarioLine> TestRun() {
  std::vector<KelScenarioLine> lines;
  std::string error;
  if (!KelScenario_ParseFile(TestDataPath("keldtest_run.scenario"), &lines, &error)) ADD_FAILURE() << error;
  return lines;
}

// Sends `lines`, then lets `idleSeconds` pass, in a process of its own: the
// correlator ends that process with its verdict, which is passed on as this
// process's exit status once the harness's root is removed.
[[noreturn]] void RunSelfTest(const std::vector<KelScenarioLine> &lines, int64_t idleSeconds) {
  CorrelatorHarness h(KeldTestCorrelator_Def(), "", FreshEpoch());
  pid_t pid = fork();
  if (pid == 0) {
    if (freopen("/dev/null", "w", stdout) != nullptr) {
      for (const KelScenarioLine &line : lines) h.Send(line.id, line.format, line.args);
      h.Advance(idleSeconds);
    }
    _exit(100);  // the correlator did not end the run
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) status = -1;
  int rc = system(("rm -rf '" + h.Root() + "'").c_str());
  (void)rc;
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 101);
}

TEST(KeldTestCorrelator, ExitStatusCountsFailures) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::vector<KelScenarioLine> run = TestRun();
  ASSERT_EQ(run.size(), 21u);
  const KelScenarioLine start = Line("kel.tests.marker.start");
  const KelScenarioLine end = Line("kel.tests.marker.end");
  auto with = [](std::vector<KelScenarioLine> lines, std::initializer_list<KelScenarioLine> before,
                 std::initializer_list<KelScenarioLine> after) {
    lines.insert(lines.begin(), before);
    lines.insert(lines.end(), after);
    return lines;
  };
  std::vector<KelScenarioLine> wrongMessage = run;
  wrongMessage[0].format = "this is an observation with no data!";
  std::vector<KelScenarioLine> wrongValue = run;
  wrongValue[4].args[2] = KelArg::I64(-1);  // the message and both Kel_GetArgs reads differ
  // A string row carrying an integer: the message, the string argument, the
  // unexpected integer argument and the Kel_GetArgs read all fail.
  std::vector<KelScenarioLine> wrongKind = run;
  wrongKind[6].format = "this is an observation with a string parameter: %d";
  wrongKind[6].args = {KelArg::I32(5)};
  const KelScenarioLine corruptStart = Line("kel.tests.marker.corruptions.start");
  const KelScenarioLine corruptEnd = Line("kel.tests.marker.corruptions.end");

  struct Case {
    const char *name;
    std::vector<KelScenarioLine> lines;
    int64_t idleSeconds;
    int status;
  } cases[] = {
      {"clean run, an early observation ignored", with(run, {run[0], start}, {end}), 0, 0},
      {"no test observations", {start, end}, 0, 1},
      {"wrong message", with(wrongMessage, {start}, {end}), 0, 1},
      {"wrong integer value", with(wrongValue, {start}, {end}), 0, 3},
      {"integer instead of string", with(wrongKind, {start}, {end}), 0, 4},
      {"duplicate start", with(run, {start, start}, {end}), 0, 1},
      {"a 22nd observation", with(run, {start}, {run[0], end}), 0, 1},
      {"observation in the corrupt window", with(run, {start, corruptStart, run[0], corruptEnd}, {end}), 0, 1},
      {"timeout", {start, run[0]}, 5, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(RunSelfTest(c.lines, c.idleSeconds), testing::ExitedWithCode(c.status), "");
  }
}

}  // namespace
