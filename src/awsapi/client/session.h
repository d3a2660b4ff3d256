// Sessions: credentials plus a default region, from which service clients are made. The shared
// Context holds what every session of the process reads once: environment, config files, the
// HTTP transport, the metadata client, the retry quota and the rate limiters.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "awsapi/base/environment.h"
#include "awsapi/client/client.h"
#include "awsapi/credentials/credentials.h"
#include "awsapi/credentials/imds.h"
#include "awsapi/retry/rate_limiter.h"
#include "awsapi/retry/retry.h"
#include "awsapi/transport/http.h"

namespace quenfold_testlibs::awsapi {

struct Context {
  Environment env;
  ConfigFiles files;
  std::shared_ptr<HttpTransport> http;
  std::shared_ptr<ImdsClient> imds;
  std::shared_ptr<RetryQuota> quota;
  std::shared_ptr<RateLimiters> limiters;
  // Attempts per call and retry mode when neither the environment (AWS_MAX_ATTEMPTS,
  // AWS_RETRY_MODE) nor the profile says otherwise.
  int default_max_attempts = 3;
  std::string default_retry_mode = "standard";

  // Snapshot of the process environment and files, with the libcurl transport.
  static std::shared_ptr<const Context> from_process(int default_max_attempts = 3,
                                                     const std::string& default_retry_mode = "standard");
  // For tests: the given environment, files and transport.
  static std::shared_ptr<const Context> make(Environment env, ConfigFiles files, std::shared_ptr<HttpTransport> http,
                                             int default_max_attempts = 3,
                                             const std::string& default_retry_mode = "standard");
};

class Session {
 public:
  // The named profile's credentials, or the default chain when `profile` is absent. An unknown
  // profile is a ConfigError here, before any call.
  static Session from_profile(std::shared_ptr<const Context> ctx, const std::optional<std::string>& profile);
  // Explicit (temporary) credentials; `profile` only selects config such as the default region.
  static Session from_credentials(std::shared_ptr<const Context> ctx, Credentials credentials,
                                  const std::optional<std::string>& profile = std::nullopt);

  // A session acting as a role: AssumeRole with `request` (RoleArn, RoleSessionName), signed with
  // this session's credentials, made on the first use of its credentials and again before they
  // expire or after an expired-token answer. Same context, profile and default region.
  Session assuming_role(nlohmann::ordered_json request, std::string answer_name = "the AssumeRole answer") const;

  // A client of `service` ("ec2", "iam", "sts", "ssm", "servicequotas", "s3"); `region` overrides the
  // session's default.
  std::shared_ptr<AwsClient> client(const std::string& service,
                                    const std::optional<std::string>& region = std::nullopt) const;
  std::optional<std::string> default_region() const { return region_; }
  std::shared_ptr<CredentialsProvider> credentials() const { return credentials_; }
  const std::shared_ptr<const Context>& context() const { return ctx_; }

 private:
  Session(std::shared_ptr<const Context> ctx, std::shared_ptr<CredentialsProvider> creds,
          std::optional<std::string> profile_name, std::optional<std::string> region)
      : ctx_(std::move(ctx)),
        credentials_(std::move(creds)),
        profile_(std::move(profile_name)),
        region_(std::move(region)) {}

  std::shared_ptr<const Context> ctx_;
  std::shared_ptr<CredentialsProvider> credentials_;
  std::optional<std::string> profile_;
  std::optional<std::string> region_;
};

}  // namespace quenfold_testlibs::awsapi
