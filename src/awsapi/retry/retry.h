// The standard retry mode as pure decisions: which errors are retried, how long to pause, what a
// call does after a failed attempt, and the retry quota shared by every client of the process
// (the only state).
#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>

namespace quenfold_testlibs::awsapi {

class Environment;

enum class ErrorKind { None, Throttling, Transient, ClockSkew, ExpiredToken, S3Redirect, Other };

// Classification of an answer or a transport failure, from a table of codes and statuses.
// `code` is the parsed error code (empty for a transport failure), `http_status` 0 when none.
// Codes that only sometimes mean a clock problem (AuthFailure, InvalidSignatureException,
// SignatureDoesNotMatch) need the message to tell; this form, without one, calls them Other.
ErrorKind classify(const std::string& code, int http_status, bool transport_failure);
ErrorKind classify(const std::string& code, const std::string& message, int http_status, bool transport_failure);

// True for the codes whose only cause is a clock far from the service's (RequestTimeTooSkewed,
// RequestInTheFuture); RequestExpired and the signature codes may also mean expired credentials.
bool is_definite_clock_skew(const std::string& code);

struct RetryConfig {
  int max_attempts = 3;  // AWS_MAX_ATTEMPTS, profile max_attempts
  // AWS_RETRY_MODE: "standard" (also used for "legacy"), or "adaptive": the standard decisions
  // plus a client-side rate limiter per operation (rate_limiter.h).
  std::string mode = "standard";
  std::chrono::milliseconds max_backoff{20000};
  bool adaptive() const { return mode == "adaptive"; }
  // The environment wins over the profile; the defaults apply when neither sets a value.
  // A max_attempts that is not a positive integer, or a mode other than legacy/standard/adaptive,
  // is a ConfigError.
  static RetryConfig from(const Environment& env, const std::string* profile_max_attempts,
                          const std::string* profile_retry_mode, int default_max_attempts = 3,
                          const std::string& default_mode = "standard");
};

// delay = random01 * min(2^attempt, 20 s); attempt counts from 0 for the first retry.
std::chrono::milliseconds backoff_delay(int attempt, double random01, const RetryConfig& cfg);

// Below this difference between the offset the server's Date shows and the one already learned, a
// rejected request time is not explained by the clock (the services allow 5 to 15 minutes), so it
// is not corrected.
inline constexpr std::chrono::milliseconds kSkewThreshold = std::chrono::minutes(4);
// Adaptive mode: a throttled call goes on past its attempts while calls of the same operation
// still get through (one did within this window), up to kMaxThrottledAttempts in all. The rate
// limiter, not a backoff or the retry quota, then decides when it is sent again.
inline constexpr std::chrono::milliseconds kThrottleProgressWindow = std::chrono::seconds(60);
inline constexpr int kMaxThrottledAttempts = 100;

// A failed attempt, as the decision after it sees it.
struct AttemptOutcome {
  int http_status = 0;  // 0 when no answer came
  std::string code;     // the answer's error code and message, empty when no answer came
  std::string message;
  bool transport_failed = false;
  bool timed_out = false;
  bool signed_request = false;                             // credentials signed it, so they can be fetched afresh
  bool had_session_token = false;                          // they were temporary ones
  std::optional<std::chrono::milliseconds> server_offset;  // the answer's Date minus the local clock
  std::chrono::milliseconds clock_offset{0};               // the offset learned so far
  std::optional<std::string> redirect_region;              // a bucket request: the region S3's answer names
};

// The call so far, and what it may still spend.
struct CallProgress {
  int attempts = 0;              // made so far, the failed one included
  bool clock_corrected = false;  // the one-time corrections already made in this call
  bool credentials_refreshed = false;
  bool redirected = false;
  bool quota_grants = true;     // the retry quota would pay for one more retry
  bool recent_success = false;  // adaptive: a call of the operation got through within kThrottleProgressWindow
  double random01 = 0;          // the jitter draw for a backoff
};

enum class NextStep {
  RetryNow,            // adaptive throttling: again, paced by the rate limiter alone
  Backoff,             // again after `pause`, paid for from the retry quota
  CorrectClock,        // sign with `clock_offset` from now on, and again at once
  RefreshCredentials,  // fetch the credentials afresh, and again at once
  Redirect,            // S3: send to the bucket's `region`, and again at once
  GiveUp,              // the call fails with this attempt's error
};

struct Decision {
  NextStep step = NextStep::GiveUp;
  ErrorKind kind = ErrorKind::Other;  // the answer's class as the rules read it
  std::chrono::milliseconds pause{0};
  std::chrono::milliseconds clock_offset{0};
  std::string region;
  std::optional<int> retries_reached;  // GiveUp on the attempt limit: the retries made
};

// What a call does after a failed attempt. The corrections (clock, credentials, S3 region) are
// made at most once a call and need no attempt left; throttling and transient failures follow the
// standard mode (attempt limit, retry quota, capped backoff), except that in the adaptive mode a
// throttled call goes on while its operation still gets calls through. Pure.
Decision decide_after_attempt(const AttemptOutcome& outcome, const CallProgress& call, const RetryConfig& config);

// The standard mode's token bucket: 500 tokens; a retry costs 5 (10 after a time-out); a success
// returns what its retry took (or 1 when no retry happened). Thread-safe.
class RetryQuota {
 public:
  static constexpr int kRetryCost = 5;
  static constexpr int kTimeoutRetryCost = 10;
  static constexpr int kNoRetryIncrement = 1;

  explicit RetryQuota(int capacity = 500) : capacity_(capacity), available_(capacity) {}
  // Takes the cost of one retry; false when the quota is exhausted (then no retry is made).
  bool acquire(bool timeout, int* cost_taken);
  void release(int cost_taken);  // after a successful attempt; never above the capacity
  int available() const;

 private:
  mutable std::mutex mu_;
  int capacity_;
  int available_;
};

}  // namespace quenfold_testlibs::awsapi
