// Where the tool's AWS credentials come from: the reference SDKs' default chain, named profiles,
// and explicit temporary credentials. Each provider is small and sits behind one interface.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace quenfold_testlibs::awsapi {

class Environment;
class ConfigFiles;
class HttpTransport;
class ImdsClient;

struct Credentials {
  std::string access_key_id;
  std::string secret_access_key;
  std::string session_token;  // empty for long-term keys
  std::optional<std::chrono::system_clock::time_point> expiration;
};

class CredentialsProvider {
 public:
  virtual ~CredentialsProvider() = default;
  // Current credentials; refreshed ahead of expiry. Thread-safe. Throws CredentialsError
  // (or the failure of the source, e.g. a ClientError from STS).
  virtual Credentials get() = 0;
  // Forget cached credentials so the next get() fetches afresh (after an expired-token answer).
  virtual void invalidate() {}
  // Short name of the source, for error texts ("environment", "shared-credentials-file", ...).
  virtual std::string name() const = 0;
};

// Calls an STS operation ("AssumeRole" or "AssumeRoleWithWebIdentity") with the given request and
// returns the response's JSON. `source` signs the call; a null source sends it unsigned (web identity).
// Supplied by the session layer, which owns the client machinery.
using StsCall = std::function<nlohmann::ordered_json(const std::string& operation,
                                                     const nlohmann::ordered_json& request,
                                                     std::shared_ptr<CredentialsProvider> source,
                                                     const std::optional<std::string>& region)>;

struct ProviderContext {
  const Environment* env = nullptr;
  const ConfigFiles* files = nullptr;
  std::shared_ptr<HttpTransport> http;  // container credentials
  std::shared_ptr<ImdsClient> imds;     // instance role
  StsCall sts;                          // role_arn profiles, web identity
};

std::shared_ptr<CredentialsProvider> make_static_provider(Credentials c, std::string name = "static");

// Credentials of a named profile (explicit --profile / AWS_PROFILE): static keys, role_arn with
// source_profile or credential_source, credential_process, web identity. Unknown profile: ConfigError
// "The config profile (name) could not be found".
std::shared_ptr<CredentialsProvider> make_profile_provider(const ProviderContext& ctx, const std::string& profile);

// The default chain in the reference SDKs' order: environment, web identity from the environment,
// the selected profile of the shared files (credential_process and role_arn included), container
// credentials, instance role via IMDSv2. A configured but broken source stops the chain with its
// error. Nothing found: CredentialsError "Unable to locate credentials" naming the sources tried.
// The chain is resolved lazily, on the first get().
std::shared_ptr<CredentialsProvider> make_default_chain(const ProviderContext& ctx);

// Wraps a provider so that get() refreshes shortly before expiration (thread-safe, one refresh at a time).
std::shared_ptr<CredentialsProvider> make_refreshing(std::shared_ptr<CredentialsProvider> inner,
                                                     std::chrono::seconds advance = std::chrono::seconds(300));

// Parses an STS "Credentials" member into Credentials (AccessKeyId, SecretAccessKey, SessionToken, Expiration).
Credentials credentials_from_sts(const nlohmann::ordered_json& credentials_member);

}  // namespace quenfold_testlibs::awsapi
