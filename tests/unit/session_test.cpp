#include <gtest/gtest.h>

#include "awsapi/base/error.h"
#include "awsapi/client/service_client.h"
#include "awsapi/client/session.h"
#include "core/clock.h"
#include "fakes.h"

using namespace quenfold_testlibs;
using namespace quenfold_testlibs::awsapi;
using quenfold_testlibs::fakes::FakeTransport;

namespace {

const char* kEmptyDescribe =
    "<DescribeInstancesResponse xmlns=\"http://ec2.amazonaws.com/doc/2016-11-15/\">"
    "<requestId>r-1</requestId><reservationSet/></DescribeInstancesResponse>";

const char* kAssumeRole =
    "<AssumeRoleResponse xmlns=\"https://sts.amazonaws.com/doc/2011-06-15/\"><AssumeRoleResult>"
    "<Credentials><AccessKeyId>ASIAASSUMED</AccessKeyId><SecretAccessKey>assumedsecret</SecretAccessKey>"
    "<SessionToken>assumedtoken</SessionToken><Expiration>2099-01-01T00:00:00Z</Expiration></Credentials>"
    "<AssumedRoleUser><AssumedRoleId>AROA:s</AssumedRoleId><Arn>arn:aws:sts::123:assumed-role/r/s</Arn></"
    "AssumedRoleUser>"
    "</AssumeRoleResult><ResponseMetadata><RequestId>x</RequestId></ResponseMetadata></AssumeRoleResponse>";

using Vars = std::map<std::string, std::string>;

struct SessionRig {
  core::RecordingClock clock;
  core::ScopedClock scope{clock};
  std::shared_ptr<FakeTransport> http = std::make_shared<FakeTransport>();

  std::shared_ptr<const Context> context(Vars vars, const std::string& config = "",
                                         const std::string& credentials = "") {
    vars.emplace("AWS_EC2_METADATA_DISABLED", "true");
    return Context::make(Environment(std::move(vars)), ConfigFiles::parse(config, credentials), http);
  }
  std::string auth(size_t i) const { return http->requests().at(i).header("authorization").value_or(""); }
};

}  // namespace

TEST(SessionTest, DefaultChainAndRegionFromTheEnvironment) {
  SessionRig rig;
  auto ctx = rig.context(
      {{"AWS_ACCESS_KEY_ID", "AKIDENV"}, {"AWS_SECRET_ACCESS_KEY", "envsecret"}, {"AWS_REGION", "eu-central-1"}});
  auto session = Session::from_profile(ctx, std::nullopt);
  EXPECT_EQ(session.default_region(), "eu-central-1");
  auto ec2 = session.client("ec2");
  EXPECT_EQ(ec2->service(), "ec2");
  EXPECT_EQ(ec2->region(), "eu-central-1");
  rig.http->answer(200, kEmptyDescribe);
  ec2->describe_instances();
  EXPECT_NE(rig.auth(0).find("Credential=AKIDENV/20231114/eu-central-1/ec2/aws4_request"), std::string::npos);
  EXPECT_EQ(session.client("ec2", "us-west-2")->region(), "us-west-2");
}

TEST(SessionTest, NamedProfileGivesItsKeysRegionAndRetrySettings) {
  SessionRig rig;
  auto ctx = rig.context({}, "[profile dev]\nregion = ap-northeast-1\nmax_attempts = 1\n",
                         "[dev]\naws_access_key_id = AKIDDEV\naws_secret_access_key = devsecret\n");
  auto session = Session::from_profile(ctx, "dev");
  EXPECT_EQ(session.default_region(), "ap-northeast-1");
  auto ec2 = session.client("ec2");
  rig.http->answer(400, fakes::ec2_error_body("Throttling", "Rate exceeded"));
  EXPECT_THROW(ec2->describe_instances(), ClientError);
  EXPECT_EQ(rig.http->count(), 1u);  // max_attempts = 1: no retry
  EXPECT_NE(rig.auth(0).find("Credential=AKIDDEV/"), std::string::npos);
}

TEST(SessionTest, UnknownProfileFailsBeforeAnyCall) {
  SessionRig rig;
  auto ctx = rig.context({});
  try {
    Session::from_profile(ctx, "nope");
    FAIL() << "no error";
  } catch (const ConfigError& e) {
    EXPECT_STREQ(e.what(), "The config profile (nope) could not be found");
  }
  EXPECT_EQ(rig.http->count(), 0u);
}

TEST(SessionTest, ExplicitTemporaryCredentialsSignWithTheirToken) {
  SessionRig rig;
  auto ctx = rig.context({{"AWS_DEFAULT_REGION", "us-east-2"}});
  auto session = Session::from_credentials(ctx, Credentials{"ASIATEMP", "tempsecret", "temptoken", std::nullopt});
  rig.http->answer(200, kEmptyDescribe);
  session.client("ec2")->describe_instances();
  auto req = rig.http->requests().at(0);
  EXPECT_EQ(req.header("x-amz-security-token"), "temptoken");
  EXPECT_NE(rig.auth(0).find("Credential=ASIATEMP/20231114/us-east-2/"), std::string::npos);
}

TEST(SessionTest, RegionalServiceWithoutARegionIsAConfigError) {
  SessionRig rig;
  auto ctx = rig.context({{"AWS_ACCESS_KEY_ID", "AKID"}, {"AWS_SECRET_ACCESS_KEY", "s"}});
  auto session = Session::from_profile(ctx, std::nullopt);
  EXPECT_FALSE(session.default_region());
  EXPECT_THROW(session.client("ec2"), ConfigError);
  EXPECT_NO_THROW(session.client("iam"));
}

TEST(SessionTest, RoleProfileAssumesTheRoleThroughTheSamePipeline) {
  SessionRig rig;
  auto ctx = rig.context({},
                         "[profile deploy]\nrole_arn = arn:aws:iam::123456789012:role/deployer\nsource_profile = "
                         "base\nregion = us-east-1\n",
                         "[base]\naws_access_key_id = AKIDBASE\naws_secret_access_key = basesecret\n");
  auto session = Session::from_profile(ctx, "deploy");
  rig.http->answer(200, kAssumeRole).answer(200, kEmptyDescribe);
  session.client("ec2")->describe_instances();
  auto reqs = rig.http->requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_NE(reqs[0].body.find("Action=AssumeRole"), std::string::npos);
  EXPECT_NE(rig.auth(0).find("Credential=AKIDBASE/"), std::string::npos);
  EXPECT_NE(rig.auth(0).find("/sts/aws4_request"), std::string::npos);
  EXPECT_NE(rig.auth(1).find("Credential=ASIAASSUMED/"), std::string::npos);
  EXPECT_EQ(reqs[1].header("x-amz-security-token"), "assumedtoken");
}

TEST(SessionTest, ClientsOfOneContextShareTheRetryQuota) {
  SessionRig rig;
  auto ctx = rig.context({{"AWS_ACCESS_KEY_ID", "AKID"}, {"AWS_SECRET_ACCESS_KEY", "s"}, {"AWS_REGION", "us-east-1"}});
  auto a = Session::from_profile(ctx, std::nullopt).client("ec2");
  auto b = Session::from_credentials(ctx, Credentials{"AKID2", "s2", "", std::nullopt}).client("ec2");
  rig.http->otherwise(
      [](const HttpRequest&) { return fakes::http_answer(503, fakes::ec2_error_body("Unavailable", "x")); });
  EXPECT_THROW(a->describe_instances(), ClientError);
  EXPECT_THROW(b->describe_instances(), ClientError);
  EXPECT_EQ(ctx->quota->available(), 500 - 4 * RetryQuota::kRetryCost);
}

TEST(SessionTest, AssumedRoleSessionIsAssumedAgainBeforeExpiryAndAfterAnExpiredToken) {
  SessionRig rig;
  auto ctx = rig.context(
      {{"AWS_ACCESS_KEY_ID", "AKIDBASE"}, {"AWS_SECRET_ACCESS_KEY", "basesecret"}, {"AWS_REGION", "us-east-1"}});
  // The clock starts at 2023-11-14T22:13:20Z; each session lasts an hour from its AssumeRole.
  auto assumed = [](const std::string& key, const std::string& expiration) {
    std::string xml = kAssumeRole;
    xml.replace(xml.find("ASIAASSUMED"), 11, key);
    xml.replace(xml.find("2099-01-01T00:00:00Z"), 20, expiration);
    return xml;
  };
  auto session = Session::from_profile(ctx, std::nullopt)
                     .assuming_role({{"RoleArn", "arn:aws:iam::123456789012:role/r"}, {"RoleSessionName", "s"}});
  auto ec2 = session.client("ec2");
  rig.http->answer(200, assumed("ASIAONE", "2023-11-14T23:13:20Z")).answer(200, kEmptyDescribe);
  ec2->describe_instances();
  rig.clock.advance(std::chrono::minutes(56));  // inside the last five minutes: assumed again first
  rig.http->answer(200, assumed("ASIATWO", "2023-11-15T00:09:20Z")).answer(200, kEmptyDescribe);
  ec2->describe_instances();
  // Refused as expired (revoked early, or a clock that drifted): assumed again, the call made once more.
  rig.http->answer(400, fakes::ec2_error_body("ExpiredToken", "The security token included in the request is expired"))
      .answer(200, assumed("ASIATHREE", "2023-11-15T00:09:20Z"))
      .answer(200, kEmptyDescribe);
  ec2->describe_instances();
  ASSERT_EQ(rig.http->count(), 7u);
  EXPECT_NE(rig.auth(0).find("Credential=AKIDBASE/"), std::string::npos);
  EXPECT_NE(rig.auth(1).find("Credential=ASIAONE/"), std::string::npos);
  EXPECT_NE(rig.auth(2).find("Credential=AKIDBASE/"), std::string::npos);
  EXPECT_NE(rig.auth(3).find("Credential=ASIATWO/"), std::string::npos);
  EXPECT_NE(rig.auth(4).find("Credential=ASIATWO/"), std::string::npos);
  EXPECT_NE(rig.auth(5).find("Credential=AKIDBASE/"), std::string::npos);
  EXPECT_NE(rig.auth(6).find("Credential=ASIATHREE/"), std::string::npos);
}
