#include "deploy_test_ec2/deploy/deploy.h"

#include <signal.h>
#include <sys/stat.h>

#include "core/exceptions.h"
#include "core/exit_request.h"
#include "core/interrupt.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/common/workers.h"
#include "deploy_test_ec2/network/network.h"
#include "ops_support.h"

using namespace quenfold_testlibs;
using namespace quenfold_testlibs::testing;
using namespace std::chrono_literals;

namespace {
class Deploy : public OpsTest {
 protected:
  void SetUp() override {
    OpsTest::SetUp();
    setPublicIpSource([] { return std::string("203.0.113.7"); });
  }
  void TearDown() override {
    setPublicIpSource(nullptr);
    OpsTest::TearDown();
  }
  // A fresh instance that comes up with a public address and later shows its second interface.
  void scriptNewInstance(FakeAwsClient& c, const std::string& gw = "subnet-g", const std::string& id = "i-1") {
    c.on("RunInstances").reply({{"Instances", json::array({{{"InstanceId", id}}})}});
    c.on("DescribeInstanceStatus")
        .reply({{"InstanceStatuses", json::array({{{"InstanceId", id}, {"InstanceStatus", {{"Status", "ok"}}}}})}});
    c.on("DescribeInstances").reply_with([gw, id](const json& req) {
      if (req.contains("Filters")) return json{{"Reservations", json::array()}};
      return reservations({instance(
          id, {nic("eni-1", gw, "10.0.0.5", "198.51.100.1"), nic("eni-2", "subnet-p", "10.0.101.9")}, "198.51.100.1")});
    });
    c.on("CreateTags").reply(json::object());
    c.on("CreateNetworkInterface")
        .reply({{"NetworkInterface", {{"NetworkInterfaceId", "eni-2"}, {"PrivateIpAddress", "10.0.101.9"}}}});
    c.on("AttachNetworkInterface").reply({{"AttachmentId", "eni-attach-2"}});
  }
  json entry() {
    return {{"gw_subnet_id", "subnet-g"}, {"private_subnet_id", "subnet-p"}, {"private_subnet_cidr", "10.0.101.0/24"}};
  }

  FakeAwsClient ec2;
  FakeAwsClient iam{"iam"};
  Args args;
};
}  // namespace

TEST_F(Deploy, GetEc2FindsTheSingleTaggedInstanceOfASubnet) {
  ec2.on("DescribeInstances")
      .reply(
          reservations({instance("i-1", {nic("eni-1", "subnet-g", "10.0.0.5", "198.51.100.1"),
                                         nic("eni-2", "subnet-p", "10.0.1.5"), nic("eni-3", "subnet-q", "10.0.2.5")})}))
      .reply(reservations({instance("i-1", {nic("eni-1", "subnet-g", "10.0.0.5")})}))
      .reply(reservations({instance("i-1", {}), instance("i-2", {})}))
      .reply(reservations({}));
  auto found = getEc2(ec2, "subnet-g");
  EXPECT_EQ(ec2.calls("DescribeInstances")[0],
            json::parse(R"({"Filters":[{"Name":"tag:Name","Values":["quenfold-test-ec2"]},
                                      {"Name":"subnet-id","Values":["subnet-g"]}],"MaxResults":1000})"));
  EXPECT_EQ(found.instance_id, "i-1");
  EXPECT_EQ(found.public_ip, "198.51.100.1");
  ASSERT_TRUE(found.other_interface);
  EXPECT_EQ((*found.other_interface)["NetworkInterfaceId"], "eni-2") << "the first interface outside the subnet";

  found = getEc2(ec2, "subnet-g");
  EXPECT_EQ(found.instance_id, "i-1");
  EXPECT_FALSE(found.public_ip);
  EXPECT_FALSE(found.other_interface);

  found = getEc2(ec2, "subnet-g");
  EXPECT_FALSE(found.instance_id);
  EXPECT_TRUE(logged("info   **Alert** More than one ec2 with tag Name:quenfold-test-ec2 found in subnet-g"));
  found = getEc2(ec2, "subnet-g");
  EXPECT_FALSE(found.instance_id);
  EXPECT_TRUE(logged("info   No ec2 with tag Name:quenfold-test-ec2 found in subnet-g"));
}

TEST_F(Deploy, AFailedWorkersReportNamesItsEntryAndWhereTheErrorWasRaised) {
  ec2.on("DescribeInstances").reply({{"Reservations", json::array({{{"Instances", json::array()}}})}});
  runWorkers({{"subnet-g", [&] { getEc2(ec2, "subnet-g"); }}});
  std::string report;
  for (const auto& line : logs())
    if (line.find("Error report: ") != std::string::npos) report = line;
  EXPECT_NE(report.find("Error report: worker for subnet-g: "), std::string::npos) << report;
  EXPECT_NE(report.find("(raised in quenfold_testlibs::getEc2 (lookup.cpp:"), std::string::npos) << report;
}

TEST_F(Deploy, LaunchIsRetriedWhileTheProfileIsNotReady) {
  json data = {{"NetworkInterfaces", json::array({{{"SubnetId", "subnet-g"}}})},
               {"IamInstanceProfile", {{"Name", "quenfold-test-ec2-instance-profile"}}}};
  ec2.on("RunInstances")
      .fail("InvalidParameterValue", "Invalid IAM Instance Profile name")
      .fail("InvalidParameterValue", "Invalid IAM Instance Profile name")
      .reply({{"Instances", json::array({{{"InstanceId", "i-9"}}})}});
  EXPECT_EQ(createEc2WithRetry(ec2, data), "i-9");
  EXPECT_EQ(ec2.count("RunInstances"), 3u);
  EXPECT_EQ(clock_.sleeps(), (std::vector<std::chrono::milliseconds>{10s, 10s}));
  EXPECT_EQ(countLogged("info   Instance profile quenfold-test-ec2-instance-profile is not ready, retry in 10 sec"), 2);
  EXPECT_TRUE(logged("info   Instance quenfold-test-ec2 i-9 created in subnet-g"));

  FakeAwsClient never;
  never.on("RunInstances").fail("InvalidParameterValue", "Invalid IAM Instance Profile name");
  EXPECT_THROW(createEc2WithRetry(never, data), InvalidParameterValueException);
  EXPECT_EQ(never.count("RunInstances"), 6u);
  EXPECT_EQ(clock_.total_slept(), 20s + 50s);

  FakeAwsClient other;
  other.on("RunInstances")
      .fail("InsufficientInstanceCapacity", "none left")
      .fail("InvalidParameterValue", "The architecture 'arm64' of the specified instance type does not match");
  EXPECT_FALSE(createEc2WithRetry(other, data));
  EXPECT_TRUE(
      logged("error   **Error** An error occurred (InsufficientInstanceCapacity) when calling the RunInstances "
             "operation: none left"));
  // Only an InvalidParameterValue about the profile is worth waiting for; AWS's message says what else.
  EXPECT_FALSE(createEc2WithRetry(other, data));
  EXPECT_EQ(other.count("RunInstances"), 2u);
  EXPECT_TRUE(
      logged("error   **Error** An error occurred (InvalidParameterValue) when calling the RunInstances "
             "operation: The architecture 'arm64' of the specified instance type does not match"));
}

TEST_F(Deploy, ARefusalOfTheAccountOrAZoneIsMetOnce) {
  SharedResources shared;
  shared.found = Ec2sBySubnet{};
  shared.zone_of = {{"subnet-a1", "us-east-1a"},
                    {"subnet-a2", "us-east-1a"},
                    {"subnet-b1", "us-east-1b"},
                    {"subnet-b2", "us-east-1b"}};
  ec2.on("RunInstances").reply_with([](const json& req) -> json {
    const std::string subnet = req["NetworkInterfaces"][0]["SubnetId"];
    throw awsapi::ClientError(subnet == "subnet-a1" ? "Unsupported" : "VcpuLimitExceeded", "no", "RunInstances", 400);
  });
  for (const char* gw : {"subnet-a1", "subnet-a2", "subnet-b1", "subnet-b2"}) {
    json entry = json::object();
    createEc2(ec2, iam, "ami-1", TestSubnet{gw, "subnet-p", "10.0.0.1"}, args, entry, shared);
  }
  // One refusal per wall: the zone's, then the account's.
  EXPECT_EQ(ec2.count("RunInstances"), 2u);
  EXPECT_TRUE(
      logged("error   **Error** launch in subnet-a2 not sent: Unsupported refused an earlier launch of this "
             "run into us-east-1a"));
  EXPECT_TRUE(
      logged("error   **Error** launch in subnet-b2 not sent: VcpuLimitExceeded refused an earlier launch of "
             "this run, for the whole account"));
}

TEST_F(Deploy, AZoneWithoutCapacityIsTriedForAMinuteThenClosed) {
  SharedResources shared;
  shared.found = Ec2sBySubnet{};
  shared.zone_of = {{"subnet-c1", "us-east-1c"}, {"subnet-c2", "us-east-1c"}};
  ec2.on("RunInstances").fail("InsufficientInstanceCapacity", "We currently do not have sufficient capacity");
  for (const char* gw : {"subnet-c1", "subnet-c2"}) {
    json entry = json::object();
    createEc2(ec2, iam, "ami-1", TestSubnet{gw, "subnet-p", "10.0.0.1"}, args, entry, shared);
  }
  // Every 15 s for a minute, then the zone's later launches are not sent; other zones stay open.
  EXPECT_EQ(ec2.count("RunInstances"), 5u);
  EXPECT_GE(clock_.total_slept(), 60s);
  EXPECT_EQ(countLogged("info   No capacity for t3.micro in us-east-1c, retry in 15 sec"), 4);
  EXPECT_TRUE(
      logged("error   **Error** launch in subnet-c2 not sent: InsufficientInstanceCapacity in us-east-1c after a "
             "minute of retries: We currently do not have sufficient capacity"));
  EXPECT_EQ(shared.gate->closedFor("us-east-1a"), "");
}

TEST_F(Deploy, NewInstanceGetsItsAddressesTagsAndSecondInterface) {
  scriptNewInstance(ec2);
  args.tag_resource = "Owner,qa";
  args.image_imds_support = "v2.0";
  json cfg = entry();
  createEc2(ec2, iam, "ami-1", {"subnet-g", "subnet-p", "10.0.0.1"}, args, cfg,
            {std::string("sg-pub"), std::string("sg-priv"), std::nullopt, std::string("kp")});
  EXPECT_EQ(ec2.calls("RunInstances").at(0), json::parse(R"({"InstanceType":"t3.micro","MinCount":1,"MaxCount":1,
      "ImageId":"ami-1","TagSpecifications":[{"ResourceType":"instance","Tags":[{"Key":"Name","Value":"quenfold-test-ec2"},
      {"Key":"Owner","Value":"qa"}]},{"ResourceType":"volume","Tags":[{"Key":"Name","Value":"quenfold-test-ec2"},
      {"Key":"Owner","Value":"qa"}]},{"ResourceType":"network-interface","Tags":[{"Key":"Name",
      "Value":"quenfold-test-ec2-network-interface"},{"Key":"Owner","Value":"qa"}]}],
      "NetworkInterfaces":[{"DeviceIndex":0,"SubnetId":"subnet-g",
      "AssociatePublicIpAddress":true,"Groups":["sg-pub"]}],"KeyName":"kp",
      "MetadataOptions":{"HttpTokens":"required","HttpEndpoint":"enabled"}})"));
  // The launch request tags the primary interface: no tag call after it.
  EXPECT_EQ(ec2.count("CreateTags"), 0u);
  EXPECT_EQ(cfg["ec2_ip"], "198.51.100.1");
  EXPECT_EQ(cfg["ec2_2nd_private_ip"], "10.0.101.9");
  EXPECT_EQ(ec2.count("CreateNetworkInterface"), 1u);
  // The address of the interface just made comes from its create answer: no describe after it.
  EXPECT_EQ(ec2.count("DescribeInstances"), 2u);  // its subnet's instances, then its public address
  EXPECT_EQ(iam.all_calls().size(), 0u);
  EXPECT_TRUE(logged("info - Created quenfold-test-ec2 in subnet-p"));
  EXPECT_TRUE(logged("info   public ip: 198.51.100.1"));
}

TEST_F(Deploy, ExistingInstanceIsReusedWithoutLaunchOrTags) {
  json existing = reservations(
      {instance("i-1", {nic("eni-1", "subnet-g", "10.0.0.5", "198.51.100.1"), nic("eni-2", "subnet-p", "10.0.101.9")},
                "198.51.100.1")});
  ec2.on("DescribeInstances").reply(existing);
  ec2.on("DescribeInstanceStatus").reply({{"InstanceStatuses", json::array({{{"InstanceId", "i-1"}}})}});
  args.dry_run = true;  // an existing instance goes on past the dry-run test
  json cfg = entry();
  cfg["ec2_ip"] = "old";
  createEc2(ec2, iam, "ami-1", {"subnet-g", "subnet-p", "10.0.0.1"}, args, cfg,
            {std::string("sg"), std::string("sgp"), std::nullopt, std::nullopt});
  EXPECT_EQ(ec2.count("RunInstances"), 0u);
  EXPECT_EQ(ec2.count("CreateTags"), 0u);
  EXPECT_EQ(ec2.count("CreateNetworkInterface"), 0u);
  EXPECT_EQ(cfg.begin().key(), "gw_subnet_id");
  EXPECT_EQ(cfg["ec2_ip"], "198.51.100.1");
  EXPECT_EQ(cfg["ec2_2nd_private_ip"], "10.0.101.9");
}

TEST_F(Deploy, AFoundInstanceIsReusedByItsState) {
  const SharedResources shared{std::string("sg"), std::string("sgp"), std::nullopt, std::nullopt};
  auto found = [](const std::vector<std::pair<std::string, std::string>>& idStates) {
    std::vector<json> list;
    list.reserve(idStates.size());
    for (const auto& [id, state] : idStates) {
      list.push_back(
          instance(id, {nic("eni-" + id, "subnet-g", "10.0.0.5"), nic("eni-2", "subnet-p", "10.0.101.9")}, "", state));
    }
    return reservations(list);
  };
  // A stopped instance (a nightly scheduler) is started and waited for, then wired up; one
  // shutting down (a revert's, a dead launch's) is no longer the subnet's.
  ec2.on("DescribeInstances").reply_with([&](const json& req) {
    if (req.contains("Filters"))
      return found({{"i-old", "terminated"}, {"i-dying", "shutting-down"}, {"i-1", "stopped"}});
    return reservations(
        {instance("i-1", {nic("eni-1", "subnet-g", "10.0.0.5", "198.51.100.1"), nic("eni-2", "subnet-p", "10.0.101.9")},
                  "198.51.100.1")});
  });
  ec2.on("StartInstances").reply(json::object());
  ec2.on("DescribeInstanceStatus")
      .reply({{"InstanceStatuses", json::array({{{"InstanceState", {{"Name", "pending"}}}}})}})
      .reply({{"InstanceStatuses", json::array({{{"InstanceStatus", {{"Status", "ok"}}}}})}});
  json cfg = entry();
  createEc2(ec2, iam, "ami", {"subnet-g", "subnet-p", "ip"}, args, cfg, shared);
  EXPECT_EQ(ec2.calls("StartInstances").at(0), json::parse(R"({"InstanceIds":["i-1"]})"));
  EXPECT_EQ(ec2.calls("DescribeInstanceStatus").at(0),
            json::parse(R"({"InstanceIds":["i-1"],"IncludeAllInstances":true})"));
  EXPECT_EQ(ec2.count("DescribeInstanceStatus"), 2u) << "waited until its checks were ok";
  EXPECT_EQ(ec2.count("RunInstances"), 0u);
  EXPECT_EQ(cfg["ec2_ip"], "198.51.100.1");
  EXPECT_EQ(cfg["ec2_2nd_private_ip"], "10.0.101.9");

  // One caught stopping is waited for until it has stopped, then started the same way.
  FakeAwsClient stopping;
  int byId = 0;
  stopping.on("DescribeInstances").reply_with([&](const json& req) {
    if (req.contains("Filters")) return found({{"i-1", "stopping"}});
    if (byId++ == 0) return found({{"i-1", "stopped"}});
    return reservations(
        {instance("i-1", {nic("eni-1", "subnet-g", "10.0.0.5", "198.51.100.1"), nic("eni-2", "subnet-p", "10.0.101.9")},
                  "198.51.100.1")});
  });
  stopping.on("StartInstances").reply(json::object());
  stopping.on("DescribeInstanceStatus")
      .reply({{"InstanceStatuses", json::array({{{"InstanceStatus", {{"Status", "ok"}}}}})}});
  json again = entry();
  createEc2(stopping, iam, "ami", {"subnet-g", "subnet-p", "ip"}, args, again, shared);
  EXPECT_EQ(stopping.count("StartInstances"), 1u);
  EXPECT_EQ(again["ec2_ip"], "198.51.100.1");
  EXPECT_EQ(exitStatus(), 0);

  // Two live ones (two pipelines at once): nothing more is launched, the entry fails naming both.
  FakeAwsClient two;
  two.on("DescribeInstances").reply(found({{"i-1", "running"}, {"i-2", "pending"}, {"i-3", "terminated"}}));
  json other = entry();
  createEc2(two, iam, "ami", {"subnet-g", "subnet-p", "ip"}, args, other, shared);
  EXPECT_EQ(two.count("RunInstances"), 0u);
  EXPECT_TRUE(
      logged("error   **Error** More than one ec2 with tag Name:quenfold-test-ec2 found in subnet-g: i-1, i-2; "
             "launch none (terminate the extra ones, or revert)"));
  EXPECT_EQ(exitStatus(), 1);
  EXPECT_FALSE(other.contains("ec2_ip"));
}

TEST_F(Deploy, ALaunchThatDiesFailsItsEntryAtTheFirstPollWithAwsReason) {
  ec2.on("RunInstances").reply({{"Instances", json::array({{{"InstanceId", "i-1"}}})}});
  ec2.on("DescribeInstanceStatus")
      .reply({{"InstanceStatuses", json::array({{{"InstanceState", {{"Name", "pending"}}}}})}})
      .reply({{"InstanceStatuses", json::array({{{"InstanceState", {{"Name", "terminated"}}}}})}});
  ec2.on("DescribeInstances").reply_with([](const json& req) {
    if (req.contains("Filters")) return reservations({});
    json dead = instance("i-1", {}, "", "terminated");
    dead["StateReason"] = {{"Code", "Client.InternalError"},
                           {"Message", "Client.InternalError: Client error on launch"}};
    return reservations({dead});
  });
  json cfg = entry();
  createEc2(ec2, iam, "ami", {"subnet-g", "subnet-p", "ip"}, args, cfg,
            {std::string("sg"), std::string("sgp"), std::nullopt, std::nullopt});
  EXPECT_EQ(ec2.count("DescribeInstanceStatus"), 2u);
  EXPECT_TRUE(
      logged("error   **Error** Instance i-1 in subnet-g is not usable: it is terminated: "
             "Client.InternalError: Client error on launch"));
  EXPECT_EQ(ec2.count("CreateNetworkInterface"), 0u);
  EXPECT_EQ(exitStatus(), 1);

  // Impaired status checks end the wait the same way, naming the check.
  FakeAwsClient impaired;
  impaired.on("DescribeInstanceStatus")
      .reply({{"InstanceStatuses", json::array({{{"InstanceState", {{"Name", "running"}}},
                                                 {"InstanceStatus", {{"Status", "impaired"}}}}})}});
  scriptNewInstance(impaired);
  createEc2(impaired, iam, "ami", {"subnet-g", "subnet-p", "ip"}, args, cfg,
            {std::string("sg"), std::string("sgp"), std::nullopt, std::nullopt});
  EXPECT_TRUE(
      logged("error   **Error** Instance i-1 in subnet-g is not usable: its status check InstanceStatus is impaired"));
  EXPECT_EQ(impaired.count("CreateNetworkInterface"), 0u);

  // A wait that ends for another reason says so, not the state of a running instance.
  FakeAwsClient refused;
  refused.on("DescribeInstanceStatus").fail("UnauthorizedOperation", "not allowed");
  scriptNewInstance(refused);
  createEc2(refused, iam, "ami", {"subnet-g", "subnet-p", "ip"}, args, cfg,
            {std::string("sg"), std::string("sgp"), std::nullopt, std::nullopt});
  EXPECT_TRUE(
      logged("error   **Error** Instance i-1 in subnet-g is not usable: Waiter InstanceStatusOk failed: An error "
             "occurred (UnauthorizedOperation): not allowed"))
      << ::testing::PrintToString(logs());
}

TEST_F(Deploy, WithoutAPublicAddressItWaitsTwiceThenGivesUp) {
  ec2.on("RunInstances").reply({{"Instances", json::array({{{"InstanceId", "i-1"}}})}});
  ec2.on("DescribeInstanceStatus")
      .reply({{"InstanceStatuses", json::array({{{"InstanceId", "i-1"}, {"InstanceStatus", {{"Status", "ok"}}}}})}});
  ec2.on("DescribeInstances").reply_with([](const json& req) {
    if (req.contains("Filters")) return json{{"Reservations", json::array()}};
    return reservations({instance("i-1", {nic("eni-1", "subnet-g", "10.0.0.5")})});
  });
  ec2.on("AllocateAddress").reply(json::object());
  ec2.on("CreateTags").reply(json::object());
  args.eip = true;
  json cfg = entry();
  createEc2(ec2, iam, "ami", {"subnet-g", "subnet-p", "ip"}, args, cfg,
            {std::string("sg"), std::string("sgp"), std::nullopt, std::nullopt});
  EXPECT_EQ(ec2.calls("RunInstances")[0]["NetworkInterfaces"][0]["AssociatePublicIpAddress"], false)
      << "whatever its subnet would give, the instance gets an Elastic IP";
  EXPECT_FALSE(ec2.calls("RunInstances")[0].contains("MetadataOptions")) << "an image not for IMDSv2 only";
  EXPECT_EQ(ec2.count("AllocateAddress"), 1u);
  EXPECT_EQ(clock_.sleeps(), (std::vector<std::chrono::milliseconds>{5s, 5s}));
  EXPECT_TRUE(logged("error   Failed to allocate and associate EIP to i-1"));
  EXPECT_EQ(ec2.count("CreateNetworkInterface"), 0u);
  EXPECT_FALSE(cfg.contains("ec2_ip"));
}

TEST_F(Deploy, InstanceProfileChoice) {
  json cfg = entry();
  ec2.on("DescribeInstances").reply(reservations({}));  // no test instance in the subnet yet
  args.dry_run = true;
  args.ec2_role = "default";
  createEc2(ec2, iam, "ami", {"subnet-g", "subnet-p", "ip"}, args, cfg,
            {std::nullopt, std::nullopt, std::string(kInstanceProfileName), std::nullopt});
  EXPECT_EQ(iam.all_calls().size(), 0u);
  EXPECT_EQ(ec2.count("RunInstances"), 0u) << "a dry run stops before the launch";
  EXPECT_TRUE(logged("info - Create quenfold-test-ec2 in private subnet-p"));

  args.ec2_role = "tester";
  iam.on("ListInstanceProfilesForRole")
      .reply({{"InstanceProfiles", json::array({{{"InstanceProfileName", "tester-profile"}}})}})
      .reply({{"InstanceProfiles", json::array()}})
      .fail("NoSuchEntity", "no role")
      .fail("AccessDenied", "denied");
  createEc2(ec2, iam, "ami", {"subnet-g", "subnet-p", "ip"}, args, cfg);
  EXPECT_EQ(iam.calls("ListInstanceProfilesForRole")[0], json::parse(R"({"RoleName":"tester"})"));
  EXPECT_TRUE(logged("info - Assign role tester to quenfold-test-ec2"));
  FakeAwsClient renamed{"iam"};
  renamed.on("ListInstanceProfilesForRole")
      .reply({{"InstanceProfiles", json::array({{{"InstanceProfileName", "made-by-a-template"}}})}});
  EXPECT_EQ(resolveInstanceProfile(renamed, "tester"), "made-by-a-template") << "need not share the role's name";
  const TestSubnet other{"g", "p", "ip"};
  EXPECT_THROW(createEc2(ec2, iam, "ami", other, args, cfg), core::ExitRequest);
  EXPECT_TRUE(logged("error   **Error** no instance profile found for role tester"));
  EXPECT_THROW(createEc2(ec2, iam, "ami", other, args, cfg), core::ExitRequest);
  EXPECT_TRUE(logged("error   **Error** role not found tester"));
  EXPECT_THROW(createEc2(ec2, iam, "ami", other, args, cfg), core::ExitRequest);

  args.dry_run = false;
  args.ec2_role.reset();
  scriptNewInstance(ec2);
  createEc2(ec2, iam, "ami", {"subnet-g", "subnet-p", "ip"}, args, cfg,
            {std::string("sg"), std::string("sgp"), std::string(kInstanceProfileName), std::nullopt});
  EXPECT_EQ(ec2.calls("RunInstances").back()["IamInstanceProfile"],
            json::parse(R"({"Name":"quenfold-test-ec2-instance-profile"})"));
}

TEST_F(Deploy, DeployRunsOneWorkerPerSubnetAndWritesTheOutput) {
  scriptPreflightLookups(ec2);
  // Three subnets plus one entry without a private subnet; the second worker's launch fails
  // although its entry carries an earlier run's addresses; a fifth entry's range has host bits set.
  const std::string in = path("in.json"), out = path("out.json");
  json config = json::array();
  for (int i = 1; i <= 3; ++i) {
    config.push_back({{"gw_name", "gw" + std::to_string(i)},
                      {"gw_subnet_id", "subnet-g" + std::to_string(i)},
                      {"private_subnet_id", "subnet-p"},
                      {"gw_private_ip", "10.0.0.1"},
                      {"private_subnet_cidr", "10.0.101.0/24"}});
  }
  config[1]["ec2_ip"] = "192.0.2.1";
  config[1]["ec2_2nd_private_ip"] = "10.0.101.200";
  config[1]["note"] = "kept after the addresses";
  config.push_back({{"nat_gw_id", "nat-4"}, {"private_subnet_id", ""}});
  config.push_back({{"gw_subnet_id", "subnet-g5"},
                    {"private_subnet_id", "subnet-p"},
                    {"gw_private_ip", "10.0.0.1"},
                    {"private_subnet_cidr", "10.0.101.7/24"}});
  writeTestConfig(in, config);
  args.test_config = in;
  args.output_test_config = out;
  args.backup_folder = path("backup");
  ec2.on("DescribeSubnets").reply({{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}});
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array()}});
  ec2.on("CreateSecurityGroup").reply({{"GroupId", "sg-1"}});
  ec2.on("AuthorizeSecurityGroupIngress").reply({{"Return", true}});
  ec2.on("DescribeKeyPairs").reply({{"KeyPairs", json::array()}});
  ec2.on("CreateKeyPair").reply({{"KeyName", "k"}, {"KeyMaterial", "PEM"}});
  ec2.on("RunInstances").reply_with([](const json& req) -> json {
    const std::string subnet = req["NetworkInterfaces"][0]["SubnetId"];
    if (subnet == "subnet-g2") throw awsapi::ClientError("Unsupported", "no", "RunInstances", 400);
    return {{"Instances", json::array({{{"InstanceId", "i-" + subnet}}})}};
  });
  ec2.on("DescribeInstanceStatus")
      .reply({{"InstanceStatuses", json::array({{{"InstanceStatus", {{"Status", "ok"}}}}})}});
  ec2.on("DescribeInstances").reply_with([](const json& req) {
    if (req.contains("Filters")) return json{{"Reservations", json::array()}};
    const std::string id = req["InstanceIds"][0];
    const std::string gw = id.substr(2);
    return reservations(
        {instance(id, {nic("eni-1", gw, "10.0.0.5"), nic("eni-2", "subnet-p", "10.0.101.9")}, "198.51.100.1")});
  });
  ec2.on("CreateTags").reply(json::object());
  ec2.on("CreateNetworkInterface").reply({{"NetworkInterface", {{"NetworkInterfaceId", "eni-2"}}}});
  ec2.on("AttachNetworkInterface").reply({{"AttachmentId", "eni-attach-2"}});

  deployEc2s(ec2, nullptr, iam, "ami-1", args);
  json written = readTestConfig(out);
  ASSERT_EQ(written.size(), 5u);
  EXPECT_EQ(written[0]["ec2_ip"], "198.51.100.1");
  EXPECT_EQ(written[2]["ec2_2nd_private_ip"], "10.0.101.9");
  EXPECT_EQ(written[1], config[1]) << "an earlier run's addresses stay where they were, but do not count";
  EXPECT_EQ(written[3], config[3]) << "a skipped entry is written unchanged";
  EXPECT_TRUE(logged("error   **Error** Skip nat-4 -- private_subnet_id not defined"));
  EXPECT_TRUE(logged("error   **Error** subnet-g2 has no ec2_ip and ec2_2nd_private_ip from this run"));
  EXPECT_TRUE(
      logged("error   **Error** subnet-g5: private_subnet_cidr 10.0.101.7/24 cannot be used: "
             "10.0.101.7/24 has host bits set"));
  EXPECT_EQ(ec2.count("RunInstances"), 3u) << "no instance for an unusable range";
  EXPECT_EQ(exitStatus(), 1);
  EXPECT_EQ(ec2.count("CreateSecurityGroup"), 2u);
  EXPECT_EQ(ec2.count("CreateKeyPair"), 1u);
  struct stat st {};
  ASSERT_EQ(::stat((path("backup") + "/quenfold-test-ec2-key-pair-vpc-1.pem").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(Deploy, ElasticIpsThatCannotFitTheQuotaStopTheRunBeforeAnythingIsMade) {
  scriptPreflightLookups(ec2);
  const std::string in = path("in.json");
  json config = json::array();
  for (int i = 1; i <= 3; ++i) {
    config.push_back({{"gw_subnet_id", "subnet-g" + std::to_string(i)},
                      {"private_subnet_id", "subnet-p"},
                      {"gw_private_ip", "10.0.0.1"},
                      {"private_subnet_cidr", "10.0.101.0/24"}});
  }
  writeTestConfig(in, config);
  args.test_config = in;
  args.output_test_config = path("out.json");
  args.eip = true;
  ec2.on("DescribeSubnets").reply({{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}});
  // Four addresses in the region, one of them on the instance already in subnet-g1: two are
  // needed and one is left.
  ec2.on("DescribeAddresses")
      .reply({{"Addresses", json::array({{{"AllocationId", "a1"}, {"InstanceId", "i-1"}},
                                         {{"AllocationId", "a2"}},
                                         {{"AllocationId", "a3"}},
                                         {{"AllocationId", "a4"}}})}});
  ec2.on("DescribeInstances").reply(reservations({[] {
    json i = instance("i-1", {}, "", "running");
    i["SubnetId"] = "subnet-g1";
    return i;
  }()}));
  auto quota = [](const char* n) {
    return json{{"AccountAttributes", json::array({{{"AttributeName", "vpc-max-elastic-ips"},
                                                    {"AttributeValues", json::array({{{"AttributeValue", n}}})}}})}};
  };
  ec2.on("DescribeAccountAttributes").reply(quota("5")).reply(quota("6"));
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array()}});
  ec2.on("DescribeKeyPairs").reply({{"KeyPairs", json::array()}});
  EXPECT_THROW(deployEc2s(ec2, nullptr, iam, "ami-1", args), core::ExitRequest);
  EXPECT_TRUE(
      logged("error   **Error** 2 Elastic IPs are needed and us-east-1 has 1 left (quota 5, 4 in use): "
             "release some, ask AWS for a higher quota, or deploy without --eip"))
      << ::testing::PrintToString(logs());
  EXPECT_EQ(ec2.count("CreateSecurityGroup") + ec2.count("RunInstances") + ec2.count("AllocateAddress"), 0u);

  // With one more in the quota, the two needed fit exactly what is left: no refusal.
  args.dry_run = true;
  ec2.lenient();
  deployEc2s(ec2, nullptr, iam, "ami-1", args);
  EXPECT_TRUE(logged("info - Elastic IPs: 2 needed, 2 left of 6 in us-east-1"));
  EXPECT_EQ(countLogged("error   **Error** 2 Elastic IPs are needed and us-east-1 has 2 left (quota 6, 4 in use): "
                        "release some, ask AWS for a higher quota, or deploy without --eip"),
            0);
}

TEST_F(Deploy, AnInterruptionWhileTheSharedResourcesAreMadeStillWritesTheOutput) {
  scriptPreflightLookups(ec2);
  json config = json::array({entry()});
  config[0]["ec2_ip"] = "192.0.2.1";
  args.output_test_config = path("out.json");
  ec2.on("DescribeSubnets").reply({{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}});
  ec2.on("DescribeInstances").reply({{"Reservations", json::array()}});
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array({{{"GroupId", "sg-1"}}})}});
  ec2.on("AuthorizeSecurityGroupIngress").fail("InvalidPermission.Duplicate", "the rule is there");
  // The signal came while the groups were looked up: the client starts no further call.
  ec2.on("DescribeKeyPairs").reply_with([](const json&) -> json { throw core::Interrupted{SIGINT}; });
  EXPECT_THROW(deployEc2s(ec2, nullptr, iam, "ami-1", config, args), core::Interrupted);
  EXPECT_EQ(readTestConfig(path("out.json")), config);
  EXPECT_EQ(ec2.count("RunInstances"), 0u);
}

TEST_F(Deploy, OutputThatCannotBeWrittenGoesToStandardError) {
  const std::string in = path("in.json");
  writeTestConfig(in, json::parse(R"([{"nat_gw_id":"n","private_subnet_id":"","gw_subnet_id":"subnet-g"}])"));
  args.test_config = in;
  args.output_test_config = path("missing-dir/out.json");
  args.key_name = "mine";
  ec2.on("DescribeSubnets").reply({{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}});
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array({{{"GroupId", "sg-1"}}})}});
  ec2.on("AuthorizeSecurityGroupIngress").fail("InvalidPermission.Duplicate", "the rule is there");
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(deployEc2s(ec2, nullptr, iam, "ami-1", args), core::ExitRequest);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("\"nat_gw_id\": \"n\""), std::string::npos);
  EXPECT_EQ(ec2.count("CreateKeyPair") + ec2.count("DescribeKeyPairs"), 0u) << "--key_name skips the key pair";
}

TEST_F(Deploy, ImageLookupsByName) {
  args.image = "al2023-ami-2023*";
  ec2.on("DescribeImages")
      .reply({{"Images", json::array({{{"ImageId", "ami-1"}}, {{"ImageId", "ami-2"}}})}})
      .reply({{"Images", json::array()}});
  EXPECT_EQ(getAMIByName(ec2, args), "ami-1");
  EXPECT_EQ(ec2.calls("DescribeImages")[0], json::parse(R"({"ExecutableUsers":["all"],"Filters":[{"Name":"name",
      "Values":["al2023-ami-2023*"]}],"Owners":["amazon"],"IncludeDeprecated":false})"));
  EXPECT_THROW(getAMIByName(ec2, args), core::ExitRequest);
  EXPECT_TRUE(logged("error   **Error** Failed to find image al2023-ami-2023*"));

  FakeAwsClient ssm("ssm");
  ssm.on("GetParametersByPath")
      .reply({{"Parameters",
               json::array({{{"Name", "/aws/service/ami-amazon-linux-latest/al2023-ami-kernel-default-arm64"},
                             {"Value", "ami-arm"}},
                            {{"Name", "/aws/service/ami-amazon-linux-latest/al2023-ami-kernel-default-x86_64"},
                             {"Value", "ami-x86"}}})}});
  EXPECT_THROW(getAMI(ssm, args), core::ExitRequest) << "no name ends with a '*'";
  args.image = "default-x86_64";
  EXPECT_EQ(getAMI(ssm, args), "ami-x86");
}

TEST_F(Deploy, ImageParameterOnALaterPageIsFound) {
  args.image = "default-x86_64";
  FakeAwsClient ssm("ssm");
  ssm.on("GetParametersByPath")
      .reply({{"Parameters", json::array({{{"Name", "/aws/service/ami-amazon-linux-latest/amzn2-ami-hvm-arm64-gp2"},
                                           {"Value", "ami-arm"}}})},
              {"NextToken", "page-2"}})
      .reply({{"Parameters",
               json::array({{{"Name", "/aws/service/ami-amazon-linux-latest/al2023-ami-kernel-default-x86_64"},
                             {"Value", "ami-x86"}}})}});
  EXPECT_EQ(getAMI(ssm, args), "ami-x86");
  ASSERT_EQ(ssm.count("GetParametersByPath"), 2u);
  EXPECT_EQ(ssm.calls("GetParametersByPath")[1]["NextToken"], "page-2");
}
