// Retry decisions of the standard mode. The code lists are the reference SDK's (its standard
// retry checkers), kept here as tables so that a new code is one line, not a new branch.
#include "awsapi/retry.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string_view>

#include "awsapi/environment.h"
#include "awsapi/error.h"

namespace quenfold_testlibs::awsapi {

namespace {

constexpr std::array<std::string_view, 14> kThrottlingCodes = {
    "Throttling",          "ThrottlingException",       "ThrottledException",
    "RequestThrottledException", "TooManyRequestsException", "ProvisionedThroughputExceededException",
    "TransactionInProgressException", "RequestLimitExceeded", "BandwidthLimitExceeded",
    "LimitExceededException", "RequestThrottled", "SlowDown",
    "PriorRequestNotComplete", "EC2ThrottledException"};

constexpr std::array<std::string_view, 3> kTransientCodes = {"RequestTimeout", "RequestTimeoutException",
                                                             "PriorRequestNotComplete"};
constexpr std::array<int, 4> kTransientStatuses = {500, 502, 503, 504};

// The service rejects the request time whatever the message says.
constexpr std::array<std::string_view, 3> kClockSkewCodes = {"RequestTimeTooSkewed", "RequestInTheFuture",
                                                             "RequestExpired"};
// These also answer bad keys or bad signatures; only a message about the time means a skewed clock.
constexpr std::array<std::string_view, 3> kMaybeClockSkewCodes = {"AuthFailure", "InvalidSignatureException",
                                                                  "SignatureDoesNotMatch"};
constexpr std::array<std::string_view, 7> kTimeWords = {"signature expired", "request time", "not yet current",
                                                        "request has expired", "timestamp", "time stamp", "skew"};

// Temporary credentials that ran out. InvalidClientTokenId is not here: it answers an unknown
// key, which fetching the same credentials again does not cure.
constexpr std::array<std::string_view, 2> kExpiredTokenCodes = {"ExpiredToken", "ExpiredTokenException"};

// S3 answers a request sent to the wrong region with a redirect status, or with
// AuthorizationHeaderMalformed naming the right region.
constexpr std::array<int, 3> kRedirectStatuses = {301, 302, 307};
constexpr std::array<std::string_view, 2> kRedirectCodes = {"AuthorizationHeaderMalformed", "PermanentRedirect"};

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
  if (in(kTransientCodes, code) || in(kTransientStatuses, http_status)) return ErrorKind::Transient;
  return ErrorKind::Other;
}

ErrorKind classify(const std::string& code, int http_status, bool transport_failure) {
  return classify(code, std::string(), http_status, transport_failure);
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
