// Event composition, the rate limit and the retry queue, under the fake clock, with a sink in place of hubd.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>

#include "agents/keldTimer.h"
#include "correlators/keldToolkit.h"
#include "events/keldVprob.h"
#include "intake/keldShutdown.h"
#include "platform/clock.h"
#include "testRoot.h"
#include "vprobRecordReader.h"

namespace {

class VProbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.WriteFile("/etc/hostsim.conf", "uuid 564d0c1e-4a6b-7e2f-9a3c-0123456789ab\n");
    Timer_ResetForTest();
    VProb_ResetForTest();
    VProbInit();
    sink_.send = [](void *ctx, const uint8_t *rec, size_t len) {
      auto *self = static_cast<VProbTest *>(ctx);
      self->attempts_++;
      if (self->hubdUp_) self->sent_.emplace_back(rec, rec + len);
      return self->hubdUp_ ? 0 : -1;
    };
    sink_.ctx = this;
    VProb_SetSink(&sink_);
  }
  void TearDown() override { VProb_SetSink(nullptr); }
  void Advance(int seconds) { for (int i = 0; i < seconds; i++) { clock_.AdvanceSeconds(1); Timer_FireDue(); } }
  std::string Syslog() { return root_.ReadFile("/var/log/syslog"); }
  size_t Count(const std::string &needle) {
    std::string log = Syslog();
    size_t n = 0;
    for (size_t p = log.find(needle); p != std::string::npos; p = log.find(needle, p + 1)) n++;
    return n;
  }
  TestRoot root_;
  FakeClock clock_{1800000000};
  VProbSink sink_{};
  bool hubdUp_ = true;
  int attempts_ = 0;
  std::vector<std::vector<uint8_t>> sent_;
};

uint32_t U32(const std::vector<uint8_t> &r, size_t off) { uint32_t v; memcpy(&v, r.data() + off, 4); return v; }

TEST_F(VProbTest, RecordLayoutAndSizeLimits) {
  VProb_Post(0, VPROB_AUDIT, VPROB_TEMPLATE("nox.audit.a.b", "Text %d and %s"), 5, "xy");
  ASSERT_EQ(sent_.size(), 1u);
  const std::vector<uint8_t> &r = sent_[0];
  EXPECT_EQ(U32(r, 64), 14u);  // "nox.audit.a.b" and its NUL
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(r.data() + 68)), "nox.audit.a.b");
  EXPECT_EQ(r.size(), 72u + 14u + 2 * 32u + 3u);  // two 32-byte argument records, "xy" and its NUL
  for (size_t i = r.size() - 4; i < r.size(); i++) EXPECT_EQ(r[i], 0) << "slack byte " << i;
  EXPECT_EQ(r[54] | r[55], 0) << "header padding";
  VProbRecordDecoded d;
  std::string error;
  ASSERT_TRUE(VProbRecord_Decode(r.data(), r.size(), &d, &error)) << error;
  EXPECT_EQ(d.uuid, "564d0c1e-4a6b-7e2f-9a3c-0123456789ab");
  EXPECT_EQ(d.time, clock_.Micros());
  EXPECT_EQ(d.args, (std::vector<VProbArg>{int64_t{5}, std::string("xy")}));
  EXPECT_EQ(Count("[nox.audit.a.b] Text 5 and xy\n"), 1u);
  // Identifiers of up to 128 characters; a long argument grows the buffer.
  std::string id128 = "nox.problem." + std::string(116, 'a');
  VProb_Post(0, VPROB_PROBLEM, (VPROB_MARKER + id128 + ")x").c_str());
  VProb_Post(0, VPROB_PROBLEM, (VPROB_MARKER + id128 + "b)x").c_str());
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(U32(sent_[1], 64), 129u);
  std::string big(5000, 'z'), huge(20000, 'z');
  VProb_Post(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.big", "%s"), big.c_str());
  ASSERT_EQ(sent_.size(), 3u);
  ASSERT_TRUE(VProbRecord_Decode(sent_[2].data(), sent_[2].size(), &d, &error)) << error;
  EXPECT_EQ(std::get<std::string>(d.args.at(0)), big);
  VProb_Post(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.big", "%s"), huge.c_str());  // beyond the largest buffer
  EXPECT_EQ(sent_.size(), 3u);
}

TEST_F(VProbTest, RateLimitWindow) {
  for (int i = 0; i < 1000; i++) VProb_Post(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.x", "n"));
  EXPECT_EQ(sent_.size(), 1000u);
  Advance(59);
  VProb_Post(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.x", "n"));
  EXPECT_EQ(sent_.size(), 1000u);
  EXPECT_EQ(Count("Event rate limit reached. Dropping vprob: nox.problem.x\n"), 1u);
  Advance(1);  // 60 seconds after the window's first event
  VProb_Post(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.x", "n"));
  EXPECT_EQ(sent_.size(), 1001u);
}

TEST_F(VProbTest, HubdDownRetriesFiveTimesThenAbandonsAndANewQueueingRearms) {
  hubdUp_ = false;
  VProb_Post(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.x", "n"));
  Advance(100);
  VProb_Post(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.y", "n"));
  EXPECT_EQ(VProb_QueueLength(), 2u);
  for (int failures = 2; failures <= 5; failures++) {
    Advance(failures == 2 ? 80 : 180);  // passes at 180, 360, 540, 720 s
    std::string older = "Failed to send event (nox.problem.x); " + std::to_string(failures) + " failures so far.";
    std::string newer = "Failed to send event (nox.problem.y" + older.substr(older.find(')'));
    EXPECT_EQ(Count(older), 1u);
    EXPECT_EQ(Count(newer), 1u);
    EXPECT_LT(Syslog().find(older), Syslog().find(newer));  // the older first
  }
  Advance(179);
  EXPECT_EQ(Count("Abandoned"), 0u);
  Advance(1);  // 900 seconds after the first queueing
  EXPECT_EQ(Count("Abandoned event (nox.problem.x) after 6 failures.\n"), 1u);
  EXPECT_EQ(Count("Abandoned event (nox.problem.y) after 6 failures.\n"), 1u);
  EXPECT_EQ(VProb_QueueLength(), 0u);
  int before = attempts_;
  Advance(400);
  EXPECT_EQ(attempts_, before);  // the timer stays disarmed
  // A deferred event re-arms it without an attempt; a refused one joins; hubd is back by the pass.
  VProb_Post(1, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.d", "n"));
  EXPECT_EQ(attempts_, before);
  EXPECT_EQ(Count("An event (nox.problem.d) could not be sent immediately to hubd; queueing for retry."), 1u);
  VProb_Post(0, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.z", "n"));
  hubdUp_ = true;
  Advance(180);
  EXPECT_EQ(sent_.size(), 2u);
  EXPECT_EQ(Count("Successfully sent event (nox.problem.d) after 1 failure.\n"), 1u);
  EXPECT_EQ(Count("Successfully sent event (nox.problem.z) after 1 failure.\n"), 1u);
}

// With the retry worker running, a pass stuck on hubd holds back neither the
// timers nor the daemon's stop: the pass leaves the rest of the queue alone
// once the shutdown has begun.
TEST_F(VProbTest, StuckRetryPassRunsBesideTheTimersAndStopsAtShutdown) {
  struct Stuck {
    std::mutex lock;
    std::condition_variable cond;
    int attempts = 0;
    bool released = false;
  } stuck;
  VProbSink blocking{[](void *ctx, const uint8_t *, size_t) {
                       auto *st = static_cast<Stuck *>(ctx);
                       std::unique_lock<std::mutex> guard(st->lock);
                       st->attempts++;
                       st->cond.notify_all();
                       st->cond.wait(guard, [st] { return st->released; });
                       return -1;
                     },
                     nullptr, &stuck, nullptr};
  VProb_Post(1, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.first", "n"));
  VProb_Post(1, VPROB_PROBLEM, VPROB_TEMPLATE("nox.problem.second", "n"));
  static std::atomic<int> otherFired{0};
  otherFired = 0;
  Timer_Arm(Timer_Register([] { otherFired++; }), 0, VPROB_RETRY_SECONDS, nullptr);
  VProb_SetSink(&blocking);
  VProb_StartRetryWorker();
  Advance(VPROB_RETRY_SECONDS);  // both timers due: the pass goes to the worker
  EXPECT_EQ(otherFired, 1);
  {
    std::unique_lock<std::mutex> guard(stuck.lock);
    ASSERT_TRUE(stuck.cond.wait_for(guard, std::chrono::seconds(10), [&] { return stuck.attempts == 1; }));
    Shutdown_Begin();
    stuck.released = true;
    stuck.cond.notify_all();
  }
  VProb_StopRetryWorker();
  Shutdown_ResetForTest();
  EXPECT_EQ(stuck.attempts, 1);  // the second event was not tried
  EXPECT_EQ(VProb_QueueLength(), 2u);
  EXPECT_EQ(Count("Failed to send event (nox.problem.first); 2 failures so far.\n"), 1u);
}

TEST(ObservationArgs, FormatReduction) {
  struct { const char *format, *reduced; } cases[] = {  // reduced: nullptr where the format is refused (22)
      {"%-08lu", "%lu"}, {"System swap at path %s was removed after %lu seconds (%#x)", "%p%lu%x"},
      {"100%% of %X and %hhd", "%x%hhd"}, {"%5.2f", nullptr}, {"%p", nullptr}, {"ends in %", nullptr}, {"%l", nullptr}};
  for (const auto &c : cases) {
    char out[64] = "";
    EXPECT_EQ(VProb_ReduceFormat(c.format, out, sizeof out), c.reduced ? 0u : 22u) << c.format;
    EXPECT_STREQ(c.reduced ? out : nullptr, c.reduced) << c.format;
  }
  char tiny[3];
  EXPECT_EQ(VProb_ReduceFormat("%s%s", tiny, sizeof tiny), 22u);  // would not fit
}

}  // namespace
