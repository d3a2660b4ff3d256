// The standard retry mode as pure decisions: which errors are retried, how long to pause, and
// the retry quota shared by every client of the process (the only state).
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
  int max_attempts = 3;          // AWS_MAX_ATTEMPTS, profile max_attempts
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
