#include "deploy_test_ec2/results/results.h"

#include "core/exit_request.h"
#include "deploy_test_ec2/common/test_config.h"
#include "lib/aws.h"
#include "ops_support.h"

using namespace quenfold_testlibs;
using namespace quenfold_testlibs::testing;

namespace {
class Results : public OpsTest {
 protected:
  // Objects of the bucket: key -> text; a missing key answers 404 as S3 does for a download.
  void serve(std::map<std::string, std::string> objects) {
    s3 = std::make_unique<FakeAwsClient>("s3");
    s3->on("GetObject").reply_with([objects](const json& req) -> json {
      auto it = objects.find(req["Key"].get<std::string>());
      if (it == objects.end()) throw awsapi::ClientError("404", "Not Found", "HeadObject", 404);
      return {{"Body", it->second}};
    });
  }
  std::unique_ptr<FakeAwsClient> s3 = std::make_unique<FakeAwsClient>("s3");
  Args args;
};
}  // namespace

TEST(ResultRule, PassIsTrimmedUpperCasePassOnly) {
  EXPECT_TRUE(resultPasses("PASS"));
  EXPECT_TRUE(resultPasses("PASS\n"));
  EXPECT_TRUE(resultPasses("  PASS \t"));
  for (auto bad : {"pass", "PASS PASS", "FAIL", "", "\n"}) EXPECT_FALSE(resultPasses(bad)) << bad;
}

TEST_F(Results, SingleSubnetMode) {
  args.s3_bucket = "b";
  args.private_subnet_id = "subnet-p";
  args.tag = "run7";
  serve({{"log--run7.txt", "ping ok"}, {"result--run7.txt", "PASS\n"}});
  EXPECT_EQ(getS3TestResults(*s3, args), 0);
  EXPECT_TRUE(logged("info - Test ping and traceroute in subnet-p"));
  EXPECT_TRUE(logged("info ping ok"));

  serve({{"result--run7.txt", "PASS"}});
  EXPECT_EQ(getS3TestResults(*s3, args), 1);
  EXPECT_EQ(s3->calls("GetObject").back()["Key"], "log--run7.txt") << "the result is not fetched after a failed log";
}

TEST_F(Results, PerSubnetModeGoesOnPastAMissingEntryAndReportsIt) {
  const std::string cfg = path("cfg.json");
  writeTestConfig(cfg,
                  json::parse(R"([{"gw_name":"a","private_subnet_id":"p1"},{"gw_name":"b","private_subnet_id":"p2"},
                                       {"private_subnet_id":"p3"},{"gw_name":"c","private_subnet_id":""}])"));
  args.test_config = cfg;
  args.s3_bucket = "b";
  serve({{"log-a-.txt", "log a"}, {"result-a-.txt", "PASS"}, {"log-c-.txt", "log c"}, {"result-c-.txt", "PASS"}});
  EXPECT_EQ(getS3TestResults(*s3, args), 1);
  EXPECT_TRUE(logged("info log a"));
  EXPECT_TRUE(logged("info log c"));
  EXPECT_TRUE(logged("info An error occurred (404) when calling the HeadObject operation: Not Found"));
  EXPECT_TRUE(logged("info - Test ping and traceroute in "));
  EXPECT_TRUE(logged("info - Test ping and traceroute in p3"));
  EXPECT_TRUE(
      logged("error   **Error** entry 2 of " + cfg + " has no \"gw_name\" text, which names its result objects"));
  EXPECT_EQ(s3->count("GetObject"), 5u);
}

TEST_F(Results, ImageSelectionTakesTheNewestImageTheInstanceTypeCanRun) {
  FakeAwsClient ec2;
  ec2.on("DescribeInstanceTypes")
      .reply({{"InstanceTypes", json::array({{{"ProcessorInfo", {{"SupportedArchitectures", {"x86_64"}}}}}})}});
  ec2.on("DescribeImages")
      .reply({{"Images", json::array({{{"ImageId", "ami-old"}, {"CreationDate", "2024-01-01T00:00:00.000Z"}},
                                      {{"ImageId", "ami-new"}, {"CreationDate", "2024-06-01T00:00:00.000Z"}},
                                      {{"ImageId", "ami-mid"}, {"CreationDate", "2024-03-01T00:00:00.000Z"}}})}});
  EXPECT_EQ(lib::get_latest_amazon_linux_ami(ec2, *args.image, *args.instance_type), "ami-new");
  EXPECT_EQ(ec2.calls("DescribeInstanceTypes")[0], json::parse(R"({"InstanceTypes":["t3.micro"]})"));
  EXPECT_EQ(ec2.calls("DescribeImages")[0]["Filters"][1],
            json::parse(R"({"Name":"architecture","Values":["x86_64"]})"));
  FakeAwsClient noImage;
  noImage.on("DescribeInstanceTypes")
      .reply({{"InstanceTypes", json::array({{{"ProcessorInfo", {{"SupportedArchitectures", {"arm64"}}}}}})}});
  noImage.on("DescribeImages").reply({{"Images", json::array()}});
  EXPECT_THROW(lib::get_latest_amazon_linux_ami(noImage, *args.image, *args.instance_type), core::ExitRequest);
  EXPECT_EQ(noImage.calls("DescribeImages")[0]["Filters"][1]["Values"], json::parse(R"(["arm64"])"));
}
