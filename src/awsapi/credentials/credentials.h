// Where the tool's AWS credentials come from: the reference SDKs' default chain, named profiles,
// and explicit temporary credentials. Each provider is small and sits behind one interface.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "awsapi/base/credentials_value.h"
#include "awsapi/base/error.h"

namespace quenfold_testlibs::awsapi {

class Environment;
class ConfigFiles;
class HttpTransport;
class ImdsClient;

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
// Supplied by the session layer, which owns the client machinery. It must call source->get() for
// every attempt (never the chain being built: no recursion), use `region` when given (else the STS
// default endpoint), and return the parsed answer with its "Credentials" member (Expiration as an
// ISO 8601 text or epoch seconds). Its failures (ClientError, TransportError) pass through unchanged.
using StsCall = std::function<nlohmann::ordered_json(
    const std::string& operation, const nlohmann::ordered_json& request, std::shared_ptr<CredentialsProvider> source,
    const std::optional<std::string>& region)>;

struct ProviderContext {
  const Environment* env = nullptr;
  const ConfigFiles* files = nullptr;
  std::shared_ptr<HttpTransport> http;  // container credentials
  std::shared_ptr<ImdsClient> imds;     // instance role
  StsCall sts;                          // role_arn profiles, web identity
};

std::shared_ptr<CredentialsProvider> make_static_provider(Credentials c, std::string name = "static");

// Credentials of a named profile (explicit --profile): the default chain without the environment's
// keys, web identity taken from the profile only. Unknown profile (other than "default"): ConfigError
// "The config profile (name) could not be found", thrown here. The context is copied.
std::shared_ptr<CredentialsProvider> make_profile_provider(const ProviderContext& ctx, const std::string& profile);

// The default chain in the reference SDK's order: environment keys; for the selected profile
// (AWS_PROFILE, AWS_DEFAULT_PROFILE, "default"): role_arn, web identity (environment or profile),
// shared credentials file, credential_process, config file; then container credentials and the
// instance role via IMDSv2. A configured but broken source stops the chain with its error. Nothing
// found: CredentialsError "Unable to locate credentials. Sources tried: ...". Resolved lazily, on
// the first get(); nothing is fetched (and the metadata service is not probed) before that.
std::shared_ptr<CredentialsProvider> make_default_chain(const ProviderContext& ctx);

// Wraps a provider so that get() refreshes shortly before expiration (thread-safe, one refresh at a time).
std::shared_ptr<CredentialsProvider> make_refreshing(std::shared_ptr<CredentialsProvider> inner,
                                                     std::chrono::seconds advance = std::chrono::seconds(300));

// A role's credentials: AssumeRole with `request` (RoleArn, RoleSessionName, ...) through `sts`,
// signed with `source`'s credentials, and assumed again 5 minutes before they expire (and after
// invalidate(), which an expired-token answer triggers). `answer_name` names the answer in errors.
std::shared_ptr<CredentialsProvider> make_assume_role_provider(StsCall sts, nlohmann::ordered_json request,
                                                               std::shared_ptr<CredentialsProvider> source,
                                                               std::optional<std::string> region = std::nullopt,
                                                               std::string answer_name = "the AssumeRole answer");

// Parses an STS "Credentials" member into Credentials (AccessKeyId, SecretAccessKey, SessionToken,
// Expiration). `source` names the answer in errors.
Credentials credentials_from_sts(const nlohmann::ordered_json& credentials_member,
                                 const std::string& source = "the STS answer");

// Credentials a source gave but that cannot be used safely. Ends the default chain even at a source
// that otherwise fails quietly (the instance role): the configuration needs fixing.
class UnsafeCredentialsError : public CredentialsError {
 public:
  using CredentialsError::CredentialsError;
};

// Returns `c` when none of its key id, secret and session token holds a control character, and
// throws UnsafeCredentialsError naming `source` and the field (never a value) otherwise: a CR or
// LF in a session token would end the header it travels in and start one of someone else's
// choosing. Every source's credentials pass through it.
Credentials checked_credentials(Credentials c, const std::string& source);

}  // namespace quenfold_testlibs::awsapi
