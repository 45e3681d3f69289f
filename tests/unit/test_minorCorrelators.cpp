// The minor, hardware and distributed storage correlators: their row files (throttles on the fake clock), swap
// reconfiguration, the self-test verdict.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "correlatorHarness.h"
#include "correlators/keldCorrelators.h"
#include "selftest/keldSelftest.h"
#include "kelScenario.h"
#include "rowCases.h"

namespace {

using Lines = std::vector<KelScenarioLine>;
const char kFileSystems[] = "filesystem ds1 5f1e0a2b-uuid\nfilesystem ds2 77aa-uuid\n";

// Correlator state lives for the process: each harness starts its clock far past any throttle window left before.
int64_t FreshEpoch() {
  static int64_t next = 1700000000;
  return next += 1000000;
}

size_t Count(const std::string &text, const std::string &needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
  return n;
}

// Each row file, and what its run must leave in the system log and the actions journal.
TEST(MinorCorrelators, RowsAndWhatTheyLog) {
  using Logged = std::vector<std::pair<std::string, size_t>>;
  struct { const char *rows; const CorrelatorDef &(*def)(void); const char *host; Logged logged; } cases[] = {
      {"swap.rows", SwapCorrelator_Def, kFileSystems,
       // The removed swap with an unreadable path is reconfigured too.
       {{"swap.reconfigure", 2}, {"System swap at path /glfs/volumes/ds2/sys.swp was affected by the PDL of its "
                                  "datastore and was removed. System swap has been reconfigured.\n", 1},
        {"System swap at path (null) was affected", 1}}},
      {"vm.rows", VmCorrelator_Def, kFileSystems, {}},
      {"generic.rows", GenericCorrelator_Def, "", {{"[kel.user.service.crashed] svc\n", 1}}},  // not handled
      {"migrate.rows", MigrateCorrelator_Def, "", {}},
      // Every unhandled observation is logged, posted or not.
      {"lumfs.rows", LumfsCorrelator_Def, "",
       {{"[kel.lumfs.tardisk.readonlyfile]", 1}, {"[kel.lumfs.mount.failed]", 2}, {"[kel.lumfs.other]", 2}}},
      {"vfat.rows", VfatCorrelator_Def, "", {}},
      {"sched.rows", SchedCorrelator_Def, "", {{"Failed to arg: ", 2}}},
      {"hcm.rows", HcmCorrelator_Def, "", {}},
      {"hardware.rows", HardwareCorrelator_Def, "", {}},
      // Distributed storage: plain rows with both read-failure behaviours, then the network readiness,
      // clustering and disk group error throttle sequences (each starts with the observation that resets them).
      {"mesa.rows", MesaCorrelator_Def, "", {}},
      {"mesa_state.rows", MesaCorrelator_Def, "", {}},
  };
  for (const auto &c : cases) {
    CorrelatorHarness h(c.def(), c.host, FreshEpoch());
    std::filesystem::create_directories(h.Root() + "/volumes/5a1b2c3d-scratch");  // the scratch link of vfat.rows
    std::filesystem::create_directory_symlink(h.Root() + "/volumes/5a1b2c3d-scratch", h.Root() + "/scratch");
    for (const std::string &failure : RunRowCases(h, c.rows)) ADD_FAILURE() << c.rows << ": " << failure;
    for (const auto &[text, n] : c.logged) EXPECT_EQ(Count(h.Syslog() + h.Journal(), text), n) << text;
  }
}

TEST(SwapCorrelator, FailedReconfigurationIsReportedWithItsDetail) {
  CorrelatorHarness h(SwapCorrelator_Def(), std::string(kFileSystems) + "swap fail \"no swap target left\"\n",
                      FreshEpoch());
  h.Send("kel.swap.systemSwap.isPDL.removed",
         "System swap at path %s was affected by the Permanent Device Loss of its datastore and was removed.",
         {KelArg::Str("/glfs/volumes/ds1/sys.swp")});
  std::vector<PostedEvent> events = h.Take();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].id + ": " + events[0].message,
            "nox.problem.swap.systemSwap.isPDL.removed.reconfig.failure.2: System swap on ds1 was affected by PDL. "
            "It was removed but the subsequent reconfiguration failed.");
  EXPECT_EQ(ArgTexts(events[0]), std::vector<std::string>{"ds1"});
  EXPECT_FALSE(events[0].deferred);
  std::string log = h.Syslog();
  size_t detailLine = log.find("Z: no swap target left\n");  // on a line of its own, after the event's
  ASSERT_NE(detailLine, std::string::npos) << log;
  EXPECT_LT(log.find("[nox.problem.swap.systemSwap.isPDL.removed.reconfig.failure.2]"), detailLine);

  // Mounted file systems that cannot be listed: each event names "(unknown)", the failure is logged once.
  h.WriteHostModel(std::string(kFileSystems) + "swap fail \"no swap target left\"\nfail filesystems\n");
  for (int i = 0; i < 2; i++) {
    h.Send("kel.swap.systemSwap.isPDL.removed",
           "System swap at path %s was affected by the Permanent Device Loss of its datastore and was removed.",
           {KelArg::Str("/glfs/volumes/ds1/sys.swp")});
  }
  events = h.Take();
  ASSERT_EQ(events.size(), 2u);
  for (const PostedEvent &e : events) EXPECT_EQ(ArgTexts(e), std::vector<std::string>{"(unknown)"});
  EXPECT_EQ(Count(h.Syslog(), "Cannot read the mounted file systems"), 1u) << h.Syslog();
}

// Sends `lines`, then lets `idleSeconds` pass, in a process of its own: the correlator ends that process with its
// verdict, passed on as this process's exit status once the harness's root is removed.
[[noreturn]] void RunSelfTest(const Lines &lines, int64_t idleSeconds) {
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
  [[maybe_unused]] int rc = system(("rm -rf '" + h.Root() + "'").c_str());
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 101);
}

TEST(KeldTestCorrelator, ExitStatusCountsFailures) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Lines run;
  std::string error;
  ASSERT_TRUE(KelScenario_ParseFile(TestDataPath("keldtest_run.scenario"), &run, &error)) << error;
  ASSERT_EQ(run.size(), 21u);
  auto marker = [](std::string id) { return KelScenarioLine{0, 0, "kel.tests.marker." + id, "marker", {}}; };
  const KelScenarioLine start = marker("start"), end = marker("end");
  auto with = [&](Lines l, Lines b) { l.insert(l.begin(), b.begin(), b.end()); l.push_back(end); return l; };
  Lines wrongMessage = run, wrongValue = run, wrongKind = run, extra = run;
  wrongMessage[0].format = "this is an observation with no data!";
  wrongValue[4].args[2] = KelArg::I64(-1);  // the message and both Kel_GetArgs reads differ
  // A string row carrying an integer: the message, the string, the unexpected integer and Kel_GetArgs all fail.
  wrongKind[6].format = "this is an observation with a string parameter: %d";
  wrongKind[6].args = {KelArg::I32(5)};
  extra.push_back(run[0]);
  struct { const char *name; Lines lines; int64_t idleSeconds; int status; } cases[] = {
      {"clean run, an early observation ignored", with(run, {run[0], start}), 0, 0},
      {"no test observations", {start, end}, 0, 1},
      {"wrong message", with(wrongMessage, {start}), 0, 1},
      {"wrong integer value", with(wrongValue, {start}), 0, 3},
      {"integer instead of string", with(wrongKind, {start}), 0, 4},
      {"duplicate start", with(run, {start, start}), 0, 1},
      {"a 22nd observation", with(extra, {start}), 0, 1},
      {"corrupt window", with(run, {start, marker("corruptions.start"), run[0], marker("corruptions.end")}), 0, 1},
      {"timeout", {start, run[0]}, 5, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(RunSelfTest(c.lines, c.idleSeconds), testing::ExitedWithCode(c.status), "");
  }
}

}  // namespace
