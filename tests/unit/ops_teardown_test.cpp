#include "deploy_test_ec2/teardown/teardown.h"

#include "awsapi/base/error.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/network/network.h"
#include "ops_support.h"

using namespace quenfold_testlibs;
using namespace quenfold_testlibs::testing;

namespace {
class Teardown : public OpsTest {
 protected:
  // Instance i-1 in subnet-g with an attached second interface and a public address.
  json withInstance(const std::string& state = "running") {
    return reservations({instance("i-1",
                                  {nic("eni-1", "subnet-g", "10.0.0.5", "198.51.100.1", "att-1"),
                                   nic("eni-2", "subnet-p", "10.0.1.5", "", "att-2")},
                                  "198.51.100.1", state)});
  }
  // Answers of a VPC where the revert finds nothing shared left to delete.
  void scriptNothingShared() {
    ec2.on("DescribeAddresses").reply({{"Addresses", json::array()}});
    ec2.on("DescribeNetworkInterfaces").reply({{"NetworkInterfaces", json::array()}});
    ec2.on("DescribeKeyPairs").reply({{"KeyPairs", json::array()}});
  }
  FakeAwsClient ec2;
  FakeAwsClient iam{"iam"};
  Args args;
};
}  // namespace

TEST_F(Teardown, DeleteEc2DetachesThenTerminatesThenReleases) {
  args.eip = true;
  ec2.on("DescribeInstances").reply_with([&](const json& req) {
    if (req.contains("InstanceIds")) return reservations({instance("i-1", {}, "", "terminated")});  // the waiter
    return withInstance();
  });
  ec2.on("DescribeNetworkInterfaces").reply({{"NetworkInterfaces", json::array()}});  // detached
  ec2.on("DescribeAddresses").reply({{"Addresses", json::array({{{"AllocationId", "eipalloc-1"}}})}});
  ec2.on("DetachNetworkInterface").reply(json::object());
  ec2.on("DeleteNetworkInterface").reply(json::object());
  ec2.on("TerminateInstances")
      .reply({{"TerminatingInstances", json::array({{{"InstanceId", "i-1"},
                                                     {"CurrentState", {{"Code", 32}, {"Name", "shutting-down"}}},
                                                     {"PreviousState", {{"Code", 16}, {"Name", "running"}}}}})}});
  ec2.on("ReleaseAddress").reply(json::object());
  deleteEc2(ec2, iam, "subnet-g", args);
  std::vector<std::string> order;
  for (const auto& op : ec2.operations())
    if (op.rfind("Describe", 0) != 0 || op == "DescribeAddresses") order.push_back(op);
  // The address is looked up before anything changes: a failed lookup leaves the instance whole.
  EXPECT_EQ(order, (std::vector<std::string>{"DescribeAddresses", "DetachNetworkInterface", "DeleteNetworkInterface",
                                             "TerminateInstances", "ReleaseAddress"}));
  EXPECT_EQ(ec2.calls("ReleaseAddress")[0], json::parse(R"({"AllocationId":"eipalloc-1"})"));
  EXPECT_TRUE(logged("info - Delete quenfold-test-ec2 in subnet-g"));
  EXPECT_TRUE(logged("info   terminate i-1 in subnet-g"));
  EXPECT_TRUE(logged("info - Delete EIP 198.51.100.1 eipalloc-1 for i-1"));
}

TEST_F(Teardown, SubnetWithoutInstanceAndDryRun) {
  ec2.on("DescribeInstances").reply(reservations({}));
  deleteEc2(ec2, iam, "subnet-g", args);
  EXPECT_TRUE(logged("info - No attachment found"));
  EXPECT_FALSE(logged("info - Delete quenfold-test-ec2 in subnet-g"));
  EXPECT_EQ(ec2.count("TerminateInstances"), 0u);

  FakeAwsClient dry;
  dry.on("DescribeInstances").reply(withInstance());
  args.dry_run = true;
  args.eip = true;
  dry.on("DescribeAddresses").reply({{"Addresses", json::array({{{"AllocationId", "eipalloc-1"}}})}});
  deleteEc2(dry, iam, "subnet-g", args);
  EXPECT_TRUE(logged("info   terminate i-1 in subnet-g"));
  for (auto op : {"DetachNetworkInterface", "DeleteNetworkInterface", "TerminateInstances", "ReleaseAddress"})
    EXPECT_EQ(dry.count(op), 0u) << op;
}

TEST_F(Teardown, TerminateFailingOtherThanNotFoundIsNotTakenForGone) {
  args.eip = true;
  ec2.on("DescribeInstances").reply(withInstance());
  ec2.on("DescribeNetworkInterfaces").reply({{"NetworkInterfaces", json::array()}});
  ec2.on("DescribeAddresses").reply({{"Addresses", json::array({{{"AllocationId", "eipalloc-1"}}})}});
  ec2.on("DetachNetworkInterface").reply(json::object());
  ec2.on("DeleteNetworkInterface").reply(json::object());
  ec2.on("TerminateInstances").fail("UnauthorizedOperation", "not allowed", 403);
  ec2.on("ReleaseAddress").reply(json::object());
  EXPECT_THROW(deleteEc2(ec2, iam, "subnet-g", args), awsapi::ClientError);
  EXPECT_EQ(ec2.count("ReleaseAddress"), 0u) << "the address of a live instance stays";
}

TEST_F(Teardown, DryRunRevertDeletesNothingAtAll) {
  const std::string cfg = path("cfg.json");
  writeTestConfig(cfg, json::parse(R"([{"gw_subnet_id":"subnet-g","private_subnet_id":"subnet-p"}])"));
  args.test_config = cfg;
  args.dry_run = true;
  args.eip = true;
  ec2.on("DescribeSubnets").reply({{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}});
  ec2.on("DescribeInstances").reply(withInstance());
  ec2.on("DescribeAddresses").reply_with([](const json& req) {
    // The instance's own address, then an unassociated one left in the VPC.
    if (req.contains("PublicIps")) return json{{"Addresses", json::array({{{"AllocationId", "eipalloc-1"}}})}};
    return json{{"Addresses", json::array({{{"AllocationId", "eipalloc-2"}, {"PublicIp", "198.51.100.7"}}})}};
  });
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array({{{"GroupId", "sg-1"}}})}});
  ec2.on("DescribeNetworkInterfaces").reply({{"NetworkInterfaces", json::array({{{"NetworkInterfaceId", "eni-9"}}})}});
  ec2.on("DescribeKeyPairs").reply({{"KeyPairs", json::array({{{"KeyPairId", "key-1"}}})}});
  EXPECT_TRUE(terminateEc2s(ec2, iam, args));
  for (const auto& op : ec2.operations()) EXPECT_EQ(op.rfind("Describe", 0), 0u) << op;
  EXPECT_TRUE(logged("info - Delete unassociated EIP 198.51.100.7 eipalloc-2 in vpc-1"));
  EXPECT_EQ(exitStatus(), 0);
}

TEST_F(Teardown, RevertDeletesSharedResourcesOnlyWhenNoInstanceRemains) {
  const std::string cfg = path("cfg.json");
  writeTestConfig(cfg, json::parse(R"([{"gw_subnet_id":"subnet-g","private_subnet_id":"subnet-p"},
                                       {"gw_subnet_id":"subnet-h","private_subnet_id":""}])"));
  args.test_config = cfg;
  ec2.on("DescribeSubnets").reply({{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}});
  ec2.on("DescribeInstances").reply_with([](const json& req) {
    // The VPC-wide check still sees the instance of the skipped subnet.
    if (req["Filters"].size() == 3) return reservations({instance("i-left", {})});
    return reservations({});
  });
  ec2.on("DescribeAddresses").reply({{"Addresses", json::array()}});
  EXPECT_FALSE(terminateEc2s(ec2, iam, args));
  EXPECT_EQ(ec2.count("DeleteSecurityGroup") + ec2.count("DeleteKeyPair") + ec2.count("DescribeSecurityGroups"), 0u);
  EXPECT_TRUE(
      logged("error   **Error** test instances remain in vpc-1: i-left; security groups, network interfaces "
             "and key pair were kept"));
  EXPECT_EQ(exitStatus(), 1);
  // The IAM objects the remaining instances use are kept too, and the line says so.
  args.ec2_role = "default";
  EXPECT_FALSE(terminateEc2s(ec2, iam, args));
  EXPECT_TRUE(
      logged("error   **Error** test instances remain in vpc-1: i-left; security groups, network interfaces, "
             "key pair and the IAM policy, role and instance profile were kept"));
}

TEST_F(Teardown, AFailedGroupLookupIsAFailureAndAGoneInstanceIsNot) {
  const std::string cfg = path("cfg.json");
  writeTestConfig(cfg, json::parse(R"([{"gw_subnet_id":"subnet-g","private_subnet_id":"subnet-p"}])"));
  args.test_config = cfg;
  ec2.on("DescribeSubnets").reply({{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}});
  ec2.on("DescribeInstances").reply_with([&](const json& req) {
    const bool inSubnet = req.contains("Filters") && req["Filters"].size() == 2;
    return inSubnet && !ec2.count("DetachNetworkInterface") ? withInstance() : reservations({});
  });
  // Another revert terminated the instance first.
  ec2.on("TerminateInstances").fail("InvalidInstanceID.NotFound", "The instance ID 'i-1' does not exist");
  ec2.on("DescribeSecurityGroups").fail("RequestLimitExceeded", "Request limit exceeded.", 503);
  ec2.on("DetachNetworkInterface").reply(json::object());
  ec2.on("DeleteNetworkInterface").reply(json::object());
  scriptNothingShared();
  EXPECT_TRUE(terminateEc2s(ec2, iam, args));
  EXPECT_FALSE(logged("info   not found"));
  EXPECT_TRUE(
      logged("error   **Error** SG quenfold-test-ec2-sg in vpc-1 could not be looked up: An error occurred "
             "(RequestLimitExceeded) when calling the DescribeSecurityGroups operation: Request limit exceeded."));
  EXPECT_EQ(core::AppExitStatus::failures(),
            (std::vector<std::string>{"lookup of SG quenfold-test-ec2-sg failed",
                                      "lookup of SG quenfold-test-ec2-private-interface-sg failed"}));
}

TEST_F(Teardown, RevertInTheFixedOrder) {
  const std::string cfg = path("cfg.json");
  writeTestConfig(cfg, json::parse(R"([{"gw_subnet_id":"subnet-g","private_subnet_id":""}])"));
  args.test_config = cfg;
  ec2.on("DescribeSubnets").reply({{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}});
  ec2.on("DescribeInstances").reply(reservations({}));
  ec2.on("DescribeSecurityGroups").reply_with([](const json& req) {
    const std::string name = req["Filters"][1]["Values"][0];
    return json{
        {"SecurityGroups", json::array({{{"GroupId", name == "quenfold-test-ec2-sg" ? "sg-pub" : "sg-priv"}}})}};
  });
  ec2.on("DescribeNetworkInterfaces").reply({{"NetworkInterfaces", json::array({{{"NetworkInterfaceId", "eni-9"}}})}});
  ec2.on("DescribeKeyPairs").reply({{"KeyPairs", json::array({{{"KeyPairId", "key-1"}}})}});
  ec2.on("DescribeAddresses").reply({{"Addresses", json::array()}});
  ec2.on("DeleteSecurityGroup").reply({{"Return", true}});
  ec2.on("DeleteNetworkInterface").reply(json::object());
  ec2.on("DeleteKeyPair").reply({{"Return", true}, {"KeyPairId", "key-1"}});
  terminateEc2s(ec2, iam, args);
  std::vector<std::string> deletes;
  for (const auto& c : ec2.all_calls())
    if (c.operation.rfind("Delete", 0) == 0)
      deletes.push_back(c.operation + " " + c.request.begin().value().get<std::string>());
  EXPECT_EQ(deletes, (std::vector<std::string>{"DeleteSecurityGroup sg-pub", "DeleteNetworkInterface eni-9",
                                               "DeleteSecurityGroup sg-priv",
                                               "DeleteKeyPair quenfold-test-ec2-key-pair-vpc-1"}));
  EXPECT_EQ(exitStatus(), 0);
}

TEST_F(Teardown, FailedVpcCheckKeepsSharedResourcesAndFails) {
  const std::string cfg = path("cfg.json");
  writeTestConfig(cfg, json::parse(R"([{"gw_subnet_id":"subnet-g","private_subnet_id":""}])"));
  args.test_config = cfg;
  ec2.on("DescribeSubnets").reply({{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}});
  ec2.on("DescribeInstances").fail("InternalError", "boom", 500);
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array()}});
  scriptNothingShared();
  ::testing::internal::CaptureStderr();
  terminateEc2s(ec2, iam, args);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ec2.count("DescribeSecurityGroups"), 0u);
  EXPECT_EQ(exitStatus(), 1);

  // In a dry run the steps go on, as they would after an empty answer.
  args.dry_run = true;
  core::AppExitStatus::reset();
  ::testing::internal::CaptureStderr();
  terminateEc2s(ec2, iam, args);
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(ec2.count("DescribeSecurityGroups"), 2u);
  EXPECT_TRUE(logged("info - Delete SG quenfold-test-ec2-sg"));
  EXPECT_TRUE(logged("info   not found"));
}

TEST_F(Teardown, AllEc2InVpcListsOneIdPerReservation) {
  ec2.on("DescribeInstances").reply(reservations({instance("i-1", {}), instance("i-2", {})})).reply(reservations({}));
  auto ids = getAllEc2InVpc(ec2, "vpc-1");
  ASSERT_TRUE(ids);
  EXPECT_EQ(*ids, (std::vector<std::string>{"i-1", "i-2"}));
  EXPECT_EQ(ec2.calls("DescribeInstances")[0]["Filters"][2], json::parse(R"({"Name":"instance-state-name",
                "Values":["pending","running","shutting-down","stopped","stopping"]})"));
  EXPECT_TRUE(logged("info   **Alert** More than one ec2 with tag Name:quenfold-test-ec2 found in vpc-1"));
  EXPECT_FALSE(getAllEc2InVpc(ec2, "vpc-1"));
}

TEST_F(Teardown, TheVpcsInstancesAreReadFromEveryPage) {
  json first = withInstance();
  first["Reservations"][0]["Instances"][0]["SubnetId"] = "subnet-g";
  first["NextToken"] = "page-2";
  json second = reservations({instance("i-2", {})});
  second["Reservations"][0]["Instances"][0]["SubnetId"] = "subnet-h";
  ec2.on("DescribeInstances").reply(first).reply(second);
  const Ec2sBySubnet found = findEc2sInVpc(ec2, "vpc-1");
  EXPECT_EQ(found.count("subnet-g") + found.count("subnet-h"), 2u);
  const auto calls = ec2.calls("DescribeInstances");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0]["MaxResults"], 1000);  // without it, EC2 answers in one piece or not at all
  EXPECT_FALSE(calls[0].contains("NextToken"));
  EXPECT_EQ(calls[1]["NextToken"], "page-2");
}

TEST_F(Teardown, EipRevertOfAPlainAddressStillTerminatesAndAFailedLookupChangesNothing) {
  args.eip = true;
  ec2.on("DescribeInstances").reply_with([&](const json& req) {
    if (req.contains("InstanceIds")) return reservations({instance("i-1", {}, "", "terminated")});
    return ec2.count("DetachNetworkInterface") ? reservations({instance("i-1", {})}) : withInstance();
  });
  ec2.on("DescribeNetworkInterfaces").reply({{"NetworkInterfaces", json::array()}});
  ec2.on("DescribeAddresses")
      .fail("InvalidAddress.NotFound", "Address '198.51.100.1' not found.")
      .fail("RequestLimitExceeded", "Request limit exceeded.", 503);
  ec2.on("DetachNetworkInterface").reply(json::object());
  ec2.on("DeleteNetworkInterface").reply(json::object());
  ec2.on("TerminateInstances").reply(json::object());
  deleteEc2(ec2, iam, "subnet-g", args);
  EXPECT_EQ(ec2.count("TerminateInstances"), 1u);
  EXPECT_EQ(ec2.count("ReleaseAddress"), 0u);
  EXPECT_TRUE(logged("info   198.51.100.1 of i-1 is no EIP: nothing to release"));

  FakeAwsClient other;
  other.on("DescribeInstances").reply(withInstance());
  other.on("DescribeAddresses").fail("UnauthorizedOperation", "not allowed", 403);
  EXPECT_THROW(deleteEc2(other, iam, "subnet-g", args), awsapi::ClientError);
  EXPECT_EQ(other.operations(), (std::vector<std::string>{"DescribeInstances", "DescribeAddresses"}));
}

TEST_F(Teardown, EveryInstanceOfASharedSubnetIsTerminatedOnce) {
  const std::string cfg = path("cfg.json");
  writeTestConfig(cfg, json::parse(R"([{"gw_subnet_id":"subnet-g","private_subnet_id":"subnet-p"},
                                       {"gw_subnet_id":"subnet-g","private_subnet_id":"subnet-q"}])"));
  args.test_config = cfg;
  ec2.on("DescribeSubnets").reply({{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}});
  ec2.on("DescribeInstances").reply_with([&](const json& req) {
    if (req.contains("InstanceIds")) return reservations({instance("i-1", {}, "", "terminated")});
    if (req["Filters"].size() == 3) return reservations({});  // the VPC-wide check
    return reservations(
        {instance("i-1", {}), instance("i-2", {}, "", "pending"), instance("i-0", {}, "", "terminated")});
  });
  ec2.on("TerminateInstances").reply(json::object());
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array()}});
  scriptNothingShared();
  EXPECT_TRUE(terminateEc2s(ec2, iam, args));
  ASSERT_EQ(ec2.count("TerminateInstances"), 2u);
  EXPECT_EQ(ec2.calls("TerminateInstances")[1], json::parse(R"({"InstanceIds":["i-2"]})"));
  EXPECT_EQ(countLogged("info - Delete quenfold-test-ec2 in subnet-g"), 1);
  EXPECT_TRUE(logged("info   2 ec2 with tag Name:quenfold-test-ec2 found in subnet-g: i-1, i-2"));
  EXPECT_TRUE(logged("info   terminate i-2 in subnet-g"));
  EXPECT_EQ(exitStatus(), 0);
}

TEST_F(Teardown, ASecondRevertLooksUpTheVpcOnceNotEverySubnet) {
  const std::string cfg = path("cfg.json");
  writeTestConfig(cfg, json::parse(R"([{"gw_subnet_id":"subnet-g","private_subnet_id":"subnet-p"},
                                       {"gw_subnet_id":"subnet-h","private_subnet_id":"subnet-q"}])"));
  args.test_config = cfg;
  ec2.on("DescribeSubnets").reply_with([](const json& req) {
    if (req.contains("Filters"))
      return json{{"Subnets", json::array({{{"SubnetId", "subnet-g"}}, {{"SubnetId", "subnet-h"}}})}};
    return json{{"Subnets", json::array({{{"VpcId", "vpc-1"}}})}};
  });
  ec2.on("DescribeInstances").reply(reservations({}));
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array()}});
  scriptNothingShared();
  EXPECT_TRUE(terminateEc2s(ec2, iam, args));
  EXPECT_EQ(ec2.count("DescribeInstances"), 2u);  // the VPC's instances, then the check for any left
  EXPECT_TRUE(logged("info   No ec2 with tag Name:quenfold-test-ec2 found in subnet-h"));
  EXPECT_EQ(exitStatus(), 0);
}

TEST_F(Teardown, GroupFreedLateIsDeletedAndOneNeverFreedFailsAfterAboutTwoMinutes) {
  ec2.on("DeleteSecurityGroup")
      .fail("DependencyViolation", "resource sg-1 has a dependent object")
      .fail("DependencyViolation", "resource sg-1 has a dependent object")
      .reply({{"Return", true}});
  deleteSG(ec2, "sg-1", args);
  EXPECT_EQ(ec2.count("DeleteSecurityGroup"), 3u);
  EXPECT_TRUE(logged("info   SG sg-1 is still in use (DependencyViolation); retry in 1 s"));
  EXPECT_TRUE(logged("info   SG sg-1 is still in use (DependencyViolation); retry in 2 s"));
  EXPECT_EQ(exitStatus(), 0);

  FakeAwsClient busy;
  busy.on("DeleteSecurityGroup").fail("DependencyViolation", "resource sg-2 has a dependent object");
  ::testing::internal::CaptureStderr();
  deleteSG(busy, "sg-2", args);
  ::testing::internal::GetCapturedStderr();
  EXPECT_GE(clock_.total_slept(), std::chrono::seconds(100));
  EXPECT_LE(clock_.total_slept(), std::chrono::seconds(135));
  EXPECT_EQ(core::AppExitStatus::failures(), (std::vector<std::string>{"security group sg-2 could not be deleted"}));
}
