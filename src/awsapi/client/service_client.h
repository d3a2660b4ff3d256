// The concrete service client: every call, whatever the service, goes through one pipeline —
// serialise, build the URL, wait for the operation's rate limiter (adaptive mode), sign afresh,
// send, then parse or classify and retry. Safe to share between threads: the only mutable state
// is the learned clock offset, the S3 region cache and the shared quota and limiters.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "awsapi/base/environment.h"
#include "awsapi/client/client.h"
#include "awsapi/credentials/credentials.h"
#include "awsapi/protocol/protocol.h"
#include "awsapi/retry/rate_limiter.h"
#include "awsapi/retry/retry.h"
#include "awsapi/transport/endpoints.h"
#include "awsapi/transport/http.h"

namespace quenfold_testlibs::awsapi {

struct ClientConfig {
  std::string service;                               // "ec2", "iam", "sts", "ssm", "servicequotas", "s3"
  std::optional<std::string> region;                 // already resolved by the caller (Session)
  std::shared_ptr<CredentialsProvider> credentials;  // null: requests go unsigned
  std::shared_ptr<HttpTransport> http;
  std::shared_ptr<RetryQuota> quota;       // shared by the clients of a Context; null: a private one
  std::shared_ptr<RateLimiters> limiters;  // adaptive mode; shared like the quota; null: private ones
  RetryConfig retry;
  Environment env;                         // endpoint overrides
  std::optional<Profile> profile;          // the profile's endpoint_url, sts_regional_endpoints, ...
  std::function<double()> random;          // jitter in [0, 1); null: a per-thread generator
  std::shared_ptr<const void> keep_alive;  // what the credentials provider points into (the Context)
};

class ServiceClient final : public AwsClient {
 public:
  // Resolves the endpoint once; throws ConfigError (no region for a regional service, ...).
  explicit ServiceClient(ClientConfig config);

  json call(const std::string& operation, const json& request) const override;
  void download_file(const std::string& bucket, const std::string& key,
                     const std::filesystem::path& file) const override;
  void upload_file(const std::filesystem::path& file, const std::string& bucket, const std::string& key) const override;
  std::string service() const override { return config_.service; }
  std::optional<std::string> region() const override { return config_.region; }

  const ResolvedEndpoint& endpoint() const { return endpoint_; }
  // Server time minus local time, learned from a clock-skew answer; added to every signing time.
  std::chrono::milliseconds clock_offset() const { return std::chrono::milliseconds(offset_ms_.load()); }
  const RetryConfig& retry_config() const { return config_.retry; }

  static const std::string& user_agent();

 private:
  struct Prepared;
  struct CallState;
  struct Attempt;
  // The pipeline of one call, step by step: the loop, one attempt (limiter, build, sign, send),
  // what the failed attempt came to, the decision on it, and carrying that decision out.
  HttpResponse execute(const std::string& operation, const Prepared& prepared) const;
  CallState begin_call(const std::string& operation, const Prepared& prepared) const;
  Attempt attempt(const Prepared& prepared, CallState& call) const;
  HttpRequest request_for(const Prepared& prepared, const ResolvedEndpoint& ep) const;
  bool sign(HttpRequest& request, const ResolvedEndpoint& ep, const std::string& payload_sha256) const;
  void send(const HttpRequest& request, const Prepared& prepared, Attempt& attempt) const;
  HttpResponse succeed(const CallState& call, HttpResponse response) const;
  AttemptOutcome outcome_of(const Attempt& attempt, const Prepared& prepared) const;
  Decision decide(const AttemptOutcome& outcome, CallState& call) const;
  void act(const Decision& decision, const Prepared& prepared, CallState& call) const;
  [[noreturn]] static void fail(const Attempt& attempt, const Decision& decision, const std::string& operation);
  ResolvedEndpoint redirect(const std::string& bucket, const std::string& region) const;
  std::optional<std::string> bucket_region(const std::string& bucket) const;
  ResolvedEndpoint endpoint_for(const std::optional<std::string>& bucket) const;
  double draw() const;

  ClientConfig config_;
  ResolvedEndpoint endpoint_;
  mutable std::atomic<long long> offset_ms_{0};
  mutable std::mutex redirects_mu_;
  mutable std::map<std::string, ResolvedEndpoint> redirects_;  // bucket -> endpoint of its region
};

}  // namespace quenfold_testlibs::awsapi
