// Twenty workers on one shared client, deploying and reverting: run under ThreadSanitizer by
// scripts/test (filter *Concurrent*) as well as in the ordinary build.
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/common/workers.h"
#include "deploy_test_ec2/deploy/deploy.h"
#include "deploy_test_ec2/network/network.h"
#include "deploy_test_ec2/teardown/teardown.h"
#include "ops_support.h"

#include <atomic>
#include <system_error>

using namespace quenfold_testlibs;
using namespace quenfold_testlibs::testing;

namespace {
class Concurrent : public OpsTest {
 protected:
  void SetUp() override {
    OpsTest::SetUp();
    setPublicIpSource([] { return std::string("203.0.113.7"); });
    config = json::array();
    for (int i = 0; i < 20; ++i) {
      config.push_back({{"gw_subnet_id", "subnet-g" + std::to_string(i)},
                        {"private_subnet_id", "subnet-p" + std::to_string(i)},
                        {"gw_private_ip", "10.0.0.1"},
                        {"private_subnet_cidr", "10.1." + std::to_string(i) + ".0/24"}});
    }
    writeTestConfig(path("in.json"), config);
    args.test_config = path("in.json");
    args.output_test_config = path("out.json");
    args.backup_folder = path("b");
    args.key_name = "k";
    ec2.on("DescribeSubnets").reply({{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}});
    ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array()}});
    ec2.on("CreateSecurityGroup").reply({{"GroupId", "sg-1"}});
  }
  void TearDown() override {
    setPublicIpSource(nullptr);
    OpsTest::TearDown();
  }
  json config;
  FakeAwsClient ec2;
  FakeAwsClient iam{"iam"};
  Args args;
};
}  // namespace

TEST_F(Concurrent, TwentyWorkersDeployAndEachWritesOnlyItsOwnEntry) {
  scriptPreflightLookups(ec2);
  ec2.on("RunInstances").reply_with([](const json& req) {
    return json{{"Instances",
                 json::array({{{"InstanceId", "i-" + req["NetworkInterfaces"][0]["SubnetId"].get<std::string>()}}})}};
  });
  ec2.on("DescribeInstanceStatus")
      .reply({{"InstanceStatuses", json::array({{{"InstanceStatus", {{"Status", "ok"}}}}})}});
  ec2.on("DescribeInstances").reply_with([](const json& req) {
    if (req.contains("Filters")) return json{{"Reservations", json::array()}};
    const std::string id = req["InstanceIds"][0];
    const std::string n = id.substr(id.find("-g") + 2);
    return reservations({instance(
        id, {nic("eni-a" + n, id.substr(2), "10.0.0.5"), nic("eni-b" + n, "subnet-p" + n, "10.1." + n + ".7")},
        "198.51.100." + n)});
  });
  ec2.on("AuthorizeSecurityGroupIngress").reply({{"Return", true}});
  ec2.on("CreateTags").reply(json::object());
  ec2.on("CreateNetworkInterface").reply({{"NetworkInterface", {{"NetworkInterfaceId", "eni-new"}}}});
  ec2.on("AttachNetworkInterface").reply({{"AttachmentId", "eni-attach-new"}});
  deployEc2s(ec2, nullptr, iam, "ami-1", args);
  json out = readTestConfig(path("out.json"));
  ASSERT_EQ(out.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(out[i]["ec2_ip"], "198.51.100." + std::to_string(i));
    EXPECT_EQ(out[i]["ec2_2nd_private_ip"], "10.1." + std::to_string(i) + ".7");
  }
  EXPECT_EQ(ec2.count("RunInstances"), 20u);
  EXPECT_EQ(exitStatus(), 0);
}

TEST_F(Concurrent, TwentyWorkersRevert) {
  ec2.on("DescribeInstances").reply_with([](const json& req) {
    if (req.contains("InstanceIds")) return reservations({instance(req["InstanceIds"][0], {}, "", "terminated")});
    if (req["Filters"].size() == 3) return reservations({});
    const std::string subnet = req["Filters"][1]["Values"][0];
    return reservations({instance("i-" + subnet, {nic("eni-a", subnet, "10.0.0.5", "198.51.100.1")})});
  });
  ec2.on("TerminateInstances").reply_with([](const json& req) {
    return json{{"TerminatingInstances", json::array({{{"InstanceId", req["InstanceIds"][0]},
                                                       {"CurrentState", {{"Code", 32}, {"Name", "shutting-down"}}}}})}};
  });
  ec2.on("DescribeAddresses").reply({{"Addresses", json::array()}});
  ec2.on("DescribeNetworkInterfaces").reply({{"NetworkInterfaces", json::array()}});
  ec2.on("DescribeKeyPairs").reply({{"KeyPairs", json::array()}});
  terminateEc2s(ec2, iam, args);
  EXPECT_EQ(ec2.count("TerminateInstances"), 20u);
  EXPECT_EQ(exitStatus(), 0);
}

TEST_F(Concurrent, AWorkerWithoutAThreadIsItsEntrysFailureOnly) {
  std::atomic<int> ran{0}, made{0};
  std::vector<WorkerTask> tasks;
  for (int i = 0; i < 4; ++i) tasks.push_back({"subnet-g" + std::to_string(i), [&] { ++ran; }});
  runWorkers(tasks, [&](std::function<void()> body) {
    if (made++ == 2) throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  });
  EXPECT_EQ(ran.load(), 3);
  EXPECT_EQ(core::AppExitStatus::failures(), (std::vector<std::string>{"worker for subnet-g2 could not start"}));
  ASSERT_EQ(logs().size(), 1u);
  EXPECT_EQ(logs()[0].rfind("error   **Error** worker for subnet-g2 could not start: ", 0), 0u) << logs()[0];
}
