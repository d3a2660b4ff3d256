// The individual credential sources, for the default chain and the profile chains to compose.
// Internal to src/awsapi: the rest of the tool uses credentials.h.
//
// Each factory returns nullptr when its source is not configured at all, and a provider otherwise.
// A provider's get() fetches afresh on every call (the factories wrap them in make_refreshing when
// their credentials expire). Configuration that is present but broken throws at once.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "awsapi/base/environment.h"
#include "awsapi/credentials/credentials.h"

namespace quenfold_testlibs::awsapi::detail {

// What the providers read, kept alive for as long as any of them lives (the chain resolves lazily).
struct Sources {
  Environment env;
  ConfigFiles files;
  std::shared_ptr<HttpTransport> http;
  std::shared_ptr<ImdsClient> imds;
  StsCall sts;
};
using SourcesPtr = std::shared_ptr<const Sources>;

// Copies the context; loads the files from the environment when the context has none.
SourcesPtr snapshot(const ProviderContext& ctx);

// AWS_ACCESS_KEY_ID / AWS_SECRET_ACCESS_KEY / AWS_SESSION_TOKEN.
std::shared_ptr<CredentialsProvider> environment_provider(const SourcesPtr& s);

enum class ProfileFile { credentials, config };
// aws_access_key_id / aws_secret_access_key / aws_session_token in one of the two files.
std::shared_ptr<CredentialsProvider> file_keys_provider(const SourcesPtr& s, const std::string& profile,
                                                        ProfileFile which);

// role_arn with source_profile or credential_source (the profile must not use web identity).
std::shared_ptr<CredentialsProvider> assume_role_provider(const SourcesPtr& s, const std::string& profile);

// Web identity from the profile, and from AWS_WEB_IDENTITY_TOKEN_FILE / AWS_ROLE_ARN /
// AWS_ROLE_SESSION_NAME unless `use_env` is false (an explicitly named profile).
std::shared_ptr<CredentialsProvider> web_identity_provider(const SourcesPtr& s, const std::string& profile,
                                                           bool use_env);

// IAM Identity Center (SSO): the profile's sso_account_id and sso_role_name, in the sso_session
// form or the legacy one (credentials_sso.h).
std::shared_ptr<CredentialsProvider> sso_provider(const SourcesPtr& s, const std::string& profile);

// credential_process of the profile.
std::shared_ptr<CredentialsProvider> process_provider(const SourcesPtr& s, const std::string& profile);

// AWS_CONTAINER_CREDENTIALS_RELATIVE_URI / AWS_CONTAINER_CREDENTIALS_FULL_URI.
std::shared_ptr<CredentialsProvider> container_provider(const SourcesPtr& s);

// The instance role, through the metadata service; nullptr when it is disabled or absent.
std::shared_ptr<CredentialsProvider> instance_role_provider(const SourcesPtr& s);

// The credential sources of a profile that is itself a source (no environment, no container):
// web identity, SSO, shared credentials file, credential_process, config file.
std::shared_ptr<CredentialsProvider> profile_sources(const SourcesPtr& s, const std::string& profile);

// Shared helpers.
// An Expiration member: ISO 8601 text or epoch seconds; absent when it reads as neither.
std::optional<std::chrono::system_clock::time_point> parse_expiration(const nlohmann::ordered_json& value);
std::string generated_session_name();
// The region for STS calls made by the providers: AWS_REGION, AWS_DEFAULT_REGION, else the profile's.
std::optional<std::string> sts_region(const Sources& s, const std::string& profile);

}  // namespace quenfold_testlibs::awsapi::detail
