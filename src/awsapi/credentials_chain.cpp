// The default credential chain and the chain of an explicitly named profile, as declarative lists
// of sources in the reference SDK's order. The first configured source answers; a configured but
// broken one stops the chain with its error; only the instance role may fail quietly, since off
// EC2 the metadata service is simply not there.
#include <functional>
#include <mutex>
#include <vector>

#include "awsapi/credentials_providers.h"
#include "awsapi/error.h"

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

// The sources that read the shared files for `profile`, in order. `use_env` lets web identity
// take its settings from the environment (not for an explicitly named profile).
std::vector<Source> profile_chain(const SourcesPtr& s, const std::string& profile, bool use_env) {
  return {
      {"assume-role", [s, profile] { return detail::assume_role_provider(s, profile); }},
      {"web-identity", [s, profile, use_env] { return detail::web_identity_provider(s, profile, use_env); }},
      {"shared-credentials-file",
       [s, profile] { return detail::file_keys_provider(s, profile, detail::ProfileFile::credentials); }},
      {"credential-process", [s, profile] { return detail::process_provider(s, profile); }},
      {"config-file", [s, profile] { return detail::file_keys_provider(s, profile, detail::ProfileFile::config); }},
      {"container", [s] { return detail::container_provider(s); }},
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
