// The self-test correlator ("KeldTest"), started only with the extra agents.
// On its first observation it exercises event posting once; then it checks a
// run of test observations, sent between a start and an end marker, against
// the table of what the test sender emits, prints its findings to standard
// output, and ends the process with the number of failures as exit status.
//
// State: the run state belongs to the correlator's thread; the failure count
// is also incremented by the timeout callback on the timer thread, so it is
// atomic. The timeout callback touches nothing else.
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "agents/keldTimer.h"
#include "correlators/keldRows.h"
#include "platform/sysLog.h"
#include "selftest/keldSelftest.h"

namespace {

constexpr uint32_t kTimeoutSeconds = 5;
constexpr size_t kHugeStringBytes = 10485760;

// Which Kel_GetArgs reads a row is also checked with.
enum class GetArgsCheck { kNone, kIntegers, kUnsigned, kStrings };

struct ExpectedObservation {
  const char *id;
  const char *message;
  uint32_t strings;   // string arguments, from index 0
  uint32_t integers;  // integer arguments, from index 0
  GetArgsCheck check;
  const char *texts[2];  // the string arguments, for kStrings
};

const ExpectedObservation kExpected[] = {
    {"kel.tests.async.noData", "this is an observation with no data", 0, 0, GetArgsCheck::kNone, {}},
    {"kel.tests.async.withPath", "this is an observation with a complicated /a/fake/path${path} path.", 1, 0,
     GetArgsCheck::kNone, {}},
    {"kel.tests.async.withLog", "this is an ob with an associated Log message.", 0, 0, GetArgsCheck::kNone, {}},
    {"kel.tests.async.withWarn", "this is an ob with an associated Warn message.", 0, 0, GetArgsCheck::kNone, {}},
    {"kel.tests.async.withIntParams",
     "this is an observation with integer parameters. -559038737, deadbeef, -2401053088876216593", 0, 3,
     GetArgsCheck::kIntegers, {}},
    {"kel.tests.async.withUintParams",
     "this is an observation with unsigned integer parameters. 3735928559, deadbeef, 16045690984833335023", 0, 3,
     GetArgsCheck::kUnsigned, {}},
    {"kel.tests.async.withStringParams", "this is an observation with a string parameter: some string", 1, 0,
     GetArgsCheck::kStrings, {"some string"}},
    {"kel.tests.async.withLongStringParam",
     "this is an observation with a string parameter: some looong long long long long long string", 1, 0,
     GetArgsCheck::kStrings, {"some looong long long long long long string"}},
    {"kel.tests.async.withLongStringParams",
     "this is an observation with a string parameter: some looong long long long long long string and another: "
     "some string",
     2, 0, GetArgsCheck::kStrings, {"some looong long long long long long string", "some string"}},
    {"kel.tests.corrupt.format.empty", "", 0, 0, GetArgsCheck::kNone, {}},
    {"kel.tests.corrupt.format.doublepercent", "%", 0, 0, GetArgsCheck::kNone, {}},
    {"kel.tests.corrupt.format.s.zeros", "", 1, 0, GetArgsCheck::kNone, {}},
    {"kel.tests.corrupt.format.s.zero3", "000", 1, 0, GetArgsCheck::kNone, {}},
    {"kel.tests.corrupt.format.tag.invalid1", "0${", 0, 1, GetArgsCheck::kNone, {}},
    {"kel.tests.corrupt.format.tag.invalid2", "0${asdf", 0, 1, GetArgsCheck::kNone, {}},
    {"kel.tests.corrupt.format.tag.nestedInval", "0${a0{df}", 0, 2, GetArgsCheck::kNone, {}},
    {"kel.tests.corrupt.format.tag.ugly", "0${009__.asdf}", 0, 1, GetArgsCheck::kNone, {}},
    {"kel.tests.corrupt.format.tag.vugly", "0${009__.asdf=bar=baz=foof}", 0, 1, GetArgsCheck::kNone, {}},
    {"kel.tests.corrupt.format.tag.assign.inval", "0${=invalid}", 0, 1, GetArgsCheck::kNone, {}},
    {"kel.tests.corrupt.format.tag.notreally", "%${ignore}", 0, 0, GetArgsCheck::kNone, {}},
    {"kel.tests.corrupt.format.tag.notreally2", "%${=ignore}", 0, 0, GetArgsCheck::kNone, {}},
};
constexpr uint32_t kExpectedCount = sizeof kExpected / sizeof kExpected[0];

struct RunState {
  bool postingTestsRan = false;
  bool runOpen = false;
  bool corruptWindowOpen = false;
  uint32_t received = 0;  // test observations of the open run
  int32_t timerId = -1;
};

RunState &State() {
  static RunState state;
  return state;
}

std::atomic<int32_t> gFailures{0};

void Say(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char *format, ...) {
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  fflush(stdout);
}

std::string Printed(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string Printed(const char *format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

// Ends the process without running exit handlers, which would tear down state
// that the other agents are still using; the log lines that agents hold are
// written first. The status is 8 bits wide, so a count above 255 is reported
// as 255 rather than wrapping (256 would read as success).
[[noreturn]] void Finish() {
  SysLog_FlushAll();
  fflush(stdout);
  int32_t failures = gFailures.load();
  _exit(failures > 255 ? 255 : failures);
}

void OnTimeout(void) {
  Say("FAIL: Timeout.  Waited %u seconds, but got no kels.\n", kTimeoutSeconds);
  gFailures++;
  Finish();
}

void RunPostingTests() {
  Say("INFO: Testing VProb_PostProblem.\n");
  VPROB_POST(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.keldtestcorrelator.test.0", "No args"));
  VPROB_POST(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.keldtestcorrelator.test.1d", "%d args"), 1);
  VPROB_POST(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.keldtestcorrelator.test.1s", "%s args"), "one");
  // Arguments and an identifier far beyond what an event can carry: both are
  // dropped by the event output, which must survive them.
  std::unique_ptr<char[]> huge(new (std::nothrow) char[kHugeStringBytes]);
  if (!huge) {
    Say("FAIL: Unable to allocate %zu bytes for 'hugestr'\n", kHugeStringBytes);
    gFailures++;
  } else {
    memset(huge.get(), 'x', kHugeStringBytes - 1);
    huge[kHugeStringBytes - 1] = '\0';
    VPROB_POST(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.keldtestcorrelator.test.hugestr", "Huge string %s"),
               huge.get());
    Keld_PostProblem(huge.get(), "Huge ID");
  }
  Say("INFO: Testing VProb_PostAudit.\n");
  VPROB_POST(0, VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.keldtestcorrelator.test", "%s (%d) args"), "Two", 2);
  Say("INFO: Testing VProb_PostClear.\n");
  VPROB_POST(0, VPROB_CLEAR, VPROB_TEMPLATE("nox.clear.keldtestcorrelator.test", "%s (%d) %ss"), "Three", 3,
             "arg");
  Say("INFO: Vprob tests completed\n");
}

// --- Checks of one test observation; each returns its number of failures ----

uint32_t ReportGetArgs(const char *id, const char *format, uint32_t status, const std::string &got,
                       const char *want) {
  if (status != 0) {
    Say("FAIL: Kel_GetArgs failed for KEL %s: %s\n", id, Printed("\"%s\" returned %u", format, status).c_str());
    return 1;
  }
  if (got != want) {
    Say("FAIL: Kel_GetArgs failed for KEL %s: %s\n", id,
        Printed("\"%s\" read '%s', expected '%s'", format, got.c_str(), want).c_str());
    return 1;
  }
  Say("PASS: Kel_GetArgs \"%s\" for KEL %s: %s\n", format, id, got.c_str());
  return 0;
}

uint32_t CheckGetArgs(Observation obs, const char *id, const ExpectedObservation &row) {
  uint32_t failed = 0;
  switch (row.check) {
    case GetArgsCheck::kNone:
      break;
    case GetArgsCheck::kIntegers:
      for (const char *format : {"%d %x %ld", "%10d %10x %10ld"}) {
        int32_t d = 0;
        uint32_t x = 0;
        int64_t ld = 0;
        uint32_t status = Kel_GetArgs(obs, 0, format, &d, &x, &ld);
        failed += ReportGetArgs(id, format, status, Printed("%d %x %ld", d, x, static_cast<long>(ld)),
                                "-559038737 deadbeef -2401053088876216593");
      }
      break;
    case GetArgsCheck::kUnsigned: {
      uint32_t u = 0, x = 0;
      uint64_t lu = 0;
      uint32_t status = Kel_GetArgs(obs, 0, "%u %x %lu", &u, &x, &lu);
      failed += ReportGetArgs(id, "%u %x %lu", status, Printed("%u %x %lu", u, x, static_cast<unsigned long>(lu)),
                              "3735928559 deadbeef 16045690984833335023");
      break;
    }
    case GetArgsCheck::kStrings:
      for (uint32_t i = 0; i < row.strings; i++) {
        Text text = nullptr;
        uint32_t status = Kel_GetArgs(obs, i, "%p", &text);
        failed += ReportGetArgs(id, "%p", status, TextOrNull(text), row.texts[i]);
      }
      break;
  }
  return failed;
}

// Arguments 0..expected-1 must read as `kind`; with none expected, argument 0
// must not.
template <typename Read>
uint32_t CheckIndexed(const char *id, const char *kind, uint32_t expected, Read read) {
  uint32_t failed = 0;
  for (uint32_t i = 0; i < expected; i++) {
    if (!read(i)) {
      Say("FAIL: %s argument %u of KEL %s cannot be read\n", kind, i, id);
      failed++;
    }
  }
  if (expected == 0 && read(0)) {
    Say("FAIL: KEL %s has a %s argument 0, but none was expected\n", id, kind);
    failed++;
  }
  return failed;
}

uint32_t CheckRow(Observation obs, const char *id, const ExpectedObservation &row) {
  uint32_t failed = 0;
  if (!Kel_IsID(id, row.id)) {
    Say("FAIL: Expected kelId = '%s'; Got '%s'\n", row.id, id);
    failed++;
  }
  char *message = nullptr;
  Kel_GetMsg(obs, &message, nullptr);
  if (message == nullptr || strcmp(message, row.message) != 0) {
    Say("FAIL: Expected msg = '%s'; Got '%s'\n", row.message, TextOrNull(message));
    failed++;
  }
  free(message);
  failed += CheckIndexed(id, "string", row.strings, [&](uint32_t i) {
    const char *text = nullptr;
    return Kel_GetStringArg(obs, i, &text) == 0;
  });
  failed += CheckIndexed(id, "integer", row.integers, [&](uint32_t i) {
    int64_t value = 0;
    return Kel_GetIntArg(obs, i, &value) == 0;
  });
  return failed + CheckGetArgs(obs, id, row);
}

// --- Markers -------------------------------------------------------------------

void OnStartMarker(const char *id) {
  RunState &state = State();
  if (state.runOpen) {
    Say("FAILURE: Duplicate test start kels?!\n");
    gFailures++;
    return;
  }
  Say("INFO: Received 'test start' kel: %s\n", id);
  state.runOpen = true;
  state.received = 0;
  if (state.timerId < 0) state.timerId = Timer_Register(OnTimeout);
  if (state.timerId < 0) {
    Say("FAIL: Failed to set alarm handler\n");
    gFailures++;
    Finish();
  }
  Say("INFO: Alarm handler ready\n");
}

[[noreturn]] void OnEndMarker() {
  RunState &state = State();
  if (!state.runOpen) Say("FAILURE: Received END without matching start!\n");
  state.runOpen = false;
  if (state.received != kExpectedCount) {
    Say("FAIL: No. of tests = %zu, but received only %u kels.\n", static_cast<size_t>(kExpectedCount),
        state.received);
    gFailures++;
  }
  Say("INFO: Tests completed. Failures = %d\n", gFailures.load());
  Finish();
}

void OnTestObservation(Observation obs) {
  RunState &state = State();
  if (!state.postingTestsRan) {
    state.postingTestsRan = true;
    RunPostingTests();
  }
  const char *id = ObservationId(obs);
  Say("INFO: Got kel: %s\n", id);
  if (state.timerId >= 0) Timer_Arm(state.timerId, 0, 0, nullptr);

  if (Kel_IsID(id, "kel.tests.marker.start")) {
    OnStartMarker(id);
  } else if (Kel_IsID(id, "kel.tests.marker.end")) {
    OnEndMarker();
  } else if (Kel_IsID(id, "kel.tests.marker.corruptions.start")) {
    state.corruptWindowOpen = true;
    Say("INFO: Start corrupt KELs window.\n");
  } else if (Kel_IsID(id, "kel.tests.marker.corruptions.end")) {
    state.corruptWindowOpen = false;
    Say("INFO: End corrupt KELs window.\n");
  } else if (!state.runOpen) {
    Say("WARNING: received kel %s before test 'START' kel. (Ignoring.)\n", id);
  } else if (state.received >= kExpectedCount) {
    Say("FAIL: More KELs receieved than expected! kelId = '%s'.  Did more get added to the testworld?\n", id);
    gFailures++;
    Finish();
  } else if (state.corruptWindowOpen) {
    Say("FAIL: Kel %s received, but should get nothing during the corrupt kel window.  Dropping.\n", id);
    gFailures++;
  } else {
    uint32_t failed = CheckRow(obs, id, kExpected[state.received]);
    gFailures += static_cast<int32_t>(failed);
    if (failed == 0) Say("PASS: [%u]: %s\n", state.received, id);
    state.received++;
  }
  // An open run is always guarded: if nothing follows within the timeout,
  // the run ends as failed instead of waiting forever.
  if (state.runOpen) Timer_Arm(state.timerId, 0, kTimeoutSeconds, nullptr);
}

HandlerTable BuildTable() { return {}; }

}  // namespace

const CorrelatorDef &KeldTestCorrelator_Def(void) {
  static const CorrelatorDef def = {"KeldTest", {"tests"}, OnTestObservation, BuildTable, nullptr, nullptr, nullptr};
  return def;
}
