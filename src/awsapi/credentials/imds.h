// The EC2 instance metadata service client: IMDSv2 token first, falling back to a token-less GET
// when the token request is refused (403/404/405) or times out, with short time-outs and one retry
// so that off EC2 it fails in seconds. Never through a proxy.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "awsapi/transport/http.h"

namespace quenfold_testlibs::awsapi {

class Environment;

class ImdsClient {
 public:
  // Endpoint: AWS_EC2_METADATA_SERVICE_ENDPOINT, else http://169.254.169.254.
  // AWS_EC2_METADATA_DISABLED=true disables it; AWS_EC2_METADATA_V1_DISABLED forbids the fallback.
  ImdsClient(const Environment& env, std::shared_ptr<HttpTransport> http);

  bool disabled() const { return disabled_; }
  // GET `path` (e.g. "/latest/dynamic/instance-identity/document"). Returns the answer whatever its
  // status; throws TransportError when the service cannot be reached, or AwsError when disabled
  // (or when no token was issued and v1 is disabled). Thread-safe.
  HttpResponse get(const std::string& path);

  const std::string& endpoint() const { return endpoint_; }

  // Per-attempt time-outs and the token lifetime asked for; set them before the first get().
  std::chrono::milliseconds connect_timeout{1000};
  std::chrono::milliseconds timeout{1000};
  std::chrono::seconds token_ttl{21600};

 private:
  struct TokenCache;
  // The cached IMDSv2 token, or nullopt when the service refused to issue one (fall back to v1).
  std::optional<std::string> token();
  std::optional<std::string> fetch_token();
  HttpResponse send(HttpRequest req);

  std::string endpoint_;
  bool disabled_ = false;
  bool v1_disabled_ = false;
  std::shared_ptr<HttpTransport> http_;
  std::shared_ptr<TokenCache> cache_;
};

}  // namespace quenfold_testlibs::awsapi
