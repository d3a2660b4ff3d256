#include <gtest/gtest.h>

#include "core/clock.h"

using namespace quenfold_testlibs::core;
using namespace std::chrono_literals;

TEST(Clock, RecordingClockAdvancesVirtualTimeAndRecordsPauses) {
  RecordingClock rc;
  ScopedClock scope(rc);
  auto t0 = the_clock().now();
  auto m0 = the_clock().monotonic();
  the_clock().sleep_for(10s);
  the_clock().sleep_for(2500ms);
  EXPECT_EQ(the_clock().now() - t0, 12500ms);
  EXPECT_EQ(the_clock().monotonic() - m0, 12500ms);
  ASSERT_EQ(rc.sleeps().size(), 2u);
  EXPECT_EQ(rc.sleeps()[0], 10s);
  EXPECT_EQ(rc.total_slept(), 12500ms);
}

TEST(Clock, ScopedClockRestoresTheSystemClock) {
  Clock* before = &the_clock();
  {
    RecordingClock rc;
    ScopedClock scope(rc);
    EXPECT_EQ(&the_clock(), &rc);
  }
  EXPECT_EQ(&the_clock(), before);
}

TEST(Clock, SystemClockScaleZeroDoesNotSleep) {
  SystemClock c(0.0);
  auto m0 = std::chrono::steady_clock::now();
  c.sleep_for(60s);
  EXPECT_LT(std::chrono::steady_clock::now() - m0, 5s);
}

TEST(Clock, SystemClockMonotonicTimeRunsInNominalTime) {
  SystemClock c(0.01);
  auto m0 = c.monotonic();
  c.sleep_for(2000ms);  // 20 ms of real time
  EXPECT_GE(c.monotonic() - m0, 2000ms);
  EXPECT_LT(c.monotonic() - m0, 60000ms);
}
