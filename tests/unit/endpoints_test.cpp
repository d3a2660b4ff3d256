#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

#include "awsapi/base/environment.h"
#include "awsapi/base/error.h"
#include "awsapi/transport/endpoints.h"

using namespace quenfold_testlibs::awsapi;

namespace {

Environment env(std::map<std::string, std::string> vars = {}) { return Environment(std::move(vars)); }

ResolvedEndpoint resolve(const std::string& service, std::optional<std::string> region,
                         std::map<std::string, std::string> vars = {}, const Profile* profile = nullptr) {
  return resolve_endpoint(service, region, env(std::move(vars)), profile);
}

std::string config_error(const std::string& service, std::optional<std::string> region,
                         std::map<std::string, std::string> vars = {}, const Profile* profile = nullptr) {
  try {
    resolve(service, std::move(region), std::move(vars), profile);
  } catch (const ConfigError& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace

TEST(EndpointsRegion, ExplicitThenAwsRegionThenDefaultRegionThenProfile) {
  const Profile profile{{"region", "sa-east-1"}};
  const auto both = env({{"AWS_REGION", "eu-west-3"}, {"AWS_DEFAULT_REGION", "ap-south-1"}});
  EXPECT_EQ(resolve_region("us-west-1", both, &profile), "us-west-1");
  EXPECT_EQ(resolve_region(std::nullopt, both, &profile), "eu-west-3");
  EXPECT_EQ(resolve_region(std::nullopt, env({{"AWS_DEFAULT_REGION", "ap-south-1"}}), &profile), "ap-south-1");
  EXPECT_EQ(resolve_region(std::nullopt, env(), &profile), "sa-east-1");
  EXPECT_EQ(resolve_region(std::nullopt, env(), nullptr), std::nullopt);
}

TEST(EndpointsRegion, EmptyValuesCountAsAbsent) {
  const Profile empty_region{{"region", ""}};
  EXPECT_EQ(resolve_region(std::string(), env({{"AWS_REGION", ""}, {"AWS_DEFAULT_REGION", "eu-north-1"}}), nullptr),
            "eu-north-1");
  EXPECT_EQ(resolve_region(std::nullopt, env(), &empty_region), std::nullopt);
}

TEST(EndpointsPartition, RegionsMapToTheirPartition) {
  EXPECT_EQ(partition_of("us-east-1"), "aws");
  EXPECT_EQ(partition_of("il-central-1"), "aws");
  EXPECT_EQ(partition_of("cn-northwest-1"), "aws-cn");
  EXPECT_EQ(partition_of("us-gov-east-1"), "aws-us-gov");
  EXPECT_EQ(partition_of("us-iso-east-1"), "aws-iso");
  EXPECT_EQ(partition_of("us-isob-east-1"), "aws-iso-b");
  EXPECT_EQ(partition_of("aws-cn-global"), "aws-cn");
  EXPECT_EQ(partition_of("aws-global"), "aws");
  EXPECT_EQ(partition_of("moon-base-1"), "aws");  // unknown regions fall back to the commercial partition
}

TEST(EndpointsRegional, Ec2AndSsmUseTheRegionAndItsDnsSuffix) {
  auto ec2 = resolve("ec2", "eu-central-1");
  EXPECT_EQ(ec2.url, "https://ec2.eu-central-1.amazonaws.com");
  EXPECT_EQ(ec2.signing_region, "eu-central-1");
  EXPECT_EQ(ec2.signing_name, "ec2");
  EXPECT_FALSE(ec2.overridden);
  EXPECT_EQ(resolve("ssm", "cn-north-1").url, "https://ssm.cn-north-1.amazonaws.com.cn");
  EXPECT_EQ(resolve("ssm", "us-gov-west-1").url, "https://ssm.us-gov-west-1.amazonaws.com");
}

TEST(EndpointsRegional, MissingRegionIsAConfigError) {
  EXPECT_EQ(config_error("ec2", std::nullopt), "You must specify a region.");
  EXPECT_EQ(config_error("ssm", std::string()), "You must specify a region.");
}

TEST(EndpointsIam, OneEndpointPerPartitionSignedForItsHomeRegion) {
  for (const char* region : {"us-east-1", "eu-west-1", "ap-southeast-5"}) {
    auto ep = resolve("iam", std::string(region));
    EXPECT_EQ(ep.url, "https://iam.amazonaws.com") << region;
    EXPECT_EQ(ep.signing_region, "us-east-1") << region;
  }
  auto none = resolve("iam", std::nullopt);
  EXPECT_EQ(none.url, "https://iam.amazonaws.com");
  EXPECT_EQ(none.signing_region, "us-east-1");
  auto china = resolve("iam", "cn-northwest-1");
  EXPECT_EQ(china.url, "https://iam.cn-north-1.amazonaws.com.cn");
  EXPECT_EQ(china.signing_region, "cn-north-1");
  auto gov = resolve("iam", "us-gov-east-1");
  EXPECT_EQ(gov.url, "https://iam.us-gov.amazonaws.com");
  EXPECT_EQ(gov.signing_region, "us-gov-west-1");
}

TEST(EndpointsSts, RegionalByDefaultGlobalWithoutRegion) {
  auto regional = resolve("sts", "eu-west-1");
  EXPECT_EQ(regional.url, "https://sts.eu-west-1.amazonaws.com");
  EXPECT_EQ(regional.signing_region, "eu-west-1");
  auto global = resolve("sts", std::nullopt);
  EXPECT_EQ(global.url, "https://sts.amazonaws.com");
  EXPECT_EQ(global.signing_region, "us-east-1");
}

TEST(EndpointsSts, LegacySettingOnlyMovesTheOldGlobalRegions) {
  const std::map<std::string, std::string> legacy{{"AWS_STS_REGIONAL_ENDPOINTS", "legacy"}};
  auto old_region = resolve("sts", "eu-west-1", legacy);
  EXPECT_EQ(old_region.url, "https://sts.amazonaws.com");
  EXPECT_EQ(old_region.signing_region, "us-east-1");
  EXPECT_EQ(resolve("sts", "eu-south-1", legacy).url, "https://sts.eu-south-1.amazonaws.com");
  EXPECT_EQ(resolve("sts", "cn-north-1", legacy).url, "https://sts.cn-north-1.amazonaws.com.cn");

  const Profile profile_legacy{{"sts_regional_endpoints", "legacy"}};
  EXPECT_EQ(resolve("sts", "us-west-2", {}, &profile_legacy).url, "https://sts.amazonaws.com");
  // The environment wins over the profile.
  EXPECT_EQ(resolve("sts", "us-west-2", {{"AWS_STS_REGIONAL_ENDPOINTS", "regional"}}, &profile_legacy).url,
            "https://sts.us-west-2.amazonaws.com");
  EXPECT_EQ(config_error("sts", "us-west-2", {{"AWS_STS_REGIONAL_ENDPOINTS", "Legacy"}}),
            "STS regional endpoints option Legacy is invalid. Valid options are: \"legacy\", \"regional\"");
}

TEST(EndpointsS3, UsEast1IsGlobalUnlessRegionalIsAskedFor) {
  EXPECT_EQ(resolve("s3", "us-east-1").url, "https://s3.amazonaws.com");
  EXPECT_EQ(resolve("s3", std::nullopt).signing_region, "us-east-1");
  EXPECT_EQ(resolve("s3", "us-east-1", {{"AWS_S3_US_EAST_1_REGIONAL_ENDPOINT", "regional"}}).url,
            "https://s3.us-east-1.amazonaws.com");
  const Profile nested{{"s3.us_east_1_regional_endpoint", "regional"}};
  EXPECT_EQ(resolve("s3", "us-east-1", {}, &nested).url, "https://s3.us-east-1.amazonaws.com");
  EXPECT_EQ(resolve("s3", "eu-west-1").url, "https://s3.eu-west-1.amazonaws.com");
}

TEST(EndpointsOverride, ServiceVariableThenGlobalVariableThenProfile) {
  const Profile profile{{"endpoint_url", "http://127.0.0.1:3"}};
  std::map<std::string, std::string> vars{{"AWS_ENDPOINT_URL_EC2", "http://127.0.0.1:1"},
                                          {"AWS_ENDPOINT_URL", "http://127.0.0.1:2"}};
  EXPECT_EQ(resolve("ec2", "eu-west-1", vars, &profile).url, "http://127.0.0.1:1");
  EXPECT_EQ(resolve("ssm", "eu-west-1", vars, &profile).url, "http://127.0.0.1:2");
  EXPECT_EQ(resolve("ssm", "eu-west-1", {}, &profile).url, "http://127.0.0.1:3");
  EXPECT_EQ(resolve("ec2", "eu-west-1", {{"AWS_ENDPOINT_URL_EC2", ""}}).url, "https://ec2.eu-west-1.amazonaws.com");
}

TEST(EndpointsOverride, KeepsTheClientRegionForSigning) {
  const std::map<std::string, std::string> local{{"AWS_ENDPOINT_URL", "http://localhost:4566/base/"}};
  auto iam = resolve("iam", "eu-west-1", local);
  EXPECT_EQ(iam.url, "http://localhost:4566/base");
  EXPECT_EQ(iam.signing_region, "eu-west-1");
  EXPECT_EQ(iam.signing_name, "iam");
  EXPECT_TRUE(iam.overridden);
  // Without a region the global services sign for us-east-1; the regional ones still need one.
  EXPECT_EQ(resolve("sts", std::nullopt, local).signing_region, "us-east-1");
  EXPECT_EQ(resolve("iam", std::nullopt, local).signing_region, "us-east-1");
  EXPECT_EQ(config_error("ec2", std::nullopt, local), "You must specify a region.");
}

TEST(EndpointsOverride, IgnoreSettingSwitchesEveryOverrideOff) {
  const Profile profile{{"endpoint_url", "http://127.0.0.1:3"}, {"ignore_configured_endpoint_urls", "true"}};
  EXPECT_FALSE(resolve("ec2", "eu-west-1",
                       {{"AWS_ENDPOINT_URL", "http://127.0.0.1:2"}, {"AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", "True"}})
                   .overridden);
  EXPECT_FALSE(resolve("ec2", "eu-west-1", {}, &profile).overridden);
  // The environment's "false" wins over the profile's "true".
  EXPECT_TRUE(resolve("ec2", "eu-west-1", {{"AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", "false"}}, &profile).overridden);
}

TEST(EndpointsErrors, BadRegionServiceAndUrlAreRefused) {
  EXPECT_EQ(config_error("ec2", "us east-1"), "Provided region_name 'us east-1' doesn't match a supported format.");
  EXPECT_NE(config_error("ec2", "eu-west-1-"), "<no error>");
  EXPECT_NE(config_error("ec2", "12345"), "<no error>");
  EXPECT_NE(config_error("ec2", std::string(64, 'a')), "<no error>");
  EXPECT_EQ(config_error("lambda", "eu-west-1"), "Unknown service: lambda");
  EXPECT_EQ(config_error("ec2", "eu-west-1", {{"AWS_ENDPOINT_URL", "localhost:4566"}}),
            "Invalid endpoint: localhost:4566");
  EXPECT_EQ(config_error("ec2", "eu-west-1", {{"AWS_ENDPOINT_URL", "ftp://example.com"}}),
            "Invalid endpoint: ftp://example.com");
}

TEST(EndpointsErrors, InputsOfAnyLengthAreCheckedWithoutRunningOutOfStack) {
  // A region may come from the command line, the identity document or S3's redirect answer.
  const std::string digits(50000, '1');
  EXPECT_EQ(config_error("ec2", digits),
            "Provided region_name '" + digits.substr(0, 80) + "...' doesn't match a supported format.");
  EXPECT_NE(config_error("s3", "eu-west-1\r\nX-Injected: 1"), "<no error>");
  EXPECT_EQ(resolve("ec2", std::string(61, 'a') + "-1").signing_region.size(), 63u);
  EXPECT_EQ(partition_of("us-" + std::string(100000, 'a') + "-1"), "aws");
  EXPECT_EQ(partition_of("us-gov-" + std::string(100000, '_') + "-12"), "aws-us-gov");
  const std::string bucket(100000, '1');
  EXPECT_EQ(s3_object_url(resolve("s3", "eu-west-1"), bucket, "k"),
            "https://s3.eu-west-1.amazonaws.com/" + bucket + "/k");
}

TEST(EndpointsS3ObjectUrl, VirtualHostedWhenTheBucketIsAHostLabel) {
  EXPECT_EQ(s3_object_url(resolve("s3", "eu-west-1"), "my-bucket", "logs/run 1/a+b~é.txt"),
            "https://my-bucket.s3.eu-west-1.amazonaws.com/logs/run%201/a%2Bb~%C3%A9.txt");
  EXPECT_EQ(s3_object_url(resolve("s3", "us-east-1"), "abc", "k"), "https://abc.s3.amazonaws.com/k");
}

TEST(EndpointsS3ObjectUrl, PathStyleForNamesThatCannotBeHostLabels) {
  const auto ep = resolve("s3", "eu-west-1");
  const std::string base = "https://s3.eu-west-1.amazonaws.com/";
  EXPECT_EQ(s3_object_url(ep, "my.dotted.bucket", "k"), base + "my.dotted.bucket/k");  // breaks the TLS wildcard
  EXPECT_EQ(s3_object_url(ep, "My_Bucket", "k"), base + "My_Bucket/k");
  EXPECT_EQ(s3_object_url(ep, "ab", "k"), base + "ab/k");
  EXPECT_EQ(s3_object_url(ep, "192.168.1.1", "k"), base + "192.168.1.1/k");
  EXPECT_EQ(s3_object_url(ep, "bucket-", "k"), base + "bucket-/k");
  EXPECT_EQ(s3_object_url(ep, std::string(64, 'a'), "k"), base + std::string(64, 'a') + "/k");
}

TEST(EndpointsS3ObjectUrl, PathStyleForOverriddenEndpointsAndWhenTheProfileAsks) {
  auto local = resolve("s3", "us-east-1", {{"AWS_ENDPOINT_URL_S3", "http://localhost:9000/"}});
  EXPECT_EQ(s3_object_url(local, "my-bucket", "a b"), "http://localhost:9000/my-bucket/a%20b");
  const Profile path{{"s3.addressing_style", "path"}};
  EXPECT_EQ(s3_object_url(resolve("s3", "eu-west-1", {}, &path), "my-bucket", "k"),
            "https://s3.eu-west-1.amazonaws.com/my-bucket/k");
}
