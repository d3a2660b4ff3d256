// Credentials from the process environment, the first source of the default chain.
#include "awsapi/base/error.h"
#include "awsapi/base/timestamp.h"
#include "awsapi/credentials/credentials_providers.h"

namespace quenfold_testlibs::awsapi::detail {

namespace {

class EnvironmentProvider final : public CredentialsProvider {
 public:
  explicit EnvironmentProvider(SourcesPtr s) : s_(std::move(s)) {}

  Credentials get() override {
    const Environment& env = s_->env;
    auto id = env.get("AWS_ACCESS_KEY_ID");
    auto secret = env.get("AWS_SECRET_ACCESS_KEY");
    // Half a key pair is a broken configuration, not an absent one.
    if (!id) throw CredentialsError("Partial credentials found in environment, missing: AWS_ACCESS_KEY_ID");
    if (!secret) throw CredentialsError("Partial credentials found in environment, missing: AWS_SECRET_ACCESS_KEY");
    Credentials c;
    c.access_key_id = *id;
    c.secret_access_key = *secret;
    c.session_token = env.get("AWS_SESSION_TOKEN").value_or(env.get("AWS_SECURITY_TOKEN").value_or(""));
    if (auto exp = env.get("AWS_CREDENTIAL_EXPIRATION")) {
      c.expiration = parse_iso8601(*exp);
      if (!c.expiration) throw CredentialsError("AWS_CREDENTIAL_EXPIRATION is not an ISO 8601 time");
    }
    return checked_credentials(std::move(c), "the environment");
  }

  std::string name() const override { return "environment"; }

 private:
  SourcesPtr s_;
};

}  // namespace

std::shared_ptr<CredentialsProvider> environment_provider(const SourcesPtr& s) {
  if (!s->env.get("AWS_ACCESS_KEY_ID") && !s->env.get("AWS_SECRET_ACCESS_KEY")) return nullptr;
  return std::make_shared<EnvironmentProvider>(s);
}

}  // namespace quenfold_testlibs::awsapi::detail
