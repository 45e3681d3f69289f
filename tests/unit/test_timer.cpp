// The timer service in manual mode under the fake clock.
#include <gtest/gtest.h>

#include <vector>

#include "agents/keldTimer.h"
#include "platform/clock.h"

namespace {

std::vector<int> gFired;
int32_t gSelfId = -1;

void FireA() { gFired.push_back(0); }
void FireB() { gFired.push_back(1); }
void RearmSelf() {
  gFired.push_back(2);
  Timer_Arm(gSelfId, 0, 10, nullptr);
}

class TimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Timer_ResetForTest();
    gFired.clear();
  }
  void Advance(int seconds) {
    for (int i = 0; i < seconds; i++) {
      clock.AdvanceSeconds(1);
      Timer_FireDue();
    }
  }
  FakeClock clock{1000000};
};

TEST_F(TimerTest, SixteenIdsThenNone) {
  for (int32_t i = 0; i < TIMER_MAX; i++) EXPECT_EQ(Timer_Register(FireA), i);
  EXPECT_EQ(Timer_Register(FireA), -1);
  EXPECT_EQ(Timer_Arm(0, 2, 5, nullptr), 1u);
  EXPECT_EQ(Timer_Arm(99, 0, 5, nullptr), 1u);
}

TEST_F(TimerTest, OneShotFiresOnceAndRearmReportsTimeLeft) {
  int32_t id = Timer_Register(FireA);
  ASSERT_EQ(Timer_Arm(id, 0, 5, nullptr), 0u);
  Advance(2);
  uint32_t left = 99;
  ASSERT_EQ(Timer_Arm(id, 0, 5, &left), 0u);
  EXPECT_EQ(left, 3u);
  Advance(4);
  EXPECT_TRUE(gFired.empty());
  Advance(1);
  EXPECT_EQ(gFired.size(), 1u);
  Advance(20);
  EXPECT_EQ(gFired.size(), 1u);
  ASSERT_EQ(Timer_Arm(id, 0, 5, &left), 0u);
  EXPECT_EQ(left, 0u);  // disarmed after firing
}

TEST_F(TimerTest, DueTimersFireInIdOrder) {
  int32_t a = Timer_Register(FireA);
  int32_t b = Timer_Register(FireB);
  Timer_Arm(b, 0, 3, nullptr);
  Timer_Arm(a, 0, 3, nullptr);
  Advance(3);
  EXPECT_EQ(gFired, (std::vector<int>{0, 1}));
}

TEST_F(TimerTest, CallbackMayRearmItsOwnTimer) {
  gSelfId = Timer_Register(RearmSelf);
  Timer_Arm(gSelfId, 0, 5, nullptr);
  Advance(5);
  EXPECT_EQ(gFired.size(), 1u);
  Advance(9);
  EXPECT_EQ(gFired.size(), 1u);
  Advance(1);
  EXPECT_EQ(gFired.size(), 2u);
}

TEST_F(TimerTest, PeriodicDeadlineCountsFromEachNoticing) {
  int32_t id = Timer_Register(FireA);
  Timer_Arm(id, 1, 60, nullptr);
  clock.AdvanceSeconds(65);  // noticed 5 seconds late
  EXPECT_EQ(Timer_FireDue(), 1);
  Advance(59);
  EXPECT_EQ(gFired.size(), 1u);
  Advance(1);  // 65 + 60: lateness is not made up
  EXPECT_EQ(gFired.size(), 2u);
  Timer_Arm(id, 0, 0, nullptr);
  Advance(200);
  EXPECT_EQ(gFired.size(), 2u);
}

}  // namespace
