// Web identity: a token file (written and rotated by the platform, e.g. a Kubernetes service
// account) traded for role credentials through an unsigned AssumeRoleWithWebIdentity call.
// The file is read again on every refresh, because the platform replaces the token.
#include <fstream>
#include <sstream>

#include "awsapi/base/error.h"
#include "awsapi/credentials/credentials_providers.h"

namespace quenfold_testlibs::awsapi::detail {

namespace {

class WebIdentityFetcher final : public CredentialsProvider {
 public:
  WebIdentityFetcher(SourcesPtr s, std::string token_file, std::string role_arn, std::string session_name,
                     std::optional<std::string> region)
      : s_(std::move(s)),
        token_file_(std::move(token_file)),
        role_arn_(std::move(role_arn)),
        session_name_(std::move(session_name)),
        region_(std::move(region)) {}

  Credentials get() override {
    if (!s_->sts) throw CredentialsError("Cannot assume a role with web identity: no STS caller was configured");
    nlohmann::ordered_json request;
    request["RoleArn"] = role_arn_;
    request["RoleSessionName"] = session_name_;
    request["WebIdentityToken"] = read_token();
    nlohmann::ordered_json answer = s_->sts("AssumeRoleWithWebIdentity", request, nullptr, region_);
    if (!answer.is_object() || !answer.contains("Credentials"))
      throw CredentialsError("The AssumeRoleWithWebIdentity answer holds no Credentials");
    return credentials_from_sts(answer["Credentials"], "the AssumeRoleWithWebIdentity answer");
  }

  std::string name() const override { return "assume-role-with-web-identity"; }

 private:
  std::string read_token() const {
    std::ifstream in(token_file_, std::ios::binary);
    if (!in) throw CredentialsError("Unable to read the web identity token file " + token_file_);
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string token = ss.str();
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) token.pop_back();
    return token;
  }

  SourcesPtr s_;
  std::string token_file_;
  std::string role_arn_;
  std::string session_name_;
  std::optional<std::string> region_;
};

}  // namespace

std::shared_ptr<CredentialsProvider> web_identity_provider(const SourcesPtr& s, const std::string& profile,
                                                           bool use_env) {
  const Profile p = s->files.profile(profile).value_or(Profile{});
  // Each setting on its own: the environment variable wins over the profile's key.
  auto setting = [&](const char* key, const char* env_name) -> std::optional<std::string> {
    if (use_env) {
      if (auto v = s->env.get(env_name)) return v;
    }
    auto it = p.find(key);
    if (it == p.end() || it->second.empty()) return std::nullopt;
    return it->second;
  };
  auto token_file = setting("web_identity_token_file", "AWS_WEB_IDENTITY_TOKEN_FILE");
  if (!token_file) return nullptr;
  auto role_arn = setting("role_arn", "AWS_ROLE_ARN");
  if (!role_arn)
    throw ConfigError("The profile \"" + profile +
                      "\" or the environment is configured to assume a role with web identity but has no role "
                      "ARN: set role_arn in the profile or AWS_ROLE_ARN");
  auto session = setting("role_session_name", "AWS_ROLE_SESSION_NAME");
  return make_refreshing(std::make_shared<WebIdentityFetcher>(
      s, *token_file, *role_arn, session.value_or(generated_session_name()), sts_region(*s, profile)));
}

}  // namespace quenfold_testlibs::awsapi::detail
