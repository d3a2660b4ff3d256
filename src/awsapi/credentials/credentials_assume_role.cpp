// role_arn profiles: credentials from STS AssumeRole, signed with the credentials of a source
// profile (itself possibly a role profile, so chains are followed and loops refused) or of a named
// credential_source (Environment, Ec2InstanceMetadata, EcsContainer).
#include <algorithm>

#include "awsapi/base/error.h"
#include "awsapi/credentials/credentials_providers.h"

namespace quenfold_testlibs::awsapi::detail {

namespace {

bool has(const Profile& p, const char* key) { return p.contains(key); }

bool has_static_keys(const Profile& p) { return has(p, "aws_access_key_id") || has(p, "aws_secret_access_key"); }

bool is_role_profile(const Profile& p) { return has(p, "role_arn") && !has(p, "web_identity_token_file"); }

// One AssumeRole call per get(); make_refreshing decides when.
class AssumeRoleFetcher final : public CredentialsProvider {
 public:
  AssumeRoleFetcher(StsCall sts, nlohmann::ordered_json request, std::shared_ptr<CredentialsProvider> source,
                    std::optional<std::string> region, std::string answer_name)
      : sts_(std::move(sts)),
        request_(std::move(request)),
        source_(std::move(source)),
        region_(std::move(region)),
        answer_name_(std::move(answer_name)) {}

  Credentials get() override {
    if (!sts_) throw CredentialsError("Cannot assume a role: no STS caller was configured");
    nlohmann::ordered_json answer = sts_("AssumeRole", request_, source_, region_);
    if (!answer.is_object() || !answer.contains("Credentials"))
      throw CredentialsError("The AssumeRole answer holds no Credentials");
    return credentials_from_sts(answer["Credentials"], answer_name_);
  }

  void invalidate() override { source_->invalidate(); }
  std::string name() const override { return "assume-role"; }

 private:
  StsCall sts_;
  nlohmann::ordered_json request_;
  std::shared_ptr<CredentialsProvider> source_;
  std::optional<std::string> region_;
  std::string answer_name_;
};

std::shared_ptr<CredentialsProvider> build(const SourcesPtr& s, const std::string& profile,
                                           std::vector<std::string>& visited);

std::shared_ptr<CredentialsProvider> from_credential_source(const SourcesPtr& s, const std::string& source,
                                                            const std::string& profile) {
  std::shared_ptr<CredentialsProvider> p;
  if (source == "Environment") {
    p = environment_provider(s);
  } else if (source == "Ec2InstanceMetadata") {
    p = instance_role_provider(s);
  } else if (source == "EcsContainer") {
    p = container_provider(s);
  } else {
    throw ConfigError("The credential source \"" + source + "\" referenced in profile \"" + profile +
                      "\" is not valid.");
  }
  if (!p) throw CredentialsError("No credentials found in credential_source referenced in profile " + profile);
  return p;
}

void check_source_profile(const SourcesPtr& s, const std::string& parent, const std::string& source,
                          const std::vector<std::string>& visited) {
  auto sp = s->files.profile(source);
  if (!sp)
    throw ConfigError("The source_profile \"" + source + "\" referenced in the profile \"" + parent +
                      "\" does not exist.");
  if (std::find(visited.begin(), visited.end(), source) == visited.end()) return;
  // A profile may name itself as its source to take static keys from the same section.
  if (source == parent && has_static_keys(*sp)) return;
  std::string chain;
  for (const auto& v : visited) chain += (chain.empty() ? "" : ", ") + v;
  throw ConfigError("Infinite loop in credential configuration detected. Attempting to load from profile " + source +
                    " which has already been visited. Visited profiles: " + chain);
}

std::shared_ptr<CredentialsProvider> from_source_profile(const SourcesPtr& s, const std::string& source,
                                                         std::vector<std::string>& visited) {
  auto sp = *s->files.profile(source);
  if (has_static_keys(sp) || !is_role_profile(sp)) {
    auto p = profile_sources(s, source);
    if (!p) throw ConfigError("The source profile \"" + source + "\" must have credentials.");
    return p;
  }
  return build(s, source, visited);
}

std::shared_ptr<CredentialsProvider> build(const SourcesPtr& s, const std::string& profile,
                                           std::vector<std::string>& visited) {
  const Profile p = *s->files.profile(profile);
  auto value = [&](const char* key) -> std::optional<std::string> {
    auto it = p.find(key);
    if (it == p.end()) return std::nullopt;
    return it->second;
  };
  auto source_profile = value("source_profile");
  auto credential_source = value("credential_source");
  if (source_profile && credential_source)
    throw ConfigError("The profile \"" + profile + "\" contains both source_profile and credential_source.");
  if (!source_profile && !credential_source)
    throw CredentialsError("Partial credentials found in assume-role (profile " + profile +
                           "), missing: source_profile or credential_source");

  std::shared_ptr<CredentialsProvider> source;
  if (credential_source) {
    source = from_credential_source(s, *credential_source, profile);
  } else {
    check_source_profile(s, profile, *source_profile, visited);
    visited.push_back(*source_profile);
    source = from_source_profile(s, *source_profile, visited);
  }

  nlohmann::ordered_json request;
  request["RoleArn"] = *value("role_arn");
  auto session_name = value("role_session_name");
  request["RoleSessionName"] = session_name && !session_name->empty() ? *session_name : generated_session_name();
  if (auto external_id = value("external_id")) request["ExternalId"] = *external_id;
  if (auto duration = value("duration_seconds")) {
    // An unreadable duration is left out, as the reference SDK does, and STS picks its default.
    try {
      size_t used = 0;
      long long seconds = std::stoll(*duration, &used);
      if (used == duration->size()) request["DurationSeconds"] = seconds;
    } catch (const std::exception&) {
    }
  }
  return make_assume_role_provider(s->sts, std::move(request), std::move(source), sts_region(*s, profile));
}

}  // namespace

std::shared_ptr<CredentialsProvider> assume_role_provider(const SourcesPtr& s, const std::string& profile) {
  auto p = s->files.profile(profile);
  if (!p || !is_role_profile(*p)) return nullptr;
  std::vector<std::string> visited{profile};
  return build(s, profile, visited);
}

std::shared_ptr<CredentialsProvider> profile_sources(const SourcesPtr& s, const std::string& profile) {
  if (auto p = web_identity_provider(s, profile, false)) return p;
  if (auto p = sso_provider(s, profile)) return p;
  if (auto p = file_keys_provider(s, profile, ProfileFile::credentials)) return p;
  if (auto p = process_provider(s, profile)) return p;
  return file_keys_provider(s, profile, ProfileFile::config);
}

}  // namespace quenfold_testlibs::awsapi::detail

namespace quenfold_testlibs::awsapi {

std::shared_ptr<CredentialsProvider> make_assume_role_provider(StsCall sts, nlohmann::ordered_json request,
                                                               std::shared_ptr<CredentialsProvider> source,
                                                               std::optional<std::string> region,
                                                               std::string answer_name) {
  return make_refreshing(std::make_shared<detail::AssumeRoleFetcher>(
      std::move(sts), std::move(request), std::move(source), std::move(region), std::move(answer_name)));
}

}  // namespace quenfold_testlibs::awsapi
