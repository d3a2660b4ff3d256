// Credential sources and their precedence, with a temporary HOME holding the shared files, a
// recording STS stand-in, and loopback stubs for the container and metadata endpoints.
#include "awsapi/credentials/credentials.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <latch>
#include <mutex>
#include <thread>

#include "awsapi/base/environment.h"
#include "awsapi/base/error.h"
#include "awsapi/base/timestamp.h"
#include "awsapi/credentials/imds.h"
#include "awsapi/transport/http.h"
#include "core/clock.h"
#include "loopback_server.h"

namespace qa = quenfold_testlibs::awsapi;
using Vars = std::map<std::string, std::string>;
namespace core = quenfold_testlibs::core;
using json = nlohmann::ordered_json;
using namespace std::chrono_literals;

namespace {

// Stands in for the session layer's STS client: records every call and answers with fresh
// credentials that expire `lifetime` from the clock's now.
struct FakeSts {
  struct Call {
    std::string operation;
    json request;
    bool signed_call = false;
    std::string signing_key;  // access key id of the source credentials
    std::optional<std::string> region;
  };
  std::mutex mu;
  std::vector<Call> calls;
  std::chrono::seconds lifetime{3600};

  qa::StsCall fn() {
    return [this](const std::string& op, const json& request, std::shared_ptr<qa::CredentialsProvider> source,
                  const std::optional<std::string>& region) {
      Call c{op, request, source != nullptr, source ? source->get().access_key_id : "", region};
      std::lock_guard lk(mu);
      calls.push_back(c);
      json creds;
      creds["AccessKeyId"] = "ASIA-" + request["RoleArn"].get<std::string>() + "-" + std::to_string(calls.size());
      creds["SecretAccessKey"] = "sts-secret";
      creds["SessionToken"] = "sts-token";
      creds["Expiration"] = qa::format_iso8601(core::the_clock().now() + lifetime);
      json answer;
      answer["Credentials"] = creds;
      return answer;
    };
  }
  std::vector<Call> snapshot() {
    std::lock_guard lk(mu);
    return calls;
  }
};

class TempHome {
 public:
  TempHome() {
    path_ = std::filesystem::temp_directory_path() /
            ("quenfold-creds-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(path_ / ".aws");
  }
  ~TempHome() { std::filesystem::remove_all(path_); }
  std::string path() const { return path_.string(); }
  std::string write(const std::string& rel, const std::string& text, bool executable = false) const {
    auto p = path_ / rel;
    std::ofstream(p) << text;
    if (executable) ::chmod(p.c_str(), 0700);
    return p.string();
  }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

// One scenario: a HOME with config and credentials files, extra environment variables, and the
// context a session would hand to the providers.
class CredentialsTest : public ::testing::Test {
 protected:
  void files(const std::string& config, const std::string& credentials) {
    home_.write(".aws/config", config);
    home_.write(".aws/credentials", credentials);
  }
  qa::ProviderContext context(std::map<std::string, std::string> vars = {}) {
    vars["HOME"] = home_.path();
    if (!vars.contains("AWS_EC2_METADATA_DISABLED") && !vars.contains("AWS_EC2_METADATA_SERVICE_ENDPOINT"))
      vars["AWS_EC2_METADATA_DISABLED"] = "true";  // never probe a real metadata service from a test
    env_ = qa::Environment(vars);
    files_ = qa::ConfigFiles::load(env_);
    http_ = qa::make_curl_transport(env_);
    qa::ProviderContext ctx;
    ctx.env = &env_;
    ctx.files = &files_;
    ctx.http = http_;
    ctx.imds = std::make_shared<qa::ImdsClient>(env_, http_);
    ctx.sts = sts_.fn();
    return ctx;
  }
  static std::string error_of(const std::function<void()>& f) {
    try {
      f();
    } catch (const std::exception& e) {
      return e.what();
    }
    return "(no error)";
  }

  core::RecordingClock clock_;
  core::ScopedClock scoped_{clock_};
  TempHome home_;
  FakeSts sts_;
  qa::Environment env_;
  qa::ConfigFiles files_;
  std::shared_ptr<qa::HttpTransport> http_;
};

// ---- precedence of the default chain ----

TEST_F(CredentialsTest, EnvironmentComesFirst) {
  files("[default]\naws_access_key_id = FILE\naws_secret_access_key = file-secret\n", "");
  auto chain = qa::make_default_chain(
      context({{"AWS_ACCESS_KEY_ID", "ENV"}, {"AWS_SECRET_ACCESS_KEY", "env-secret"}, {"AWS_SESSION_TOKEN", "tok"}}));
  auto c = chain->get();
  EXPECT_EQ(c.access_key_id, "ENV");
  EXPECT_EQ(c.secret_access_key, "env-secret");
  EXPECT_EQ(c.session_token, "tok");
  EXPECT_FALSE(c.expiration);
  EXPECT_EQ(chain->name(), "environment");
}

TEST_F(CredentialsTest, AProfilesSessionTokenIsReadAsTheToken) {
  files("", "[default]\naws_access_key_id = FILE\naws_secret_access_key = file-secret\naws_session_token = file-tok\n");
  auto c = qa::make_default_chain(context({}))->get();
  EXPECT_EQ(c.access_key_id, "FILE");
  EXPECT_EQ(c.secret_access_key, "file-secret");
  EXPECT_EQ(c.session_token, "file-tok");
}

TEST_F(CredentialsTest, HalfAnEnvironmentKeyPairStopsTheChainNamingWhatIsMissing) {
  files("", "[default]\naws_access_key_id = FILE\naws_secret_access_key = file-secret\n");
  auto only_id = error_of([&] { qa::make_default_chain(context({{"AWS_ACCESS_KEY_ID", "ENV"}}))->get(); });
  EXPECT_NE(only_id.find("AWS_SECRET_ACCESS_KEY"), std::string::npos) << only_id;
  auto only_secret = error_of([&] {
    qa::make_default_chain(context({{"AWS_SECRET_ACCESS_KEY", "hush-hush"}}))->get();
  });
  EXPECT_NE(only_secret.find("AWS_ACCESS_KEY_ID"), std::string::npos) << only_secret;
  EXPECT_EQ(only_secret.find("hush-hush"), std::string::npos) << only_secret;
}

TEST_F(CredentialsTest, CredentialsFileBeatsProcessWhichBeatsConfigFileKeys) {
  std::string script = home_.write("proc.sh",
                                   "#!/bin/sh\necho '{\"Version\": 1, \"AccessKeyId\": \"PROC\", "
                                   "\"SecretAccessKey\": \"proc-secret\"}'\n",
                                   true);
  files("[default]\naws_access_key_id = CONFIG\naws_secret_access_key = s\ncredential_process = " + script + "\n",
        "[default]\naws_access_key_id = CREDS\naws_secret_access_key = s\n");
  EXPECT_EQ(qa::make_default_chain(context())->get().access_key_id, "CREDS");

  files("[default]\naws_access_key_id = CONFIG\naws_secret_access_key = s\ncredential_process = " + script + "\n", "");
  EXPECT_EQ(qa::make_default_chain(context())->get().access_key_id, "PROC");

  files("[default]\naws_access_key_id = CONFIG\naws_secret_access_key = s\n", "");
  auto chain = qa::make_default_chain(context());
  EXPECT_EQ(chain->get().access_key_id, "CONFIG");
  EXPECT_EQ(chain->name(), "config-file");
}

TEST_F(CredentialsTest, AwsProfileSelectsTheProfileAndAnUnknownOneIsAnError) {
  files("[profile dev]\naws_access_key_id = DEV\naws_secret_access_key = s\n",
        "[default]\naws_access_key_id = DEFAULT\naws_secret_access_key = s\n");
  EXPECT_EQ(qa::make_default_chain(context({{"AWS_PROFILE", "dev"}}))->get().access_key_id, "DEV");
  auto err = error_of([&] { qa::make_default_chain(context({{"AWS_PROFILE", "nope"}}))->get(); });
  EXPECT_EQ(err, "The config profile (nope) could not be found");
}

TEST_F(CredentialsTest, RoleProfileBeatsStaticKeysOfTheSameProfile) {
  files("[default]\nrole_arn = arn:aws:iam::1:role/r\nsource_profile = default\n",
        "[default]\naws_access_key_id = BASE\naws_secret_access_key = s\n");
  auto c = qa::make_default_chain(context())->get();
  auto calls = sts_.snapshot();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].operation, "AssumeRole");
  EXPECT_EQ(calls[0].signing_key, "BASE");  // a profile may be its own source for static keys
  EXPECT_EQ(c.access_key_id, "ASIA-arn:aws:iam::1:role/r-1");
  EXPECT_TRUE(c.expiration);
}

TEST_F(CredentialsTest, NothingFoundNamesEverySourceTried) {
  files("[default]\nregion = eu-west-1\n", "");
  auto err = error_of([&] { qa::make_default_chain(context())->get(); });
  EXPECT_EQ(err.rfind("Unable to locate credentials", 0), 0u) << err;
  for (const char* source : {"environment", "assume-role", "web-identity", "shared-credentials-file",
                             "credential-process", "config-file", "container", "instance-metadata"}) {
    EXPECT_NE(err.find(source), std::string::npos) << source << " missing in: " << err;
  }
}

TEST_F(CredentialsTest, UnreachableMetadataServiceMeansNotFoundRatherThanAnError) {
  files("", "");
  // A port nothing listens on: connections are refused at once.
  int dead_port;
  {
    quenfold_testlibs::testing::LoopbackServer srv;
    srv.start();
    dead_port = srv.port();
  }
  auto ctx = context({{"AWS_EC2_METADATA_SERVICE_ENDPOINT", "http://127.0.0.1:" + std::to_string(dead_port)}});
  EXPECT_THROW(
      {
        try {
          qa::make_default_chain(ctx)->get();
        } catch (const qa::CredentialsError& e) {
          EXPECT_EQ(std::string(e.what()).rfind("Unable to locate credentials", 0), 0u);
          throw;
        }
      },
      qa::CredentialsError);
}

TEST_F(CredentialsTest, BrokenProfileStopsTheChainBeforeLaterSources) {
  files("", "[default]\naws_access_key_id = ONLY_ID\n");
  auto err = error_of([&] { qa::make_default_chain(context())->get(); });
  EXPECT_NE(err.find("Partial credentials"), std::string::npos) << err;
  EXPECT_NE(err.find("aws_secret_access_key"), std::string::npos) << err;

  files("[default]\nrole_arn = arn:aws:iam::1:role/r\nsource_profile = ghost\n", "");
  err = error_of([&] { qa::make_default_chain(context())->get(); });
  EXPECT_NE(err.find("\"ghost\""), std::string::npos) << err;
  EXPECT_TRUE(sts_.snapshot().empty());
}

// ---- named profiles ----

TEST_F(CredentialsTest, NamedProfileIgnoresEnvironmentKeysAndMustExist) {
  files("", "[work]\naws_access_key_id = WORK\naws_secret_access_key = s\n");
  auto ctx = context({{"AWS_ACCESS_KEY_ID", "ENV"}, {"AWS_SECRET_ACCESS_KEY", "s"}});
  EXPECT_EQ(qa::make_profile_provider(ctx, "work")->get().access_key_id, "WORK");
  EXPECT_EQ(error_of([&] { qa::make_profile_provider(ctx, "missing"); }),
            "The config profile (missing) could not be found");
  // "default" may be named without existing; it then simply finds nothing.
  auto none = error_of([&] { qa::make_profile_provider(ctx, "default")->get(); });
  EXPECT_EQ(none.rfind("Unable to locate credentials", 0), 0u) << none;
  EXPECT_EQ(none.find("environment"), std::string::npos) << none;  // a named profile skips it
}

TEST_F(CredentialsTest, ChainedRolesAreAssumedInOrderEachSignedByItsSource) {
  files(
      "[profile a]\nrole_arn = arn:a\nsource_profile = b\nrole_session_name = sess-a\nexternal_id = ext\n"
      "duration_seconds = 900\nregion = eu-central-1\n"
      "[profile b]\nrole_arn = arn:b\nsource_profile = c\n",
      "[c]\naws_access_key_id = BASE_C\naws_secret_access_key = s\n");
  auto c = qa::make_profile_provider(context(), "a")->get();
  auto calls = sts_.snapshot();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].request["RoleArn"], "arn:b");
  EXPECT_EQ(calls[0].signing_key, "BASE_C");
  EXPECT_EQ(calls[1].request["RoleArn"], "arn:a");
  EXPECT_EQ(calls[1].signing_key, "ASIA-arn:b-1");  // b's assumed credentials sign a's call
  EXPECT_EQ(calls[1].request["RoleSessionName"], "sess-a");
  EXPECT_EQ(calls[1].request["ExternalId"], "ext");
  EXPECT_EQ(calls[1].request["DurationSeconds"], 900);
  EXPECT_EQ(calls[1].region, "eu-central-1");
  EXPECT_FALSE(calls[0].request.contains("ExternalId"));
  EXPECT_EQ(calls[0].request["RoleSessionName"].get<std::string>().rfind("quenfold-session-", 0), 0u);
  EXPECT_EQ(c.access_key_id, "ASIA-arn:a-2");
}

TEST_F(CredentialsTest, SourceProfileLoopsAreRefused) {
  files("[profile a]\nrole_arn = arn:a\nsource_profile = b\n[profile b]\nrole_arn = arn:b\nsource_profile = a\n", "");
  auto err = error_of([&] { qa::make_profile_provider(context(), "a")->get(); });
  EXPECT_NE(err.find("Infinite loop"), std::string::npos) << err;
  // Self-reference without static keys is a loop too.
  files("[profile s]\nrole_arn = arn:s\nsource_profile = s\n", "");
  err = error_of([&] { qa::make_profile_provider(context(), "s")->get(); });
  EXPECT_NE(err.find("Infinite loop"), std::string::npos) << err;
  EXPECT_TRUE(sts_.snapshot().empty());
}

TEST_F(CredentialsTest, RoleSourceMustBeExactlyOneOfProfileOrCredentialSource) {
  files(
      "[profile both]\nrole_arn = arn:x\nsource_profile = c\ncredential_source = Environment\n"
      "[profile neither]\nrole_arn = arn:x\n"
      "[profile bad]\nrole_arn = arn:x\ncredential_source = Somewhere\n"
      "[profile empty_src]\nrole_arn = arn:x\nsource_profile = c\n"
      "[profile c]\nregion = r\n",
      "");
  auto ctx = context();
  EXPECT_NE(error_of([&] { qa::make_profile_provider(ctx, "both")->get(); }).find("contains both"), std::string::npos);
  EXPECT_NE(
      error_of([&] { qa::make_profile_provider(ctx, "neither")->get(); }).find("source_profile or credential_source"),
      std::string::npos);
  EXPECT_NE(error_of([&] { qa::make_profile_provider(ctx, "bad")->get(); }).find("\"Somewhere\""), std::string::npos);
  EXPECT_NE(error_of([&] { qa::make_profile_provider(ctx, "empty_src")->get(); }).find("must have credentials"),
            std::string::npos);
}

TEST_F(CredentialsTest, CredentialSourceEnvironmentSignsTheAssumeRoleCall) {
  files("[profile r]\nrole_arn = arn:r\ncredential_source = Environment\n", "");
  auto ctx = context({{"AWS_ACCESS_KEY_ID", "ENVKEY"}, {"AWS_SECRET_ACCESS_KEY", "s"}, {"AWS_REGION", "us-east-2"}});
  qa::make_profile_provider(ctx, "r")->get();
  auto calls = sts_.snapshot();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].signing_key, "ENVKEY");
  EXPECT_EQ(calls[0].region, "us-east-2");

  auto no_env = error_of([&] { qa::make_profile_provider(context(), "r")->get(); });
  EXPECT_NE(no_env.find("No credentials found in credential_source"), std::string::npos) << no_env;
}

TEST_F(CredentialsTest, AssumedRoleIsRefreshedBeforeItExpires) {
  files(
      "",
      "[default]\nrole_arn = arn:r\nsource_profile = base\n[base]\naws_access_key_id = B\naws_secret_access_key = s\n");
  auto chain = qa::make_default_chain(context());
  EXPECT_EQ(chain->get().access_key_id, "ASIA-arn:r-1");
  clock_.advance(50min);
  EXPECT_EQ(chain->get().access_key_id, "ASIA-arn:r-1");  // still well before expiry
  clock_.advance(6min);                                   // inside the 5 minute window
  EXPECT_EQ(chain->get().access_key_id, "ASIA-arn:r-2");
  chain->invalidate();
  EXPECT_EQ(chain->get().access_key_id, "ASIA-arn:r-3");
}

// ---- credential_process ----

TEST_F(CredentialsTest, CredentialProcessOutputIsParsedAndRefreshedOnExpiry) {
  std::string counter = home_.path() + "/runs";
  auto exp = qa::format_iso8601(clock_.now() + 1h);
  std::string script = home_.write("proc.sh",
                                   "#!/bin/sh\necho run >> " + counter +
                                       "\ncat <<EOF\n{\"Version\": 1, \"AccessKeyId\": \"PK\", \"SecretAccessKey\": "
                                       "\"ps\", \"SessionToken\": \"pt\", \"Expiration\": \"" +
                                       exp + "\"}\nEOF\n",
                                   true);
  // The command runs through the shell: arguments and quoting as written.
  files("[profile p]\ncredential_process = sh -c '" + script + "'\n", "");
  auto provider = qa::make_profile_provider(context(), "p");
  auto c = provider->get();
  EXPECT_EQ(c.access_key_id, "PK");
  EXPECT_EQ(c.secret_access_key, "ps");
  EXPECT_EQ(c.session_token, "pt");
  ASSERT_TRUE(c.expiration);
  EXPECT_EQ(*c.expiration,
            std::chrono::system_clock::from_time_t(std::chrono::system_clock::to_time_t(clock_.now() + 1h)));
  provider->get();
  clock_.advance(58min);
  provider->get();
  std::ifstream runs(counter);
  int lines = 0;
  for (std::string l; std::getline(runs, l);) ++lines;
  EXPECT_EQ(lines, 2);
}

TEST_F(CredentialsTest, CredentialProcessFailuresNameTheProfileButNeverTheOutput) {
  const std::string secret_json = R"({"Version": 1, "AccessKeyId": "LEAKED-ID", "SecretAccessKey": "LEAKED-SECRET"})";
  home_.write("fails.sh", "#!/bin/sh\necho '" + secret_json + "'\nexit 3\n", true);
  home_.write("garbage.sh", "#!/bin/sh\necho 'LEAKED-SECRET is not json'\n", true);
  home_.write("v2.sh", "#!/bin/sh\necho '{\"Version\": 2, \"AccessKeyId\": \"LEAKED-ID\"}'\n", true);
  home_.write("nosecret.sh", "#!/bin/sh\necho '{\"Version\": 1, \"AccessKeyId\": \"LEAKED-ID\"}'\n", true);
  files("[profile fails]\ncredential_process = " + home_.path() + "/fails.sh\n" +
            "[profile garbage]\ncredential_process = " + home_.path() + "/garbage.sh\n" +
            "[profile v2]\ncredential_process = " + home_.path() + "/v2.sh\n" +
            "[profile nosecret]\ncredential_process = " + home_.path() + "/nosecret.sh\n",
        "");
  auto ctx = context();
  for (const auto& [profile, expected] :
       std::vector<std::pair<std::string, std::string>>{{"fails", "status 3"},
                                                        {"garbage", "not a JSON object"},
                                                        {"v2", "Version"},
                                                        {"nosecret", "SecretAccessKey"}}) {
    std::string err = error_of([&] { qa::make_profile_provider(ctx, profile)->get(); });
    EXPECT_NE(err.find("\"" + profile + "\""), std::string::npos) << err;
    EXPECT_NE(err.find(expected), std::string::npos) << err;
    EXPECT_EQ(err.find("LEAKED"), std::string::npos) << err;
  }
}

// ---- web identity ----

TEST_F(CredentialsTest, WebIdentityIsUnsignedAndRereadsTheTokenFileOnRefresh) {
  files("[default]\naws_access_key_id = NOT_USED\naws_secret_access_key = s\n", "");
  std::string token_file = home_.write("token", "token-one\n");
  auto chain = qa::make_default_chain(context(
      {{"AWS_WEB_IDENTITY_TOKEN_FILE", token_file}, {"AWS_ROLE_ARN", "arn:web"}, {"AWS_ROLE_SESSION_NAME", "pod"}}));
  EXPECT_EQ(chain->get().access_key_id, "ASIA-arn:web-1");  // web identity before the shared files
  home_.write("token", "token-two");
  clock_.advance(2h);
  chain->get();
  auto calls = sts_.snapshot();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].operation, "AssumeRoleWithWebIdentity");
  EXPECT_FALSE(calls[0].signed_call);
  EXPECT_EQ(calls[0].request["WebIdentityToken"], "token-one");
  EXPECT_EQ(calls[0].request["RoleSessionName"], "pod");
  EXPECT_EQ(calls[1].request["WebIdentityToken"], "token-two");
}

TEST_F(CredentialsTest, WebIdentityFromTheProfileAndWithoutARoleArn) {
  std::string token_file = home_.write("token", "t");
  files("[profile w]\nweb_identity_token_file = " + token_file + "\nrole_arn = arn:w\n" +
            "[profile broken]\nweb_identity_token_file = " + token_file + "\n",
        "");
  auto ctx = context();
  qa::make_profile_provider(ctx, "w")->get();
  ASSERT_EQ(sts_.snapshot().size(), 1u);
  EXPECT_EQ(sts_.snapshot()[0].request["RoleArn"], "arn:w");
  EXPECT_THROW(qa::make_profile_provider(ctx, "broken")->get(), qa::ConfigError);
}

// ---- container and instance role ----

TEST_F(CredentialsTest, ContainerCredentialsWithAuthorizationFromAFile) {
  files("", "");
  quenfold_testlibs::testing::LoopbackServer srv;
  std::mutex mu;
  std::string seen_auth;
  srv.server().Get("/creds", [&](const httplib::Request& req, httplib::Response& res) {
    std::lock_guard lk(mu);
    seen_auth = req.get_header_value("Authorization");
    res.set_content(
        R"({"AccessKeyId": "CK", "SecretAccessKey": "cs", "Token": "ct", "Expiration": "2030-01-01T00:00:00Z"})",
        "application/json");
  });
  srv.start();
  std::string token_file = home_.write("auth", "Bearer abc\n");
  auto chain = qa::make_default_chain(context({{"AWS_CONTAINER_CREDENTIALS_FULL_URI", srv.url() + "/creds"},
                                               {"AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE", token_file},
                                               {"HTTP_PROXY", "http://127.0.0.1:1"}}));  // must be bypassed
  auto c = chain->get();
  EXPECT_EQ(c.access_key_id, "CK");
  EXPECT_EQ(c.session_token, "ct");
  EXPECT_EQ(chain->name(), "container-role");
  std::lock_guard lk(mu);
  EXPECT_EQ(seen_auth, "Bearer abc");
}

TEST_F(CredentialsTest, ContainerFailureRetriesThroughTheClockAndStopsTheChain) {
  files("", "");
  quenfold_testlibs::testing::LoopbackServer srv;
  std::atomic<int> hits{0};
  srv.server().Get("/creds", [&](const httplib::Request&, httplib::Response& res) {
    ++hits;
    res.status = 500;
    res.set_content("LEAKED-SECRET", "text/plain");
  });
  srv.start();
  auto err = error_of([&] {
    qa::make_default_chain(context({{"AWS_CONTAINER_CREDENTIALS_FULL_URI", srv.url() + "/creds"}}))->get();
  });
  EXPECT_NE(err.find("container credentials"), std::string::npos) << err;
  EXPECT_EQ(err.find("LEAKED"), std::string::npos) << err;
  EXPECT_EQ(hits.load(), 3);
  EXPECT_EQ(clock_.sleeps(), (std::vector<std::chrono::milliseconds>{1s, 1s}));
}

TEST_F(CredentialsTest, ContainerFullUriOverPlainHttpMustBeLocal) {
  files("", "");
  EXPECT_THROW(
      qa::make_default_chain(context({{"AWS_CONTAINER_CREDENTIALS_FULL_URI", "http://10.0.0.1/creds"}}))->get(),
      qa::ConfigError);
}

TEST_F(CredentialsTest, InstanceRoleThroughTheMetadataService) {
  files("", "");
  quenfold_testlibs::testing::LoopbackServer srv;
  srv.server().Put("/latest/api/token", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("imds-token", "text/plain");
  });
  srv.server().Get("/latest/meta-data/iam/security-credentials/",
                   [](const httplib::Request& req, httplib::Response& res) {
                     if (req.get_header_value("X-aws-ec2-metadata-token") != "imds-token") res.status = 401;
                     res.set_content("test-role\n", "text/plain");
                   });
  srv.server().Get("/latest/meta-data/iam/security-credentials/test-role",
                   [](const httplib::Request&, httplib::Response& res) {
                     res.set_content(R"({"Code": "Success", "AccessKeyId": "IK", "SecretAccessKey": "is",
                                        "Token": "it", "Expiration": "2030-01-01T00:00:00Z"})",
                                     "application/json");
                   });
  srv.start();
  auto chain = qa::make_default_chain(context({{"AWS_EC2_METADATA_SERVICE_ENDPOINT", srv.url()}}));
  auto c = chain->get();
  EXPECT_EQ(c.access_key_id, "IK");
  EXPECT_EQ(c.session_token, "it");
  EXPECT_EQ(chain->name(), "iam-role");
}

// ---- credentials that would break a request ----

TEST_F(CredentialsTest, ControlCharactersAreRefusedFromEverySourceNamingItButNeverTheValue) {
  auto refused = [](const std::string& err, const std::string& source, const std::string& field) {
    EXPECT_NE(err.find("Refusing the credentials from " + source), std::string::npos) << err;
    EXPECT_NE(err.find("the " + field + " holds a control character"), std::string::npos) << err;
    EXPECT_EQ(err.find("INJECTED"), std::string::npos) << err;
  };
  files("[profile proc]\ncredential_process = " +
            home_.write("p.sh",
                        "#!/bin/sh\nprintf '%s\\n' '{\"Version\": 1, \"AccessKeyId\": \"A\\nINJECTED\", "
                        "\"SecretAccessKey\": \"s\"}'\n",
                        true) +
            "\n",
        "[default]\naws_access_key_id = K\naws_secret_access_key = s\x1bINJECTED\n");
  refused(error_of([&] {
            qa::make_default_chain(context({{"AWS_ACCESS_KEY_ID", "K"},
                                            {"AWS_SECRET_ACCESS_KEY", "s"},
                                            {"AWS_SESSION_TOKEN", "t\r\nX-INJECTED: 1"}}))
                ->get();
          }),
          "the environment", "session token");
  refused(error_of([&] { qa::make_default_chain(context())->get(); }), "shared-credentials-file (profile default)",
          "secret access key");
  refused(error_of([&] { qa::make_profile_provider(context(), "proc")->get(); }),
          "the credential_process of profile \"proc\"", "access key id");
  refused(error_of([] {
            const json sts{{"AccessKeyId", "A"}, {"SecretAccessKey", "S"}, {"SessionToken", "T\nINJECTED"}};
            qa::credentials_from_sts(sts, "the AssumeRole answer");
          }),
          "the AssumeRole answer", "session token");

  // The answers of the container agent and of the metadata service, the quiet last source.
  quenfold_testlibs::testing::LoopbackServer srv;
  const std::string answer = R"({"AccessKeyId": "CK", "SecretAccessKey": "cs", "Token": "t\r\nINJECTED",
                                 "Expiration": "2030-01-01T00:00:00Z"})";
  srv.server().Get(
      "/creds", [&](const httplib::Request&, httplib::Response& res) { res.set_content(answer, "application/json"); });
  srv.server().Put("/latest/api/token", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("imds-token", "text/plain");
  });
  srv.server().Get("/latest/meta-data/iam/security-credentials/",
                   [](const httplib::Request&, httplib::Response& res) { res.set_content("r\n", "text/plain"); });
  srv.server().Get(
      "/latest/meta-data/iam/security-credentials/r",
      [&](const httplib::Request&, httplib::Response& res) { res.set_content(answer, "application/json"); });
  srv.start();
  files("", "");
  refused(error_of([&] {
            qa::make_default_chain(context({{"AWS_CONTAINER_CREDENTIALS_FULL_URI", srv.url() + "/creds"}}))->get();
          }),
          "the container credentials endpoint", "session token");
  refused(error_of([&] {
            qa::make_default_chain(context({{"AWS_EC2_METADATA_SERVICE_ENDPOINT", srv.url()}}))->get();
          }),
          "the instance metadata service (role r)", "session token");
}

// ---- the refresh wrapper ----

class CountingProvider : public qa::CredentialsProvider {
 public:
  explicit CountingProvider(std::chrono::seconds lifetime) : lifetime_(lifetime) {}
  qa::Credentials get() override {
    int n = ++calls;
    if (fail) throw qa::CredentialsError("source down");
    qa::Credentials c{"K" + std::to_string(n), "s", "t", core::the_clock().now() + lifetime_};
    return c;
  }
  std::string name() const override { return "counting"; }
  std::atomic<int> calls{0};
  std::atomic<bool> fail{false};

 private:
  std::chrono::seconds lifetime_;
};

TEST_F(CredentialsTest, RefreshKeepsStillValidCredentialsWhenAnEarlyRefreshFails) {
  auto inner = std::make_shared<CountingProvider>(1h);
  auto p = qa::make_refreshing(inner, 10min);
  EXPECT_EQ(p->get().access_key_id, "K1");
  clock_.advance(52min);  // inside the advisory window, 8 minutes left
  inner->fail = true;
  EXPECT_EQ(p->get().access_key_id, "K1");
  EXPECT_EQ(p->get().access_key_id, "K1");
  EXPECT_EQ(inner->calls.load(), 2);  // the failed early refresh is not retried on every call
  clock_.advance(7min + 30s);         // under a minute left: a refresh is now mandatory
  EXPECT_THROW(p->get(), qa::CredentialsError);
  inner->fail = false;
  EXPECT_EQ(p->get().access_key_id, "K4");
}

TEST_F(CredentialsTest, ConcurrentCallersShareOneRefresh) {
  auto inner = std::make_shared<CountingProvider>(1h);
  auto p = qa::make_refreshing(inner);
  constexpr int kThreads = 8;
  auto run_all = [&] {
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&] {
        start.arrive_and_wait();
        for (int k = 0; k < 20; ++k) {
          if (p->get().access_key_id.empty()) ++bad;
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
  };
  run_all();
  EXPECT_EQ(inner->calls.load(), 1);  // first fetch: everybody waited for the one caller
  clock_.advance(57min);              // advisory window: one refreshes, the rest use the old ones
  run_all();
  EXPECT_EQ(inner->calls.load(), 2);
  clock_.advance(2h);  // expired: all wait for one refresh
  run_all();
  EXPECT_EQ(inner->calls.load(), 3);
}

// ---- STS answers ----

TEST(CredentialsFromStsTest, ReadsTheCredentialsMemberAndItsTimestampForms) {
  json m = {
      {"AccessKeyId", "A"}, {"SecretAccessKey", "S"}, {"SessionToken", "T"}, {"Expiration", "2026-12-07T21:00:00Z"}};
  auto c = qa::credentials_from_sts(m);
  EXPECT_EQ(c.access_key_id, "A");
  EXPECT_EQ(c.session_token, "T");
  auto expected = std::chrono::system_clock::from_time_t(1796677200);
  EXPECT_EQ(c.expiration, expected);
  m["Expiration"] = "2026-12-07T21:00:00.000Z";
  EXPECT_EQ(qa::credentials_from_sts(m).expiration, expected);
  m["Expiration"] = "2026-12-07T23:00:00+02:00";
  EXPECT_EQ(qa::credentials_from_sts(m).expiration, expected);
  m["Expiration"] = 1796677200;
  EXPECT_EQ(qa::credentials_from_sts(m).expiration, expected);
  m["Expiration"] = "yesterday";
  EXPECT_THROW(qa::credentials_from_sts(m), qa::CredentialsError);
}

TEST(CredentialsFromStsTest, MissingMembersAreErrorsThatQuoteNoValues) {
  json m = {{"AccessKeyId", "A"}, {"SecretAccessKey", "TOP-SECRET"}};
  try {
    qa::credentials_from_sts(m);
    FAIL() << "expected CredentialsError";
  } catch (const qa::CredentialsError& e) {
    EXPECT_NE(std::string(e.what()).find("SessionToken"), std::string::npos);
    EXPECT_EQ(std::string(e.what()).find("TOP-SECRET"), std::string::npos);
  }
  EXPECT_THROW(qa::credentials_from_sts(json()), qa::CredentialsError);
}

}  // namespace
