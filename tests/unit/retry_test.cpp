#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "awsapi/base/environment.h"
#include "awsapi/base/error.h"
#include "awsapi/retry/retry.h"

using namespace quenfold_testlibs::awsapi;
using namespace std::chrono_literals;

TEST(RetryClassify, ThrottlingCodesOfTheStandardModeAreThrottling) {
  for (const char* code : {"Throttling", "ThrottlingException", "RequestLimitExceeded", "SlowDown",
                           "TooManyRequestsException", "EC2ThrottledException", "LimitExceededException",
                           "BandwidthLimitExceeded", "RequestThrottled", "ProvisionedThroughputExceededException"}) {
    EXPECT_EQ(classify(code, 400, false), ErrorKind::Throttling) << code;
  }
  // Throttling wins over a 5xx status: the quota cost and the backoff are those of throttling.
  EXPECT_EQ(classify("SlowDown", 503, false), ErrorKind::Throttling);
}

TEST(RetryClassify, TransientAnswersAndTransportFailures) {
  EXPECT_EQ(classify("RequestTimeout", 400, false), ErrorKind::Transient);
  EXPECT_EQ(classify("RequestTimeoutException", 408, false), ErrorKind::Transient);
  for (int status : {500, 502, 503, 504}) EXPECT_EQ(classify("InternalError", status, false), ErrorKind::Transient);
  // No capacity in a zone lasts minutes: not retried at once, at the cost of the shared quota.
  EXPECT_EQ(classify("InsufficientInstanceCapacity", 500, false), ErrorKind::Other);
  EXPECT_EQ(classify("", 0, true), ErrorKind::Transient);
}

TEST(RetryClassify, OrdinaryRefusalsAreNotRetried) {
  EXPECT_EQ(classify("InvalidParameterValue", 400, false), ErrorKind::Other);
  EXPECT_EQ(classify("UnauthorizedOperation", 403, false), ErrorKind::Other);
  EXPECT_EQ(classify("InvalidClientTokenId", 403, false), ErrorKind::Other);
  // The standard mode retries 429 only through its code, not the bare status; 501 is not transient.
  EXPECT_EQ(classify("429", 429, false), ErrorKind::Other);
  EXPECT_EQ(classify("NotImplemented", 501, false), ErrorKind::Other);
  EXPECT_EQ(classify("", 200, false), ErrorKind::None);
}

TEST(RetryClassify, ClockSkewNeedsATimeMessageForAmbiguousCodes) {
  EXPECT_EQ(classify("RequestTimeTooSkewed", 403, false), ErrorKind::ClockSkew);
  EXPECT_EQ(classify("RequestExpired", 400, false), ErrorKind::ClockSkew);
  EXPECT_EQ(classify("InvalidSignatureException",
                     "Signature expired: 20231114T221320Z is now earlier than 20231114T222820Z", 400, false),
            ErrorKind::ClockSkew);
  EXPECT_EQ(classify("AuthFailure", "The request time is outside the allowed window", 401, false),
            ErrorKind::ClockSkew);
  // "validate" must not read as a word about the date.
  EXPECT_EQ(classify("AuthFailure", "AWS was not able to validate the provided access credentials", 401, false),
            ErrorKind::Other);
  EXPECT_EQ(classify("SignatureDoesNotMatch", "The request signature we calculated does not match", 403, false),
            ErrorKind::Other);
  EXPECT_TRUE(is_definite_clock_skew("RequestTimeTooSkewed"));
  EXPECT_FALSE(is_definite_clock_skew("RequestExpired"));
}

TEST(RetryClassify, ExpiredTokensAndS3Redirects) {
  EXPECT_EQ(classify("ExpiredToken", 400, false), ErrorKind::ExpiredToken);
  EXPECT_EQ(classify("ExpiredTokenException", 400, false), ErrorKind::ExpiredToken);
  EXPECT_EQ(classify("PermanentRedirect", 301, false), ErrorKind::S3Redirect);
  EXPECT_EQ(classify("301", 301, false), ErrorKind::S3Redirect);
  EXPECT_EQ(classify("TemporaryRedirect", 307, false), ErrorKind::S3Redirect);
  EXPECT_EQ(classify("AuthorizationHeaderMalformed", 400, false), ErrorKind::S3Redirect);
}

TEST(RetryBackoff, DelayIsTheDrawTimesTheCappedExponential) {
  RetryConfig cfg;
  EXPECT_EQ(backoff_delay(0, 1.0, cfg), 1000ms);
  EXPECT_EQ(backoff_delay(1, 1.0, cfg), 2000ms);
  EXPECT_EQ(backoff_delay(2, 0.5, cfg), 2000ms);
  EXPECT_EQ(backoff_delay(4, 1.0, cfg), 16000ms);
  EXPECT_EQ(backoff_delay(5, 1.0, cfg), 20000ms);
  EXPECT_EQ(backoff_delay(3, 0.0, cfg), 0ms);
}

TEST(RetryBackoff, NeverAboveTwentySecondsWhateverTheAttempt) {
  RetryConfig cfg;
  for (int attempt : {0, 5, 10, 31, 64, 1000})
    for (double r : {0.0, 0.3, 0.999, 1.0, 7.0})
      EXPECT_LE(backoff_delay(attempt, r, cfg), 20000ms) << attempt << " " << r;
  EXPECT_GE(backoff_delay(1000, -1.0, cfg), 0ms);
}

TEST(RetryConfigFrom, DefaultsEnvironmentAndProfile) {
  Environment empty;
  auto d = RetryConfig::from(empty, nullptr, nullptr);
  EXPECT_EQ(d.max_attempts, 3);
  EXPECT_EQ(d.mode, "standard");

  std::string five = "5", legacy = "legacy";
  auto p = RetryConfig::from(empty, &five, &legacy);
  EXPECT_EQ(p.max_attempts, 5);
  EXPECT_EQ(p.mode, "legacy");

  Environment env({{"AWS_MAX_ATTEMPTS", "1"}, {"AWS_RETRY_MODE", "adaptive"}});
  auto e = RetryConfig::from(env, &five, &legacy);
  EXPECT_EQ(e.max_attempts, 1);
  EXPECT_EQ(e.mode, "adaptive");

  // A caller's default yields to both the environment and the profile.
  EXPECT_EQ(RetryConfig::from(empty, nullptr, nullptr, 10).max_attempts, 10);
  EXPECT_EQ(RetryConfig::from(empty, &five, nullptr, 10).max_attempts, 5);
  EXPECT_EQ(RetryConfig::from(env, &five, nullptr, 10).max_attempts, 1);
  std::string standard = "standard";
  EXPECT_TRUE(RetryConfig::from(empty, nullptr, nullptr, 10, "adaptive").adaptive());
  EXPECT_FALSE(RetryConfig::from(empty, nullptr, &standard, 10, "adaptive").adaptive());
}

TEST(RetryConfigFrom, InvalidSettingsAreConfigErrors) {
  for (const char* bad : {"0", "-2", "three", "3x"}) {
    Environment env(std::map<std::string, std::string>{{"AWS_MAX_ATTEMPTS", bad}});
    EXPECT_THROW(RetryConfig::from(env, nullptr, nullptr), ConfigError) << bad;
  }
  Environment env(std::map<std::string, std::string>{{"AWS_RETRY_MODE", "aggressive"}});
  EXPECT_THROW(RetryConfig::from(env, nullptr, nullptr), ConfigError);
}

TEST(RetryQuotaTest, RetriesCostFiveOrTenAfterATimeoutAndSuccessRefunds) {
  RetryQuota q;
  int cost = 0;
  ASSERT_TRUE(q.acquire(false, &cost));
  EXPECT_EQ(cost, 5);
  ASSERT_TRUE(q.acquire(true, &cost));
  EXPECT_EQ(cost, 10);
  EXPECT_EQ(q.available(), 485);
  q.release(10);
  q.release(1);
  EXPECT_EQ(q.available(), 496);
  q.release(100);  // never above the capacity
  EXPECT_EQ(q.available(), 500);
}

TEST(RetryQuotaTest, ExhaustedQuotaRefusesUntilRefilled) {
  RetryQuota q(12);
  int cost = 0;
  EXPECT_TRUE(q.acquire(false, &cost));
  EXPECT_TRUE(q.acquire(false, &cost));
  EXPECT_FALSE(q.acquire(false, &cost));  // 2 left, 5 needed
  EXPECT_EQ(q.available(), 2);
  q.release(5);
  EXPECT_TRUE(q.acquire(false, &cost));
}

TEST(RetryQuotaTest, SharedAcrossThreadsWithoutOverdraw) {
  RetryQuota q;  // 500 tokens: exactly 100 retries of 5
  std::atomic<int> granted{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      int cost = 0;
      for (int i = 0; i < 50; ++i)
        if (q.acquire(false, &cost)) ++granted;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(granted.load(), 100);
  EXPECT_EQ(q.available(), 0);
}

// What a call does after a failed attempt, on plain data: one row per rule.
TEST(RetryDecision, EachFailureLeadsToItsNextStep) {
  RetryConfig standard;
  RetryConfig adaptive;
  adaptive.mode = "adaptive";
  auto answer = [](std::string code, int status) {
    AttemptOutcome o;
    o.code = std::move(code);
    o.http_status = status;
    o.signed_request = true;
    return o;
  };
  auto progress = [](int attempts) {
    CallProgress p;
    p.attempts = attempts;
    p.random01 = 0.5;
    return p;
  };

  // Throttling in the standard mode: back off (half of 2^0 s) while attempts and quota remain.
  auto d = decide_after_attempt(answer("Throttling", 400), progress(1), standard);
  EXPECT_EQ(d.step, NextStep::Backoff);
  EXPECT_EQ(d.pause, 500ms);
  d = decide_after_attempt(answer("Throttling", 400), progress(3), standard);
  EXPECT_EQ(d.step, NextStep::GiveUp);
  EXPECT_EQ(d.retries_reached, 2);
  auto no_quota = progress(1);
  no_quota.quota_grants = false;
  EXPECT_EQ(decide_after_attempt(answer("InternalError", 500), no_quota, standard).step, NextStep::GiveUp);
  EXPECT_FALSE(decide_after_attempt(answer("InternalError", 500), no_quota, standard).retries_reached);

  // Adaptive: past the attempt limit only while the operation still gets calls through.
  auto busy = progress(3);
  EXPECT_EQ(decide_after_attempt(answer("RequestLimitExceeded", 503), busy, adaptive).step, NextStep::GiveUp);
  busy.recent_success = true;
  EXPECT_EQ(decide_after_attempt(answer("RequestLimitExceeded", 503), busy, adaptive).step, NextStep::RetryNow);
  busy.attempts = kMaxThrottledAttempts;
  EXPECT_EQ(decide_after_attempt(answer("RequestLimitExceeded", 503), busy, adaptive).step, NextStep::GiveUp);

  // Clock: corrected once when the server's Date is far off; with a clock that agrees, temporary
  // credentials have run out and are fetched afresh, once.
  auto skewed = answer("RequestExpired", 400);
  skewed.server_offset = 10min;
  d = decide_after_attempt(skewed, progress(1), standard);
  EXPECT_EQ(d.step, NextStep::CorrectClock);
  EXPECT_EQ(d.clock_offset, 10min);
  auto corrected = progress(2);
  corrected.clock_corrected = true;
  EXPECT_EQ(decide_after_attempt(skewed, corrected, standard).step, NextStep::GiveUp);
  skewed.server_offset = 1s;
  skewed.had_session_token = true;
  EXPECT_EQ(decide_after_attempt(skewed, progress(1), standard).step, NextStep::RefreshCredentials);
  auto refreshed = progress(2);
  refreshed.credentials_refreshed = true;
  EXPECT_EQ(decide_after_attempt(answer("ExpiredToken", 400), refreshed, standard).step, NextStep::GiveUp);
  auto unsigned_call = answer("ExpiredToken", 400);
  unsigned_call.signed_request = false;
  EXPECT_EQ(decide_after_attempt(unsigned_call, progress(1), standard).step, NextStep::GiveUp);

  // S3 names the bucket's region: followed once.
  auto moved = answer("PermanentRedirect", 301);
  moved.redirect_region = "eu-west-1";
  d = decide_after_attempt(moved, progress(1), standard);
  EXPECT_EQ(d.step, NextStep::Redirect);
  EXPECT_EQ(d.region, "eu-west-1");
  auto redirected = progress(2);
  redirected.redirected = true;
  EXPECT_EQ(decide_after_attempt(moved, redirected, standard).step, NextStep::GiveUp);

  // An ordinary refusal is never retried, even on the first attempt.
  EXPECT_EQ(decide_after_attempt(answer("InvalidParameterValue", 400), progress(1), standard).step, NextStep::GiveUp);
}
