// The correlator frame on a real agent thread: handlers that throw, and
// wake-ups handled after the observation of the same wait.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "kelRecord.h"
#include "keldAgent.h"
#include "keldCorrelator.h"
#include "keldStream.h"

namespace {

std::mutex gMu;
std::condition_variable gCv;
std::vector<std::string> gSeen;
bool gRegistered = false;
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
  if (name == "kel.frame.first") {
    {
      std::unique_lock<std::mutex> g(gMu);
      gRegistered = true;
      gCv.notify_all();
      // Hold the thread until the test has queued an observation and both
      // wake-ups, so that the next wait sees all three at once.
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
  return {{"kel.frame.first", Handler}, {"kel.frame.second", Handler}, {"kel.frame.throws", Handler}};
}

int FrameWakeFd() { return gWake[0]; }

const CorrelatorDef kFrame = {"frame", {"frame"}, Unhandled_Ignore, FrameTable, nullptr, FrameWakeFd, Wake};

TEST(CorrelatorFrame, ThrowingHandlerAndWakeupOrder) {
  ASSERT_EQ(StreamRegistry_Init(), 0);
  ASSERT_EQ(pipe(gWake), 0);
  Agent_Start({nullptr, Correlator_Main, &kFrame});
  // The stream registers asynchronously: publish until the first record lands.
  ASSERT_TRUE([&] {
    for (int i = 0; i < 1000; i++) {
      Publish("kel.frame.first");
      std::unique_lock<std::mutex> g(gMu);
      if (gCv.wait_for(g, std::chrono::milliseconds(10), [] { return gRegistered; })) return true;
    }
    return false;
  }());
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
  std::vector<std::string> tail(gSeen.end() - 2, gSeen.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"kel.frame.second", "wake"}));

  // A handler that throws does not stop the loop.
  Publish("kel.frame.throws");
  Publish("kel.frame.second");
  ASSERT_TRUE(WaitUntil([] { return gSeen.back() == "kel.frame.second" && gSeen.size() >= 4; }));
  Agent_StopAll();
}

}  // namespace
