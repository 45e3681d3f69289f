// Faults not shown end to end in real time: hubd down and back before the
// retry pass (180 s away), and an agent killed by a non-standard exception.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "agents/keldAgent.h"
#include "agents/keldCorrelator.h"
#include "agents/keldTimer.h"
#include "events/keldVprob.h"
#include "intake/keldStream.h"
#include "kelRecord.h"
#include "platform/clock.h"
#include "testRoot.h"
#include "vprobRecordReader.h"

namespace {

using namespace std::chrono_literals;

// hubd played by a sink that refuses while `up` is false and keeps the IDs it takes, in order.
struct Hubd {
  bool up = false;
  std::vector<std::string> ids;
  VProbSink sink{Take, nullptr, this, nullptr};
  Hubd() { VProb_SetSink(&sink); }
  ~Hubd() { VProb_SetSink(nullptr); }
  static int Take(void *ctx, const uint8_t *record, size_t length) {
    VProbRecordDecoded d;
    std::string error;
    if (!static_cast<Hubd *>(ctx)->up || !VProbRecord_Decode(record, length, &d, &error)) return -1;
    static_cast<Hubd *>(ctx)->ids.push_back(d.id);
    return 0;
  }
};

// Polls `cond` until it holds or `timeout` passes.
template <typename Cond>
bool WaitFor(Cond cond, std::chrono::milliseconds timeout = 10s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!cond() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  return cond();
}

TEST(HubdOutage, EveryQueuedEventArrivesInOrderAtTheNextPass) {
  TestRoot root;
  root.WriteFile("/etc/hostsim.conf", "uuid 564d0c1e-4a6b-7e2f-9a3c-0123456789ab\n");
  FakeClock clock(1800000000);
  Timer_ResetForTest();
  VProb_ResetForTest();
  VProbInit();
  Hubd hubd;
  auto advance = [&](int seconds) {
    clock.AdvanceSeconds(seconds);
    Timer_FireDue();
  };
  // Posted while hubd is down, one every 10 s (120 s in all, before the first pass), some deferred.
  std::vector<std::string> posted;
  for (int i = 0; i < 12; i++) {
    posted.push_back("nox.problem.outage.e" + std::to_string(i));
    VProb_Post(i % 3 == 0 ? 1 : 0, VPROB_PROBLEM, (VPROB_MARKER + posted.back() + ")n %d").c_str(), i);
    advance(10);
  }
  EXPECT_EQ(VProb_QueueLength(), posted.size());
  hubd.up = true;
  advance(59);  // the pass is 180 s after the first queueing
  EXPECT_TRUE(hubd.ids.empty());
  advance(1);
  EXPECT_EQ(hubd.ids, posted);
  EXPECT_EQ(VProb_QueueLength(), 0u);
  VProb_Post(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.outage.after", "n"));  // goes out at once
  posted.push_back("nox.problem.outage.after");
  EXPECT_EQ(hubd.ids, posted);
}

TEST(AgentGuard, AgentEndedByANonStandardExceptionNoLongerHoldsTheIntake) {
  TestRoot root;
  ASSERT_EQ(StreamRegistry_Init(), 0);
  // Its handler throws an int, not a standard exception.
  static const CorrelatorDef faulty = {"faulty", {"faulty"}, Unhandled_Ignore, [] {
    return HandlerTable{{"kel.faulty.boom", [](Observation) { throw 7; }}};
  }, nullptr, nullptr, nullptr};
  Agent_Start({nullptr, Correlator_Main, &faulty});
  std::vector<uint8_t> boom = KelRecord_Build("kel.faulty.boom", "boom", {}, 1);
  // The stream registers asynchronously: publish until the agent has died.
  ASSERT_TRUE(WaitFor([&] {
    EXPECT_EQ(Stream_Publish(boom.data(), static_cast<int32_t>(boom.size())), 0);
    return root.ReadFile("/var/log/syslog").find("Done cleaning up agent.") != std::string::npos;
  }));
  EXPECT_NE(root.ReadFile("/var/log/syslog").find("Unknown exception in agent function("), std::string::npos);
  // Far more than a pipe holds: were the dead agent's stream still registered, the publisher would block for ever.
  std::vector<uint8_t> big = KelRecord_Build("kel.faulty.boom", "%s", {KelArg::Str(std::string(4000, 'b'))}, 1);
  std::atomic<int> published{0};
  std::thread intake([&] {
    while (published < 1000 && Stream_Publish(big.data(), static_cast<int32_t>(big.size())) == 0) published++;
  });
  if (!WaitFor([&] { return published == 1000; }, 30s)) {
    intake.detach();  // blocked for good: fail without hanging the suite
    FAIL() << "the intake blocked after " << published << " records";
  }
  intake.join();
  Agent_StopAll();
}

}  // namespace
