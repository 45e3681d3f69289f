// Faults that cannot be shown end to end in real time: hubd down for a
// while and back before the retry pass (the pass is 180 s away), and an
// agent whose handler throws something that is not a standard exception.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "clock.h"
#include "kelRecord.h"
#include "keldAgent.h"
#include "keldCorrelator.h"
#include "keldStream.h"
#include "keldTimer.h"
#include "keldVprob.h"
#include "testRoot.h"
#include "vprobRecordReader.h"

namespace {

// hubd played by a sink that refuses while `up` is false.
struct Hubd {
  bool up = false;
  std::vector<std::string> ids;  // delivered, in order
  VProbSink sink{};
  Hubd() {
    sink.send = [](void *ctx, const uint8_t *record, size_t length) {
      Hubd *self = static_cast<Hubd *>(ctx);
      if (!self->up) return -1;
      VProbRecordDecoded d;
      std::string error;
      if (!VProbRecord_Decode(record, length, &d, &error)) return -1;
      self->ids.push_back(d.id);
      return 0;
    };
    sink.ctx = this;
    VProb_SetSink(&sink);
  }
  ~Hubd() { VProb_SetSink(nullptr); }
};

// Polls `cond` until it holds or `timeout` passes.
template <typename Cond>
bool WaitFor(Cond cond, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void Advance(FakeClock &clock, int seconds) {
  for (int i = 0; i < seconds; i++) {
    clock.AdvanceSeconds(1);
    Timer_FireDue();
  }
}

TEST(HubdOutage, EveryQueuedEventArrivesInOrderAtTheNextPass) {
  TestRoot root;
  root.WriteFile("/etc/hostsim.conf", "uuid 564d0c1e-4a6b-7e2f-9a3c-0123456789ab\n");
  FakeClock clock(1800000000);
  Timer_ResetForTest();
  VProb_ResetForTest();
  VProbInit();
  Hubd hubd;

  // Posted while hubd is down, spread over the first minutes, some deferred.
  std::vector<std::string> posted;
  for (int i = 0; i < 12; i++) {
    std::string id = "nox.problem.outage.e" + std::to_string(i);
    std::string tmpl = VPROB_MARKER + id + ")n %d";
    VProb_Post(i % 3 == 0 ? 1 : 0, VPROB_PROBLEM, tmpl.c_str(), i);
    posted.push_back(id);
    Advance(clock, 10);  // 120 s in all: all before the first pass
  }
  EXPECT_TRUE(hubd.ids.empty());
  EXPECT_EQ(VProb_QueueLength(), posted.size());

  hubd.up = true;
  Advance(clock, 59);  // the pass is 180 s after the first queueing
  EXPECT_TRUE(hubd.ids.empty());
  Advance(clock, 1);
  EXPECT_EQ(hubd.ids, posted);
  EXPECT_EQ(VProb_QueueLength(), 0u);

  // An event after the pass goes out at once.
  VProb_Post(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.outage.after", "n"));
  ASSERT_EQ(hubd.ids.size(), posted.size() + 1);
  EXPECT_EQ(hubd.ids.back(), "nox.problem.outage.after");
}

// --- An agent killed by a non-standard exception ---------------------------------------

struct NotAStandardException {};

void Boom(Observation) { throw NotAStandardException(); }

void FaultyAgent() {
  Correlator_Run("faulty", "faulty", Unhandled_Ignore, {{"kel.faulty.boom", Boom}});
}

TEST(AgentGuard, AgentEndedByANonStandardExceptionNoLongerHoldsTheIntake) {
  TestRoot root;
  ASSERT_EQ(StreamRegistry_Init(), 0);
  Agent_Start(FaultyAgent);
  std::vector<uint8_t> boom = KelRecord_Build("kel.faulty.boom", "boom", {}, 1);
  // The stream registers asynchronously: publish until the agent has died.
  ASSERT_TRUE(WaitFor([&] {
    EXPECT_EQ(Stream_Publish(boom.data(), static_cast<int32_t>(boom.size())), 0);
    return root.ReadFile("/var/log/syslog").find("Done cleaning up agent.") != std::string::npos;
  }));
  EXPECT_NE(root.ReadFile("/var/log/syslog").find("Unknown exception in agent function("), std::string::npos);

  // Far more than a pipe holds. Were the dead agent's stream still
  // registered, the publisher would block on it for ever.
  std::vector<uint8_t> big = KelRecord_Build("kel.faulty.boom", "%s", {KelArg::Str(std::string(4000, 'b'))}, 1);
  std::atomic<int> published{0};
  std::thread intake([&] {
    for (int i = 0; i < 1000; i++) {
      if (Stream_Publish(big.data(), static_cast<int32_t>(big.size())) != 0) break;
      published++;
    }
  });
  bool done = WaitFor([&] { return published == 1000; }, std::chrono::milliseconds(30000));
  if (!done) {
    intake.detach();  // blocked for good: fail without hanging the suite
    FAIL() << "the intake blocked after " << published << " records";
  }
  intake.join();
  Agent_StopAll();
}

}  // namespace
