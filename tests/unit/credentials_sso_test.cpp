// IAM Identity Center profiles: which settings make one and what is wrong with them, when a cached
// token is used, renewed or refused, and the provider's calls against a scripted transport, with
// the token cache in a temporary HOME.
#include "awsapi/credentials/credentials_sso.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "awsapi/base/error.h"
#include "awsapi/base/timestamp.h"
#include "awsapi/transport/endpoints.h"
#include "core/clock.h"
#include "fakes.h"

namespace qa = quenfold_testlibs::awsapi;
namespace sso = quenfold_testlibs::awsapi::sso;
namespace core = quenfold_testlibs::core;
using quenfold_testlibs::fakes::FakeTransport;
using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

namespace {

const std::string kConfig = R"(
[profile dev]
sso_session = corp
sso_account_id = 111122223333
sso_role_name = Deploy
region = us-east-1

[sso-session corp]
sso_start_url = https://corp.awsapps.com/start
sso_region = eu-west-1

[profile old]
sso_start_url = https://corp.awsapps.com/start
sso_region = eu-west-1
sso_account_id = 111122223333
sso_role_name = Deploy

[profile half]
sso_session = corp
region = us-east-1

[profile region-only]
region = us-east-1

[profile role-half]
source_profile = dev

[profile token-only]
aws_session_token = t
)";

std::string error_of(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(SsoSettings, BothFormsAndWhatIsWrongWithThem) {
  auto files = qa::ConfigFiles::parse(kConfig, "");
  auto dev = sso::settings_of(files, "dev");
  ASSERT_TRUE(dev);
  EXPECT_EQ(dev->session_name, "corp");
  EXPECT_EQ(dev->start_url, "https://corp.awsapps.com/start");
  EXPECT_EQ(dev->region, "eu-west-1");
  auto old = sso::settings_of(files, "old");
  ASSERT_TRUE(old);
  EXPECT_FALSE(old->session_name);
  // The two forms name their caches differently, even for the same start URL.
  EXPECT_NE(sso::cache_file_name(*dev), sso::cache_file_name(*old));
  // Without an account id and a role name a profile is no SSO credential source at all.
  EXPECT_FALSE(sso::settings_of(files, "half"));
  EXPECT_FALSE(sso::settings_of(files, "region-only"));

  auto broken = [](const std::string& config, const std::string& profile) {
    return error_of([&] { sso::settings_of(qa::ConfigFiles::parse(config, ""), profile); });
  };
  EXPECT_EQ(broken("[profile p]\nsso_account_id = 1\nsso_region = eu-west-1\n", "p"),
            "The profile \"p\" is configured to use SSO but is missing required configuration: sso_role_name, "
            "sso_start_url");
  EXPECT_EQ(broken("[profile p]\nsso_session = gone\nsso_account_id = 1\nsso_role_name = r\n", "p"),
            "The specified sso-session does not exist: \"gone\"");
  EXPECT_EQ(broken(kConfig + "[profile clash]\nsso_session = corp\nsso_region = us-east-2\nsso_account_id = 1\n"
                             "sso_role_name = r\n",
                   "clash"),
            "The value for sso_region is inconsistent between profile (us-east-2) and sso-session (eu-west-1).");
}

TEST(SsoTokenPlan, RenewsInsideTheWindowAndRefusesOnlyWhatHasExpired) {
  auto files = qa::ConfigFiles::parse(kConfig, "");
  const auto session = *sso::settings_of(files, "dev");
  const auto legacy = *sso::settings_of(files, "old");
  const auto now = std::chrono::system_clock::time_point(1700000000s);
  auto token = [&](std::chrono::seconds left, bool refresh, std::chrono::seconds registration = 86400s) {
    sso::Token t;
    t.access_token = "tok";
    t.expires_at = now + left;
    if (refresh)
      t.cache = {{"refreshToken", "r"},
                 {"clientId", "c"},
                 {"clientSecret", "s"},
                 {"registrationExpiresAt", qa::format_iso8601(now + registration)}};
    return t;
  };
  using P = sso::TokenPlan;
  EXPECT_EQ(sso::plan(token(20min, true), session, now), P::Use);
  EXPECT_EQ(sso::plan(token(10min, true), session, now), P::Refresh);
  EXPECT_EQ(sso::plan(token(10min, false), session, now), P::Use);
  EXPECT_EQ(sso::plan(token(-1h, true), session, now), P::Refresh);
  EXPECT_EQ(sso::plan(token(-1h, false), session, now), P::Expired);
  EXPECT_EQ(sso::plan(token(-1h, true, -1s), session, now), P::Expired);  // the registration ran out
  EXPECT_EQ(sso::plan(token(-1h, true), legacy, now), P::Expired);        // the legacy form never renews
}

// A HOME with the token cache, the profiles above, and a scripted transport behind the provider.
class SsoProviderTest : public ::testing::Test {
 protected:
  SsoProviderTest() : scoped_(clock_) {
    home_ = std::filesystem::temp_directory_path() / ("quenfold-sso-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home_);
    settings_ = *sso::settings_of(qa::ConfigFiles::parse(kConfig, ""), "dev");
  }
  ~SsoProviderTest() override { std::filesystem::remove_all(home_); }

  std::shared_ptr<qa::CredentialsProvider> provider(const std::string& profile,
                                                    std::map<std::string, std::string> extra = {}) {
    extra["HOME"] = home_.string();
    env_ = qa::Environment(extra);
    files_ = qa::ConfigFiles::parse(kConfig, "");
    qa::ProviderContext ctx;
    ctx.env = &env_;
    ctx.files = &files_;
    ctx.http = http_;
    return qa::make_profile_provider(ctx, profile);
  }
  std::filesystem::path cache_file() { return sso::cache_path(qa::Environment({{"HOME", home_.string()}}), settings_); }
  void write_cache(std::chrono::seconds left, bool refresh) {
    json c = {{"startUrl", settings_.start_url},
              {"region", "eu-west-1"},
              {"accessToken", "old-token"},
              {"expiresAt", qa::format_iso8601(clock_.now() + left)}};
    if (refresh) {
      c["clientId"] = "cid";
      c["clientSecret"] = "csecret";
      c["registrationExpiresAt"] = qa::format_iso8601(clock_.now() + 24h);
      c["refreshToken"] = "old-refresh";
    }
    std::filesystem::create_directories(cache_file().parent_path());
    std::ofstream(cache_file()) << c.dump();
  }
  json read_cache() {
    std::ifstream in(cache_file());
    std::stringstream ss;
    ss << in.rdbuf();
    return json::parse(ss.str());
  }
  static std::string role_answer() {
    return R"({"roleCredentials":{"accessKeyId":"ASIAPORTAL","secretAccessKey":"s","sessionToken":"t",)"
           R"("expiration":1700003600000}})";
  }

  core::RecordingClock clock_;
  core::ScopedClock scoped_;
  std::filesystem::path home_;
  sso::Settings settings_;
  qa::Environment env_;
  qa::ConfigFiles files_;
  std::shared_ptr<FakeTransport> http_ = std::make_shared<FakeTransport>();
};

TEST_F(SsoProviderTest, AValidTokenIsTradedAtThePortalOfTheSessionRegion) {
  write_cache(1h, true);
  http_->answer(200, role_answer());
  auto c = provider("dev")->get();
  EXPECT_EQ(c.access_key_id, "ASIAPORTAL");
  EXPECT_EQ(c.expiration, std::chrono::system_clock::time_point(1700003600s));
  ASSERT_EQ(http_->count(), 1u);
  const auto req = http_->requests()[0];
  EXPECT_EQ(
      req.url,
      "https://portal.sso.eu-west-1.amazonaws.com/federation/credentials?role_name=Deploy&account_id=111122223333");
  EXPECT_EQ(req.header("x-amz-sso_bearer_token"), "old-token");
  EXPECT_FALSE(req.header("Authorization"));
}

TEST_F(SsoProviderTest, AnExpiringTokenIsRenewedAndTheCacheWrittenBackOwnerOnly) {
  write_cache(5min, true);
  http_->answer(200, R"({"accessToken":"new-token","tokenType":"Bearer","expiresIn":28800,"refreshToken":"new-r"})");
  http_->answer(200, role_answer());
  provider("dev", {{"AWS_ENDPOINT_URL_SSO_OIDC", "http://127.0.0.1:9/oidc"}})->get();
  ASSERT_EQ(http_->count(), 2u);
  EXPECT_EQ(http_->requests()[0].url, "http://127.0.0.1:9/oidc/token");
  EXPECT_EQ(json::parse(http_->requests()[0].body), json({{"clientId", "cid"},
                                                          {"clientSecret", "csecret"},
                                                          {"grantType", "refresh_token"},
                                                          {"refreshToken", "old-refresh"}}));
  EXPECT_EQ(http_->requests()[1].header("x-amz-sso_bearer_token"), "new-token");
  const json cache = read_cache();
  EXPECT_EQ(cache["accessToken"], "new-token");
  EXPECT_EQ(cache["refreshToken"], "new-r");
  EXPECT_EQ(cache["expiresAt"], qa::format_iso8601(clock_.now() + 8h));
  struct stat st {};
  ASSERT_EQ(::stat(cache_file().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600);
}

TEST_F(SsoProviderTest, AnExpiredSessionIsOneLineAndNoCall) {
  const std::string expired = "The SSO session of profile \"dev\" has expired. Run: aws sso login --profile dev";
  write_cache(-1min, false);
  EXPECT_EQ(error_of([&] { provider("dev")->get(); }), expired);
  EXPECT_EQ(http_->count(), 0u);

  // A renewal the OIDC service refuses: fatal once the token has expired, not before.
  write_cache(-1min, true);
  http_->answer(400, R"({"error":"invalid_grant"})", {{"x-amzn-errortype", "InvalidGrantException"}});
  EXPECT_EQ(error_of([&] { provider("dev")->get(); }), expired);
  write_cache(5min, true);
  http_->answer(400, R"({"error":"invalid_grant"})").answer(200, role_answer());
  EXPECT_EQ(provider("dev")->get().access_key_id, "ASIAPORTAL");
  EXPECT_EQ(http_->requests().back().header("x-amz-sso_bearer_token"), "old-token");

  // The portal's own verdict on a token it no longer takes.
  write_cache(1h, false);
  http_->answer(401, R"({"message":"Session token not found or invalid"})",
                {{"x-amzn-errortype", "UnauthorizedException"}});
  EXPECT_EQ(error_of([&] { provider("dev")->get(); }),
            "The SSO session of profile \"dev\" has expired or is otherwise invalid. Run: aws sso login --profile dev");
}

TEST_F(SsoProviderTest, ANamedProfileNeverFallsThroughToAnotherIdentity) {
  // No cache: the message says how to sign in, instead of trying the sources after SSO.
  EXPECT_EQ(error_of([&] { provider("dev")->get(); }).rfind("No SSO session found for profile \"dev\"", 0), 0u);
  EXPECT_EQ(error_of([&] { provider("half")->get(); }),
            "The profile \"half\" has SSO settings but is missing sso_account_id, sso_role_name; not falling back "
            "to the container or instance role");
  EXPECT_EQ(error_of([&] { provider("role-half")->get(); }),
            "The profile \"role-half\" has role settings but is missing role_arn; not falling back to the container "
            "or instance role");
  EXPECT_EQ(error_of([&] { provider("token-only")->get(); }).rfind("The profile \"token-only\" has a session token", 0),
            0u);
  // A profile holding no credential settings may still use the container's or instance's role.
  EXPECT_EQ(error_of([&] { provider("region-only")->get(); }).rfind("Unable to locate credentials", 0), 0u);
  EXPECT_EQ(http_->count(), 0u);
}

TEST(SsoEndpoints, PortalAndOidcHostsAndTheirOverrides) {
  qa::Environment none;
  EXPECT_EQ(qa::resolve_endpoint("sso", "cn-north-1", none, nullptr).url,
            "https://portal.sso.cn-north-1.amazonaws.com.cn");
  EXPECT_EQ(qa::resolve_endpoint("sso-oidc", "eu-west-1", none, nullptr).url, "https://oidc.eu-west-1.amazonaws.com");
  qa::Environment env({{"AWS_ENDPOINT_URL_SSO", "http://127.0.0.1:1"}, {"AWS_ENDPOINT_URL", "http://127.0.0.1:2"}});
  EXPECT_EQ(qa::resolve_endpoint("sso", "eu-west-1", env, nullptr).url, "http://127.0.0.1:1");
  EXPECT_EQ(qa::resolve_endpoint("sso-oidc", "eu-west-1", env, nullptr).url, "http://127.0.0.1:2");
}

}  // namespace
