// The correlator frame: its driver on a real agent thread (handlers that
// throw, wake-ups handled after the observation of the same wait) and
// stepped on the caller's thread, as the replay tool and the harness use it;
// and the registry the daemon starts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "agents/keldAgent.h"
#include "agents/keldCorrelator.h"
#include "correlators/keldCorrelators.h"
#include "intake/keldStream.h"
#include "kelRecord.h"
#include "selftest/keldSelftest.h"
#include "testRoot.h"

namespace {

std::mutex gMu;
std::condition_variable gCv;
std::vector<std::string> gSeen;
bool gRegistered = false;
bool gHeld = false;
bool gReleaseFirst = false;
int gWake[2];

void Record(const std::string &what) {
  std::lock_guard<std::mutex> g(gMu);
  gSeen.push_back(what);
  gCv.notify_all();
}

template <typename Pred>
bool WaitUntil(Pred pred) {
  std::unique_lock<std::mutex> g(gMu);
  return gCv.wait_for(g, std::chrono::seconds(10), pred);
}

void Publish(const std::string &id) {
  std::vector<uint8_t> r = KelRecord_Build(id, "x", {}, 1);
  ASSERT_EQ(Stream_Publish(r.data(), static_cast<int32_t>(r.size())), 0);
}

void Handler(Observation obs) {
  const char *id = nullptr;
  Kel_GetID(obs, &id);
  std::string name = id;
  if (name == "kel.frame.probe") {
    std::lock_guard<std::mutex> g(gMu);
    gRegistered = true;
    gCv.notify_all();
    return;
  }
  if (name == "kel.frame.first") {
    {
      std::unique_lock<std::mutex> g(gMu);
      gHeld = true;
      gCv.notify_all();
      // Hold the thread until the test has queued an observation and a
      // wake-up, so that the next wait sees both at once.
      gCv.wait(g, [] { return gReleaseFirst; });
    }
    Record(name);
    return;
  }
  if (name == "kel.frame.throws") throw std::runtime_error("dropped by the frame");
  Record(name);
}

void Wake() { Record("wake"); }

HandlerTable FrameTable() {
  return {{"kel.frame.probe", Handler},
          {"kel.frame.first", Handler},
          {"kel.frame.second", Handler},
          {"kel.frame.throws", Handler}};
}

int FrameWakeFd() { return gWake[0]; }

const CorrelatorDef kFrame = {"frame", {"frame"}, Unhandled_Ignore, FrameTable, nullptr, FrameWakeFd, Wake};

TEST(CorrelatorFrame, ThrowingHandlerAndWakeupOrder) {
  ASSERT_EQ(StreamRegistry_Init(), 0);
  ASSERT_EQ(pipe(gWake), 0);
  Agent_Start({nullptr, Correlator_Main, &kFrame});
  // The stream registers asynchronously: publish probes until one lands
  // (those that follow it are handled before the next record).
  ASSERT_TRUE([&] {
    for (int i = 0; i < 1000; i++) {
      Publish("kel.frame.probe");
      std::unique_lock<std::mutex> g(gMu);
      if (gCv.wait_for(g, std::chrono::milliseconds(10), [] { return gRegistered; })) return true;
    }
    return false;
  }());
  Publish("kel.frame.first");
  ASSERT_TRUE(WaitUntil([] { return gHeld; }));
  Publish("kel.frame.second");
  ASSERT_EQ(write(gWake[1], "foo", 4), 4);
  {
    std::lock_guard<std::mutex> g(gMu);
    gReleaseFirst = true;
    gCv.notify_all();
  }
  ASSERT_TRUE(WaitUntil([] { return gSeen.size() >= 3; }));
  // The observation read in a wait is handled before the wake-up of that
  // wait, which gives one callback.
  EXPECT_EQ(gSeen, (std::vector<std::string>{"kel.frame.first", "kel.frame.second", "wake"}));

  // A handler that throws does not stop the loop.
  Publish("kel.frame.throws");
  Publish("kel.frame.second");
  ASSERT_TRUE(WaitUntil([] { return gSeen.back() == "kel.frame.second" && gSeen.size() >= 4; }));
  Agent_StopAll();
}

std::vector<std::pair<std::string, uint64_t>> gStepped;
int gStepWake[2] = {-1, -1};
int gStepWakes = 0;

void Stepped(Observation obs) {
  const char *id = nullptr;
  uint64_t time = 0;
  Kel_GetID(obs, &id);
  Kel_GetTimestamp(obs, &time);
  gStepped.emplace_back(id, time);
}

HandlerTable StepTable() { return {{"kel.step.seen", Stepped}}; }
bool StepSetup() { return pipe(gStepWake) == 0; }
int StepWakeFd() { return gStepWake[0]; }
void StepWake() { gStepWakes++; }
const CorrelatorDef kStep = {"step", {"step"}, Unhandled_Ignore, StepTable, StepSetup, StepWakeFd, StepWake};

TEST(CorrelatorDriver, StepsRecordsAndWakeupsOnTheCallersThread) {
  TestRoot root;
  gStepped.clear();
  gStepWakes = 0;
  CorrelatorDriver driver(kStep);
  ASSERT_TRUE(driver.Ready());
  ASSERT_EQ(driver.WakeFd(), gStepWake[0]);
  // A record is fed with the caller's time stamp, whatever it carried; an ID
  // without a handler goes to the unhandled variant; bytes that make no
  // observation are refused.
  std::vector<uint8_t> seen = KelRecord_Build("kel.step.seen", "x", {}, 1);
  std::vector<uint8_t> other = KelRecord_Build("kel.step.other", "x", {}, 1);
  EXPECT_TRUE(driver.FeedRecord(seen.data(), seen.size(), 42));
  EXPECT_TRUE(driver.FeedRecord(other.data(), other.size(), 43));
  EXPECT_FALSE(driver.FeedRecord(seen.data(), 5, 44));
  EXPECT_FALSE(driver.FeedRecord(seen.data(), 0, 44));
  EXPECT_EQ(gStepped, (std::vector<std::pair<std::string, uint64_t>>{{"kel.step.seen", 42}}));
  // One callback per signal, none without one, and never a wait.
  EXPECT_FALSE(driver.RunWakeup());
  ASSERT_EQ(write(gStepWake[1], "x", 1), 1);
  EXPECT_TRUE(driver.RunWakeup());
  EXPECT_FALSE(driver.RunWakeup());
  EXPECT_EQ(gStepWakes, 1);
  close(gStepWake[0]);
  close(gStepWake[1]);
}

TEST(CorrelatorRegistry, HoldsTheDaemonsCorrelatorsOnceAndNotTheSelfTest) {
  std::set<std::string> names;
  for (const CorrelatorDef *def : Correlators_All()) names.insert(def->name);
  EXPECT_EQ(names.size(), 21u);
  EXPECT_EQ(Correlators_All().size(), 21u);
  EXPECT_EQ(names.count(KeldTestCorrelator_Def().name), 0u);
}

}  // namespace
