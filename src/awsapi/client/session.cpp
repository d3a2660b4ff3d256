// Sessions tie a credentials provider to the shared Context and make service clients. The STS
// calls that some credential sources need (role_arn profiles, web identity) go through the same
// client pipeline, so they get the same retries, endpoints and signing as every other call.
#include "awsapi/client/session.h"

#include "awsapi/base/error.h"
#include "awsapi/client/service_client.h"
#include "awsapi/transport/endpoints.h"

namespace quenfold_testlibs::awsapi {

namespace {

const std::string* setting(const std::optional<Profile>& profile, const std::string& key) {
  if (!profile) return nullptr;
  auto it = profile->find(key);
  return it == profile->end() ? nullptr : &it->second;
}

std::shared_ptr<ServiceClient> make_service_client(const std::shared_ptr<const Context>& ctx,
                                                   const std::string& service, const std::optional<std::string>& region,
                                                   std::shared_ptr<CredentialsProvider> credentials,
                                                   const std::optional<Profile>& profile) {
  ClientConfig cfg;
  cfg.service = service;
  cfg.region = region;
  cfg.credentials = std::move(credentials);
  cfg.http = ctx->http;
  cfg.quota = ctx->quota;
  cfg.limiters = ctx->limiters;
  cfg.retry = RetryConfig::from(ctx->env, setting(profile, "max_attempts"), setting(profile, "retry_mode"),
                                ctx->default_max_attempts, ctx->default_retry_mode);
  cfg.env = ctx->env;
  cfg.profile = profile;
  cfg.keep_alive = ctx;
  return std::make_shared<ServiceClient>(std::move(cfg));
}

std::optional<std::string> region_for(const Context& ctx, const std::optional<std::string>& explicit_region,
                                      const std::optional<Profile>& profile) {
  return resolve_region(explicit_region, ctx.env, profile ? &*profile : nullptr);
}

}  // namespace

std::shared_ptr<const Context> Context::make(Environment env, ConfigFiles files, std::shared_ptr<HttpTransport> http,
                                             int default_max_attempts, const std::string& default_retry_mode) {
  auto ctx = std::make_shared<Context>();
  ctx->default_max_attempts = default_max_attempts;
  ctx->default_retry_mode = default_retry_mode;
  ctx->env = std::move(env);
  ctx->files = std::move(files);
  ctx->http = std::move(http);
  ctx->imds = std::make_shared<ImdsClient>(ctx->env, ctx->http);
  ctx->quota = std::make_shared<RetryQuota>();
  ctx->limiters = std::make_shared<RateLimiters>();
  return ctx;
}

std::shared_ptr<const Context> Context::from_process(int default_max_attempts, const std::string& default_retry_mode) {
  Environment env = Environment::from_process();
  ConfigFiles files = ConfigFiles::load(env);
  auto http = make_curl_transport(env);
  return make(std::move(env), std::move(files), std::move(http), default_max_attempts, default_retry_mode);
}

Session Session::from_profile(std::shared_ptr<const Context> ctx, const std::optional<std::string>& profile) {
  if (!ctx) throw std::invalid_argument("Session needs a Context");
  if (profile && !ctx->files.has_profile(*profile))
    throw ConfigError("The config profile (" + *profile + ") could not be found");
  const std::string config_name = profile ? *profile : ConfigFiles::selected_profile_name(ctx->env);

  ProviderContext pc;
  pc.env = &ctx->env;
  pc.files = &ctx->files;
  pc.http = ctx->http;
  pc.imds = ctx->imds;
  // The provider keeps this function, and with it the Context its pointers above refer to.
  pc.sts = [ctx, config_name](const std::string& operation, const json& request,
                              std::shared_ptr<CredentialsProvider> source, const std::optional<std::string>& region) {
    const auto prof = ctx->files.profile(config_name);
    auto client = make_service_client(ctx, "sts", region_for(*ctx, region, prof), std::move(source), prof);
    return client->call(operation, request);
  };
  auto provider = profile ? make_profile_provider(pc, *profile) : make_default_chain(pc);
  const auto prof = ctx->files.profile(config_name);
  auto region = region_for(*ctx, std::nullopt, prof);
  return Session(std::move(ctx), std::move(provider), config_name, std::move(region));
}

Session Session::from_credentials(std::shared_ptr<const Context> ctx, Credentials credentials,
                                  const std::optional<std::string>& profile) {
  if (!ctx) throw std::invalid_argument("Session needs a Context");
  const std::string config_name = profile ? *profile : ConfigFiles::selected_profile_name(ctx->env);
  const auto prof = ctx->files.profile(config_name);
  auto region = region_for(*ctx, std::nullopt, prof);
  return Session(std::move(ctx), make_static_provider(std::move(credentials), "explicit"), config_name,
                 std::move(region));
}

Session Session::assuming_role(nlohmann::ordered_json request, std::string answer_name) const {
  const std::string config_name = profile_.value_or(ConfigFiles::selected_profile_name(ctx_->env));
  StsCall sts = [ctx = ctx_, config_name](const std::string& operation, const json& r,
                                          std::shared_ptr<CredentialsProvider> source,
                                          const std::optional<std::string>& region) {
    const auto prof = ctx->files.profile(config_name);
    auto client = make_service_client(ctx, "sts", region_for(*ctx, region, prof), std::move(source), prof);
    return client->call(operation, r);
  };
  auto provider =
      make_assume_role_provider(std::move(sts), std::move(request), credentials_, region_, std::move(answer_name));
  return Session(ctx_, std::move(provider), profile_, region_);
}

std::shared_ptr<AwsClient> Session::client(const std::string& service, const std::optional<std::string>& region) const {
  const auto prof = profile_ ? ctx_->files.profile(*profile_) : std::nullopt;
  return make_service_client(ctx_, service, region ? region : region_, credentials_, prof);
}

}  // namespace quenfold_testlibs::awsapi
