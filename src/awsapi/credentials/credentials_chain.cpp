// The default credential chain and the chain of an explicitly named profile, as declarative lists
// of sources in the reference SDK's order. The first configured source answers; a configured but
// broken one stops the chain with its error; only the instance role may fail quietly, since off
// EC2 the metadata service is simply not there.
#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

#include "awsapi/base/error.h"
#include "awsapi/credentials/credentials_providers.h"

namespace quenfold_testlibs::awsapi {

namespace {

using detail::SourcesPtr;

struct Source {
  std::string name;                                            // as listed in "Unable to locate credentials" errors
  std::function<std::shared_ptr<CredentialsProvider>()> find;  // nullptr: not configured
  bool quiet_failure = false;  // a failed first fetch means "not found" rather than an error
};

class ChainProvider final : public CredentialsProvider {
 public:
  explicit ChainProvider(std::vector<Source> sources) : sources_(std::move(sources)) {}

  Credentials get() override {
    std::shared_ptr<CredentialsProvider> chosen;
    std::optional<Credentials> first;
    {
      std::lock_guard lk(mu_);
      if (!chosen_) resolve(first);
      chosen = chosen_;
    }
    if (first) return *first;
    return chosen->get();
  }

  void invalidate() override {
    std::lock_guard lk(mu_);
    if (chosen_) chosen_->invalidate();
  }

  std::string name() const override {
    std::lock_guard lk(mu_);
    return chosen_ ? chosen_->name() : "default-chain";
  }

 private:
  void resolve(std::optional<Credentials>& first) {
    std::string tried;
    for (const auto& source : sources_) {
      tried += (tried.empty() ? "" : ", ") + source.name;
      auto provider = source.find();
      if (!provider) continue;
      if (source.quiet_failure) {
        try {
          first = provider->get();
        } catch (const UnsafeCredentialsError&) {
          throw;
        } catch (const AwsError&) {
          continue;
        }
      } else {
        first = provider->get();
      }
      chosen_ = std::move(provider);
      return;
    }
    throw CredentialsError("Unable to locate credentials. Sources tried: " + tried);
  }

  std::vector<Source> sources_;
  mutable std::mutex mu_;
  std::shared_ptr<CredentialsProvider> chosen_;
};

bool has_setting(const Profile& p, const char* key) { return p.contains(key); }

// A profile whose credential settings no source above took must not end in the container's or the
// instance's role: that would run as an identity the profile does not name, perhaps in another
// account. Only a profile without any such setting (one that just sets a region, say) goes on to
// them. Throws a ConfigError naming the profile and what it lacks.
void refuse_unusable_settings(const detail::Sources& s, const std::string& profile) {
  auto p = s.files.profile(profile);
  if (!p) return;
  auto any_of = [&](std::initializer_list<const char*> keys) {
    return std::any_of(keys.begin(), keys.end(), [&](const char* k) { return has_setting(*p, k); });
  };
  auto missing = [&](std::initializer_list<const char*> keys) {
    std::string out;
    for (const char* key : keys) {
      if (!has_setting(*p, key)) out += (out.empty() ? "" : ", ") + std::string(key);
    }
    return out;
  };
  std::string problem;
  if (any_of({"credential_process"})) {
    problem = "an empty credential_process";
  } else if (any_of({"web_identity_token_file"})) {
    problem = "an empty web_identity_token_file";
  } else if (any_of({"sso_session", "sso_start_url", "sso_region"})) {
    problem = "SSO settings but is missing " + missing({"sso_account_id", "sso_role_name"});
  } else if (any_of({"source_profile", "credential_source", "role_session_name", "external_id", "duration_seconds",
                     "mfa_serial"})) {
    problem = "role settings but is missing " + missing({"role_arn"});
  } else if (any_of({"aws_session_token", "aws_security_token"})) {
    problem = "a session token but is missing aws_access_key_id, aws_secret_access_key";
  }
  if (!problem.empty())
    throw ConfigError("The profile \"" + profile + "\" has " + problem +
                      "; not falling back to the container or instance role");
}

// The sources that read the shared files for `profile`, in order. `use_env` lets web identity
// take its settings from the environment (not for an explicitly named profile).
std::vector<Source> profile_chain(const SourcesPtr& s, const std::string& profile, bool use_env) {
  return {
      {"assume-role", [s, profile] { return detail::assume_role_provider(s, profile); }},
      {"web-identity", [s, profile, use_env] { return detail::web_identity_provider(s, profile, use_env); }},
      {"sso", [s, profile] { return detail::sso_provider(s, profile); }},
      {"shared-credentials-file",
       [s, profile] { return detail::file_keys_provider(s, profile, detail::ProfileFile::credentials); }},
      {"credential-process", [s, profile] { return detail::process_provider(s, profile); }},
      {"config-file", [s, profile] { return detail::file_keys_provider(s, profile, detail::ProfileFile::config); }},
      {"container",
       [s, profile] {
         refuse_unusable_settings(*s, profile);
         return detail::container_provider(s);
       }},
      {"instance-metadata", [s] { return detail::instance_role_provider(s); }, true},
  };
}

}  // namespace

std::shared_ptr<CredentialsProvider> make_default_chain(const ProviderContext& ctx) {
  SourcesPtr s = detail::snapshot(ctx);
  const std::string profile = ConfigFiles::selected_profile_name(s->env);
  std::vector<Source> sources{{"environment", [s] { return detail::environment_provider(s); }}};
  auto rest = profile_chain(s, profile, true);
  // A profile named by AWS_PROFILE must exist once the chain reaches the files.
  if (ConfigFiles::explicit_profile_name(s->env) && profile != "default") {
    auto& assume = rest.front().find;
    assume = [s, profile, inner = assume] {
      if (!s->files.has_profile(profile)) throw ConfigError("The config profile (" + profile + ") could not be found");
      return inner();
    };
  }
  sources.insert(sources.end(), rest.begin(), rest.end());
  return std::make_shared<ChainProvider>(std::move(sources));
}

std::shared_ptr<CredentialsProvider> make_profile_provider(const ProviderContext& ctx, const std::string& profile) {
  SourcesPtr s = detail::snapshot(ctx);
  // As in the reference SDK, only "default" may be named without existing.
  if (profile != "default" && !s->files.has_profile(profile))
    throw ConfigError("The config profile (" + profile + ") could not be found");
  return std::make_shared<ChainProvider>(profile_chain(s, profile, false));
}

}  // namespace quenfold_testlibs::awsapi
