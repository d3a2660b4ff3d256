// The EC2 instance metadata service client: IMDSv2 token first, falling back to a token-less GET
// when the token request is refused (403/404/405) or times out, with short time-outs and one retry
// so that off EC2 it fails in seconds. Never through a proxy.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "awsapi/http.h"

namespace quenfold_testlibs::awsapi {

class Environment;

class ImdsClient {
 public:
  // Endpoint: AWS_EC2_METADATA_SERVICE_ENDPOINT, else http://169.254.169.254.
  // AWS_EC2_METADATA_DISABLED=true disables it; AWS_EC2_METADATA_V1_DISABLED forbids the fallback.
  ImdsClient(const Environment& env, std::shared_ptr<HttpTransport> http);

  bool disabled() const { return disabled_; }
  // GET `path` (e.g. "/latest/dynamic/instance-identity/document"). Returns the answer whatever its
  // status; throws TransportError when the service cannot be reached, or AwsError when disabled.
  HttpResponse get(const std::string& path);

 private:
  std::string endpoint_;
  bool disabled_ = false;
  bool v1_disabled_ = false;
  std::shared_ptr<HttpTransport> http_;
};

}  // namespace quenfold_testlibs::awsapi
