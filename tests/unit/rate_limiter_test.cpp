#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "awsapi/retry/rate_limiter.h"
#include "core/clock.h"

using namespace quenfold_testlibs;
using namespace quenfold_testlibs::awsapi;
using namespace std::chrono_literals;

namespace {

// EC2's request bucket for one action: `capacity` tokens, refilled at `refill` per second.
struct ServerBucket {
  double capacity, refill, tokens, last = 0;
  ServerBucket(double c, double r) : capacity(c), refill(r), tokens(c) {}
  bool take(double now) {
    tokens = std::min(capacity, tokens + (now - last) * refill);
    last = now;
    if (tokens < 1) return false;
    tokens -= 1;
    return true;
  }
};

}  // namespace

TEST(AdaptiveRate, OffUntilAThrottleThenSeventyPercentOfTheMeasuredRate) {
  AdaptiveRate r(0);
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(r.try_take(0.01 * i));
  // 10 answers a second for two seconds: the measured rate approaches 10.
  for (int i = 0; i < 20; ++i) r.on_answer(0.1 * i, false);
  EXPECT_FALSE(r.enabled);
  EXPECT_NEAR(r.measured_rate, 10.0, 1.0);
  const double measured = r.measured_rate;
  r.on_answer(2.0, true);
  EXPECT_TRUE(r.enabled);
  EXPECT_NEAR(r.fill_rate, 0.7 * measured, 0.5);
  EXPECT_FALSE(r.try_take(2.0));  // the throttle leaves no token
  EXPECT_NEAR(r.seconds_until(1), 1 / r.fill_rate, 1e-9);
  EXPECT_TRUE(r.try_take(2.0 + 1.001 / r.fill_rate));
}

TEST(AdaptiveRate, ClimbsBackCubicallyCappedByTwiceTheMeasuredRateAndFloored) {
  AdaptiveRate r(0);
  r.measured_rate = 4;
  r.on_answer(10.0, true);
  // Back to the old rate after k seconds, above it after.
  EXPECT_NEAR(r.cubic(10.0 + r.k), r.w_max, 1e-9);
  EXPECT_GT(r.cubic(10.0 + 2 * r.k), r.w_max);
  EXPECT_LT(r.cubic(10.0 + 0.5 * r.k), r.w_max);
  // Answers at 4 a second for ten seconds: the rate is back above the old one, but the cubic's
  // growth is held to twice what the calls are really sent at.
  for (int i = 1; i <= 40; ++i) r.on_answer(10.0 + 0.25 * i, false);
  EXPECT_GE(r.fill_rate, r.w_max);
  EXPECT_LE(r.fill_rate, 2 * r.measured_rate + 1e-9);
  EXPECT_LT(r.fill_rate, r.cubic(20.0));
  // Throttles without a measured rate never stop the sender: half a call a second.
  AdaptiveRate cold(0);
  cold.on_answer(0.1, true);
  cold.on_answer(0.2, true);
  EXPECT_DOUBLE_EQ(cold.fill_rate, AdaptiveRate::kMinRate);
}

// Callers that always have a call ready against EC2's RunInstances bucket (5, 2 a second): the
// learned rate keeps the bucket busy, close to its floor, with few throttles.
TEST(AdaptiveRate, KeepsASlowServerBucketBusy) {
  for (int n : {40, 100, 250}) {
    AdaptiveRate r(0);
    ServerBucket server(5, 2);
    double t = 0;
    int done = 0, throttles = 0;
    // A burst first, as when every worker arrives at once; then one call at a time as the
    // limiter allows, each answered 10 ms after it was sent.
    for (int i = 0; i < n && !r.enabled; ++i) {
      if (server.take(t)) {
        ++done;
      } else {
        ++throttles;
      }
    }
    for (int i = 0; i < n; ++i) r.on_answer(t + 0.01, i >= done);
    while (done < n) {
      while (!r.try_take(t)) t += std::max(r.seconds_until(1), 1e-3);
      const bool ok = server.take(t);
      t += 0.01;
      r.on_answer(t, !ok);
      ok ? ++done : ++throttles;
    }
    const double floor = (n - 5) / 2.0;
    EXPECT_LE(t, 1.05 * floor + 1.0) << n;
    EXPECT_LE(throttles - (n - 5), n / 3) << n;  // beyond the first burst
  }
}

TEST(RateLimiter, SharedAcrossThreadsEveryCallerGetsThrough) {
  core::RecordingClock clock;
  core::ScopedClock scope(clock);
  RateLimiters limiters;
  auto limiter = limiters.get("ec2/us-east-1/RunInstances");
  EXPECT_EQ(limiter, limiters.get("ec2/us-east-1/RunInstances"));
  EXPECT_NE(limiter, limiters.get("ec2/us-east-1/DescribeInstances"));
  limiter->on_answer(true);  // on from now on, at the lowest rate
  std::atomic<int> sent{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) {
        RateLimiter::Ticket ticket = 0;
        limiter->acquire(ticket);
        ++sent;
        limiter->on_answer(i % 4 == 0);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(sent.load(), 80);
  EXPECT_TRUE(limiter->succeeded_within(1s));
  EXPECT_GT(clock.total_slept(), 0ms);
}
