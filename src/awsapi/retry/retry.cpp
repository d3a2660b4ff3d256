// Retry decisions of the standard mode. The code lists are the reference SDK's (its standard
// retry checkers), kept here as tables so that a new code is one line, not a new branch.
#include "awsapi/retry/retry.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string_view>

#include "awsapi/base/environment.h"
#include "awsapi/base/error.h"

namespace quenfold_testlibs::awsapi {

namespace {

constexpr std::array<std::string_view, 14> kThrottlingCodes = {"Throttling",
                                                               "ThrottlingException",
                                                               "ThrottledException",
                                                               "RequestThrottledException",
                                                               "TooManyRequestsException",
                                                               "ProvisionedThroughputExceededException",
                                                               "TransactionInProgressException",
                                                               "RequestLimitExceeded",
                                                               "BandwidthLimitExceeded",
                                                               "LimitExceededException",
                                                               "RequestThrottled",
                                                               "SlowDown",
                                                               "PriorRequestNotComplete",
                                                               "EC2ThrottledException"};

constexpr std::array<std::string_view, 3> kTransientCodes = {"RequestTimeout", "RequestTimeoutException",
                                                             "PriorRequestNotComplete"};
constexpr std::array<int, 4> kTransientStatuses = {500, 502, 503, 504};
// A zone out of capacity answers 500 too, for minutes rather than a moment: retrying at once only
// spends the retry quota every other call shares. The launch decides how to go on.
constexpr std::array<std::string_view, 1> kLastingServerCodes = {"InsufficientInstanceCapacity"};

// The service rejects the request time whatever the message says.
constexpr std::array<std::string_view, 3> kClockSkewCodes = {"RequestTimeTooSkewed", "RequestInTheFuture",
                                                             "RequestExpired"};
// These also answer bad keys or bad signatures; only a message about the time means a skewed clock.
constexpr std::array<std::string_view, 3> kMaybeClockSkewCodes = {"AuthFailure", "InvalidSignatureException",
                                                                  "SignatureDoesNotMatch"};
constexpr std::array<std::string_view, 7> kTimeWords = {
    "signature expired", "request time", "not yet current", "request has expired", "timestamp", "time stamp", "skew"};

// Temporary credentials that ran out. InvalidClientTokenId is not here: it answers an unknown
// key, which fetching the same credentials again does not cure.
constexpr std::array<std::string_view, 2> kExpiredTokenCodes = {"ExpiredToken", "ExpiredTokenException"};

// S3 answers a request sent to the wrong region with a redirect status, with
// AuthorizationHeaderMalformed naming the right region, or (regions opened since 2019) with
// IllegalLocationConstraintException, which names none: HeadBucket then tells.
constexpr std::array<int, 3> kRedirectStatuses = {301, 302, 307};
constexpr std::array<std::string_view, 3> kRedirectCodes = {"AuthorizationHeaderMalformed", "PermanentRedirect",
                                                            "IllegalLocationConstraintException"};

template <class Table, class T>
bool in(const Table& table, const T& value) {
  return std::find(table.begin(), table.end(), value) != table.end();
}

bool speaks_of_time(const std::string& message) {
  std::string lower(message);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return std::any_of(kTimeWords.begin(), kTimeWords.end(),
                     [&](std::string_view w) { return lower.find(w) != std::string::npos; });
}

std::optional<int> parse_positive(const std::string& text) {
  int v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size() || v < 1) return std::nullopt;
  return v;
}

}  // namespace

ErrorKind classify(const std::string& code, const std::string& message, int http_status, bool transport_failure) {
  if (transport_failure) return ErrorKind::Transient;
  if (code.empty() && http_status >= 200 && http_status < 300) return ErrorKind::None;
  if (in(kRedirectStatuses, http_status) || in(kRedirectCodes, code)) return ErrorKind::S3Redirect;
  if (in(kExpiredTokenCodes, code)) return ErrorKind::ExpiredToken;
  if (in(kClockSkewCodes, code)) return ErrorKind::ClockSkew;
  if (in(kMaybeClockSkewCodes, code) && speaks_of_time(message)) return ErrorKind::ClockSkew;
  if (in(kThrottlingCodes, code)) return ErrorKind::Throttling;
  if (in(kLastingServerCodes, code)) return ErrorKind::Other;
  if (in(kTransientCodes, code) || in(kTransientStatuses, http_status)) return ErrorKind::Transient;
  return ErrorKind::Other;
}

ErrorKind classify(const std::string& code, int http_status, bool transport_failure) {
  return classify(code, std::string(), http_status, transport_failure);
}

namespace {

Decision next(NextStep step, ErrorKind kind) {
  Decision d;
  d.step = step;
  d.kind = kind;
  return d;
}

Decision give_up(ErrorKind kind, const CallProgress& call, const RetryConfig& config) {
  Decision d = next(NextStep::GiveUp, kind);
  if (call.attempts >= std::max(config.max_attempts, 1)) d.retries_reached = call.attempts - 1;
  return d;
}

Decision after_redirect(const AttemptOutcome& o, const CallProgress& call, const RetryConfig& config) {
  if (call.redirected || !o.redirect_region) return give_up(ErrorKind::S3Redirect, call, config);
  Decision d = next(NextStep::Redirect, ErrorKind::S3Redirect);
  d.region = *o.redirect_region;
  return d;
}

Decision after_expired_token(const AttemptOutcome& o, const CallProgress& call, const RetryConfig& config) {
  if (call.credentials_refreshed || !o.signed_request) return give_up(ErrorKind::ExpiredToken, call, config);
  return next(NextStep::RefreshCredentials, ErrorKind::ExpiredToken);
}

// A rejected request time is the clock's fault when the server's Date is far from ours (or the
// code can mean nothing else); with a clock that agrees, temporary credentials have run out.
Decision after_clock_skew(const AttemptOutcome& o, const CallProgress& call, const RetryConfig& config) {
  const bool clock_to_blame =
      o.server_offset &&
      (is_definite_clock_skew(o.code) || std::chrono::abs(*o.server_offset - o.clock_offset) >= kSkewThreshold);
  if (clock_to_blame && !call.clock_corrected) {
    Decision d = next(NextStep::CorrectClock, ErrorKind::ClockSkew);
    d.clock_offset = *o.server_offset;
    return d;
  }
  if (!clock_to_blame && o.had_session_token) return after_expired_token(o, call, config);
  return give_up(ErrorKind::ClockSkew, call, config);
}

Decision after_throttle_or_transient(ErrorKind kind, const CallProgress& call, const RetryConfig& config) {
  const int max_attempts = std::max(config.max_attempts, 1);
  if (kind == ErrorKind::Throttling && config.adaptive()) {
    const bool go_on = call.attempts < max_attempts || (call.attempts < kMaxThrottledAttempts && call.recent_success);
    return go_on ? next(NextStep::RetryNow, kind) : give_up(kind, call, config);
  }
  if (call.attempts >= max_attempts || !call.quota_grants) return give_up(kind, call, config);
  Decision d = next(NextStep::Backoff, kind);
  d.pause = backoff_delay(call.attempts - 1, call.random01, config);
  return d;
}

}  // namespace

Decision decide_after_attempt(const AttemptOutcome& outcome, const CallProgress& call, const RetryConfig& config) {
  const ErrorKind kind = classify(outcome.code, outcome.message, outcome.http_status, outcome.transport_failed);
  switch (kind) {
    case ErrorKind::S3Redirect:
      return after_redirect(outcome, call, config);
    case ErrorKind::ClockSkew:
      return after_clock_skew(outcome, call, config);
    case ErrorKind::ExpiredToken:
      return after_expired_token(outcome, call, config);
    case ErrorKind::Throttling:
    case ErrorKind::Transient:
      return after_throttle_or_transient(kind, call, config);
    default:
      return give_up(kind, call, config);
  }
}

bool is_definite_clock_skew(const std::string& code) {
  return code == "RequestTimeTooSkewed" || code == "RequestInTheFuture";
}

RetryConfig RetryConfig::from(const Environment& env, const std::string* profile_max_attempts,
                              const std::string* profile_retry_mode, int default_max_attempts,
                              const std::string& default_mode) {
  RetryConfig cfg;
  cfg.max_attempts = default_max_attempts;
  cfg.mode = default_mode;
  std::optional<std::string> attempts = env.get("AWS_MAX_ATTEMPTS");
  if (!attempts && profile_max_attempts && !profile_max_attempts->empty()) attempts = *profile_max_attempts;
  if (attempts) {
    auto n = parse_positive(*attempts);
    if (!n) throw ConfigError("Value out of range: max_attempts must be a positive integer, got '" + *attempts + "'");
    cfg.max_attempts = *n;
  }
  std::optional<std::string> mode = env.get("AWS_RETRY_MODE");
  if (!mode && profile_retry_mode && !profile_retry_mode->empty()) mode = *profile_retry_mode;
  if (mode) {
    if (*mode != "legacy" && *mode != "standard" && *mode != "adaptive")
      throw ConfigError("Invalid value provided to retry_mode: '" + *mode +
                        "'. Valid values are: legacy, standard, adaptive");
    // Legacy runs the standard decisions here.
    cfg.mode = *mode;
  }
  return cfg;
}

std::chrono::milliseconds backoff_delay(int attempt, double random01, const RetryConfig& cfg) {
  random01 = std::clamp(random01, 0.0, 1.0);
  const double cap_ms = static_cast<double>(cfg.max_backoff.count());
  // 2^attempt seconds, capped before it can overflow.
  const double base_ms = attempt >= 30 ? cap_ms : std::min(std::ldexp(1000.0, std::max(attempt, 0)), cap_ms);
  return std::chrono::milliseconds(static_cast<long long>(random01 * base_ms));
}

bool RetryQuota::acquire(bool timeout, int* cost_taken) {
  const int cost = timeout ? kTimeoutRetryCost : kRetryCost;
  std::lock_guard lk(mu_);
  if (cost > available_) return false;
  available_ -= cost;
  if (cost_taken) *cost_taken = cost;
  return true;
}

void RetryQuota::release(int cost_taken) {
  std::lock_guard lk(mu_);
  available_ = std::min(capacity_, available_ + std::max(cost_taken, 0));
}

int RetryQuota::available() const {
  std::lock_guard lk(mu_);
  return available_;
}

}  // namespace quenfold_testlibs::awsapi
