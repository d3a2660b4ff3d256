// IMDSv2 client: a session token from PUT /latest/api/token, cached until shortly before its TTL
// ends, sent with every GET. Where the token is refused (403/404/405) or its answer never arrives
// (a container's hop limit drops it), the token-less v1 GET is used unless v1 is disabled.
// Every request has ~1 s time-outs and one immediate retry, so that off EC2 it fails in seconds.
#include "awsapi/credentials/imds.h"

#include <mutex>

#include "awsapi/base/environment.h"
#include "awsapi/base/error.h"
#include "core/clock.h"

namespace quenfold_testlibs::awsapi {

struct ImdsClient::TokenCache {
  std::mutex mu;  // also makes concurrent callers share one token request
  std::string token;
  std::chrono::steady_clock::time_point expires{};
};

namespace {
constexpr int kAttempts = 2;
constexpr const char* kTokenPath = "/latest/api/token";
constexpr const char* kTokenHeader = "X-aws-ec2-metadata-token";
constexpr const char* kTtlHeader = "X-aws-ec2-metadata-token-ttl-seconds";
}  // namespace

ImdsClient::ImdsClient(const Environment& env, std::shared_ptr<HttpTransport> http)
    : endpoint_(env.get("AWS_EC2_METADATA_SERVICE_ENDPOINT").value_or("http://169.254.169.254")),
      disabled_(env.flag("AWS_EC2_METADATA_DISABLED")),
      v1_disabled_(env.flag("AWS_EC2_METADATA_V1_DISABLED")),
      http_(std::move(http)),
      cache_(std::make_shared<TokenCache>()) {
  while (!endpoint_.empty() && endpoint_.back() == '/') endpoint_.pop_back();
}

HttpResponse ImdsClient::get(const std::string& path) {
  if (disabled_) throw AwsError("Access to the instance metadata service is disabled (AWS_EC2_METADATA_DISABLED)");
  for (int round = 0;; ++round) {
    auto tok = token();
    if (!tok && v1_disabled_)
      throw AwsError("Unable to retrieve token for use in IMDSv2 call and IMDSv1 has been disabled");
    HttpRequest req;
    req.url = endpoint_ + (path.empty() || path.front() != '/' ? "/" : "") + path;
    if (tok) req.set_header(kTokenHeader, *tok);
    HttpResponse resp = send(std::move(req));
    // 401: the cached token is no longer accepted (expired early, service restarted). Once more afresh.
    if (tok && resp.status == 401 && round == 0) {
      std::lock_guard lk(cache_->mu);
      cache_->token.clear();
      continue;
    }
    return resp;
  }
}

std::optional<std::string> ImdsClient::token() {
  std::lock_guard lk(cache_->mu);
  const auto now = core::the_clock().monotonic();
  if (!cache_->token.empty() && now < cache_->expires) return cache_->token;
  auto fresh = fetch_token();
  if (!fresh) return std::nullopt;
  cache_->token = *fresh;
  const auto margin = std::min<std::chrono::seconds>(std::chrono::seconds(60), token_ttl / 2);
  cache_->expires = now + token_ttl - margin;
  return fresh;
}

std::optional<std::string> ImdsClient::fetch_token() {
  HttpRequest req;
  req.method = "PUT";
  req.url = endpoint_ + kTokenPath;
  req.set_header(kTtlHeader, std::to_string(token_ttl.count()));
  req.connect_timeout = connect_timeout;
  req.timeout = timeout;
  req.bypass_proxy = true;

  std::optional<TransportError> unreachable;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    HttpResponse resp;
    try {
      resp = http_->send(req);
    } catch (const TransportError& e) {
      if (e.timed_out()) return std::nullopt;  // e.g. hop limit: v1 may still answer
      unreachable = e;
      continue;
    }
    unreachable.reset();
    if (resp.status == 200 && !resp.body.empty()) return resp.body;
    if (resp.status == 403 || resp.status == 404 || resp.status == 405) return std::nullopt;
    if (resp.status == 400) throw AwsError("The instance metadata service rejected the token request (HTTP 400)");
  }
  // Refused connections twice: a v1 request would meet the same fate, so fail now.
  if (unreachable) throw *unreachable;
  return std::nullopt;
}

HttpResponse ImdsClient::send(HttpRequest req) {
  req.connect_timeout = connect_timeout;
  req.timeout = timeout;
  req.bypass_proxy = true;
  std::optional<HttpResponse> last;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    try {
      last = http_->send(req);
      if (last->status < 500) return *last;
    } catch (const TransportError&) {
      if (attempt + 1 == kAttempts && !last) throw;
    }
  }
  return *last;
}

}  // namespace quenfold_testlibs::awsapi
