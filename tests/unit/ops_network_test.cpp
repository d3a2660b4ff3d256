#include "deploy_test_ec2/network/network.h"

#include "core/exceptions.h"
#include "core/exit_request.h"
#include "ops_support.h"

using namespace quenfold_testlibs;
using namespace quenfold_testlibs::testing;
using namespace std::chrono_literals;

namespace {
class Network : public OpsTest {
 protected:
  void SetUp() override {
    OpsTest::SetUp();
    setPublicIpSource([this] {
      ++echoCalls;
      if (echoFails) throw std::runtime_error("IP echo unreachable");
      return std::string("203.0.113.7");
    });
  }
  void TearDown() override {
    setPublicIpSource(nullptr);
    OpsTest::TearDown();
  }
  FakeAwsClient ec2;
  Args args;
  int echoCalls = 0;
  bool echoFails = false;
};
}  // namespace

TEST_F(Network, GetSgIdFindsByVpcAndNameAndLetsOtherFailuresThrough) {
  ec2.on("DescribeSecurityGroups")
      .reply({{"SecurityGroups", json::array({{{"GroupId", "sg-1"}}})}})
      .reply({{"SecurityGroups", json::array()}})
      .fail("InvalidGroup.NotFound", "gone")
      .fail("UnauthorizedOperation", "no");
  EXPECT_EQ(getSgId(ec2, "vpc-1", kSgName), "sg-1");
  EXPECT_EQ(ec2.calls("DescribeSecurityGroups")[0], json::parse(R"({"Filters":[{"Name":"vpc-id","Values":["vpc-1"]},
                                      {"Name":"group-name","Values":["quenfold-test-ec2-sg"]}]})"));
  EXPECT_FALSE(getSgId(ec2, "vpc-1", kSgName));
  EXPECT_TRUE(logs().empty());
  EXPECT_FALSE(getSgId(ec2, "vpc-1", kSgName));
  EXPECT_TRUE(logged("error   **Error** SG not found quenfold-test-ec2-sg in vpc-1"));
  EXPECT_THROW(getSgId(ec2, "vpc-1", kSgName), awsapi::ClientError) << "a failed lookup is not \"absent\"";
}

TEST_F(Network, CreateSgMakesOneSshRuleForTheCallersAddressOnly) {
  args.tag_resource = "Owner,qa";
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array()}});
  ec2.on("CreateSecurityGroup").reply({{"GroupId", "sg-new"}});
  ec2.on("AuthorizeSecurityGroupIngress").reply({{"Return", true}});
  EXPECT_EQ(createSG(ec2, "vpc-1", args), "sg-new");
  auto create = ec2.calls("CreateSecurityGroup").at(0);
  EXPECT_EQ(create,
            json::parse(R"({"Description":"Quenfold test ec2","GroupName":"quenfold-test-ec2-sg","VpcId":"vpc-1",
      "TagSpecifications":[{"ResourceType":"security-group","Tags":[{"Key":"Name","Value":"quenfold-test-ec2-sg"},
      {"Key":"Owner","Value":"qa"}]}]})"));
  EXPECT_EQ(ec2.calls("AuthorizeSecurityGroupIngress").at(0),
            json::parse(R"({"GroupId":"sg-new","IpPermissions":[{"IpProtocol":"tcp","FromPort":22,"ToPort":22,
      "IpRanges":[{"CidrIp":"203.0.113.7/32","Description":"SSH access from the workflow engine"}]}]})"));
  EXPECT_TRUE(logged("info - Create SG quenfold-test-ec2-sg in vpc-1"));
  EXPECT_TRUE(logged("info   sg-new"));
}

TEST_F(Network, CreateSgReusesAndDryRunCreatesNothing) {
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array({{{"GroupId", "sg-old"}}})}});
  args.dry_run = true;
  EXPECT_EQ(createSG(ec2, "vpc-1", args), "sg-old");
  EXPECT_EQ(ec2.count("AuthorizeSecurityGroupIngress"), 0u);
  EXPECT_TRUE(logged("info - Reuse existing SG quenfold-test-ec2-sg sg-old in vpc-1"));
  // A reused group gets the rule for today's address (an earlier run may have died before it);
  // one it has already is fine.
  args.dry_run = false;
  ec2.on("AuthorizeSecurityGroupIngress").reply({{"Return", true}}).fail("InvalidPermission.Duplicate", "exists");
  EXPECT_EQ(createSG(ec2, "vpc-1", args), "sg-old");
  EXPECT_EQ(ec2.calls("AuthorizeSecurityGroupIngress").at(0)["IpPermissions"][0]["IpRanges"][0]["CidrIp"],
            "203.0.113.7/32");
  EXPECT_EQ(createSG(ec2, "vpc-1", args), "sg-old");
  EXPECT_EQ(exitStatus(), 0);
  args.dry_run = true;

  FakeAwsClient empty;
  const int before = echoCalls;
  empty.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array()}});
  EXPECT_FALSE(createSG(empty, "vpc-1", args));
  EXPECT_EQ(echoCalls, before + 1) << "the address lookup precedes the dry-run test";
  EXPECT_FALSE(createPrivateInfSG(empty, "vpc-1", args));
  EXPECT_EQ(empty.count("CreateSecurityGroup"), 0u);
  EXPECT_TRUE(logged("info - Create SG quenfold-test-ec2-private-interface-sg in vpc-1"));
}

TEST_F(Network, CreateSgFailuresEndTheRun) {
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array()}});
  echoFails = true;
  args.dry_run = true;
  EXPECT_THROW(createSG(ec2, "vpc-1", args), core::ExitRequest) << "even in a dry run";
  echoFails = false;
  args.dry_run = false;
  ec2.on("CreateSecurityGroup").fail("InvalidGroup.Duplicate", "exists");
  EXPECT_THROW(createSG(ec2, "vpc-1", args), core::ExitRequest);
  EXPECT_THROW(createPrivateInfSG(ec2, "vpc-1", args), core::ExitRequest);
}

TEST_F(Network, AReusedSshGroupWithoutAnAddressOrFillingUp) {
  // 49 of the tool's rules (one per address deployed from) and one of someone else's.
  json ranges = json::array({{{"CidrIp", "192.0.2.1/32"}, {"Description", "office"}}});
  for (int i = 1; i <= 49; ++i)
    ranges.push_back({{"CidrIp", "198.51.100." + std::to_string(i) + "/32"},
                      {"Description", "SSH access from the workflow engine"}});
  ec2.on("DescribeSecurityGroups")
      .reply({{"SecurityGroups",
               json::array({{{"GroupId", "sg-old"},
                             {"IpPermissions", json::array({{{"IpProtocol", "tcp"}, {"IpRanges", ranges}}})}}})}});
  echoFails = true;
  EXPECT_EQ(createSG(ec2, "vpc-1", args), "sg-old") << "the run goes on with the rules as they are";
  EXPECT_EQ(ec2.count("AuthorizeSecurityGroupIngress"), 0u);
  EXPECT_TRUE(
      logged("info   **Alert** The caller's public address cannot be read (IP echo unreachable); SG "
             "quenfold-test-ec2-sg sg-old keeps its rules as they are"));
  EXPECT_EQ(countLogged("info   **Alert** SG quenfold-test-ec2-sg sg-old holds 50 SSH rules of this tool, one per "
                        "address it was deployed from (AWS's default limit is 60 rules per group); a revert removes "
                        "them"),
            0);

  echoFails = false;
  ec2.on("AuthorizeSecurityGroupIngress")
      .reply({{"Return", true}})
      .fail("RulesPerSecurityGroupLimitExceeded", "The maximum number of rules per security group has been reached.");
  EXPECT_EQ(createSG(ec2, "vpc-1", args), "sg-old");
  EXPECT_EQ(countLogged("info   **Alert** SG quenfold-test-ec2-sg sg-old holds 50 SSH rules of this tool, one per "
                        "address it was deployed from (AWS's default limit is 60 rules per group); a revert removes "
                        "them"),
            1);
  EXPECT_THROW(createSG(ec2, "vpc-1", args), core::ExitRequest);
  EXPECT_TRUE(
      logged("error   **Error** SG quenfold-test-ec2-sg sg-old has no room for the SSH rule of 203.0.113.7/32: "
             "it holds as many rules as its limit allows (AWS's default is 60 inbound rules per group); "
             "revert to remove the tool's old SSH rules, or ask AWS for a higher limit"));
  EXPECT_EQ(exitStatus(), 0) << "nothing recorded before the run ended";
}

TEST_F(Network, PrivateInterfaceGroupHasNoRule) {
  ec2.on("DescribeSecurityGroups").reply({{"SecurityGroups", json::array()}});
  ec2.on("CreateSecurityGroup").reply({{"GroupId", "sg-p"}});
  EXPECT_EQ(createPrivateInfSG(ec2, "vpc-1", args), "sg-p");
  EXPECT_EQ(ec2.count("AuthorizeSecurityGroupIngress"), 0u);
  EXPECT_EQ(echoCalls, 0);
}

TEST_F(Network, DeleteSgSkipsInDryRunAndRecordsAFailedDeletion) {
  args.dry_run = true;
  deleteSG(ec2, "sg-1", args);
  EXPECT_EQ(ec2.count("DeleteSecurityGroup"), 0u);
  args.dry_run = false;
  ec2.on("DeleteSecurityGroup").fail("DependencyViolation", "in use");
  deleteSG(ec2, "sg-1", args);
  EXPECT_EQ(exitStatus(), 1);
}

TEST_F(Network, Ipv4Checks) {
  EXPECT_TRUE(isIpv4Address("203.0.113.7"));
  for (auto bad : {"", "203.0.113", "203.0.113.7/32", "2001:db8::1", "1.2.3.4 ", "<html>", "256.1.1.1"})
    EXPECT_FALSE(isIpv4Address(bad)) << bad;
  EXPECT_TRUE(ipv4InNetwork("10.20.1.9", "10.20.1.0/24"));
  EXPECT_FALSE(ipv4InNetwork("10.20.2.9", "10.20.1.0/24"));
  EXPECT_TRUE(ipv4InNetwork("10.20.1.9", "10.20.1.9"));
  EXPECT_THROW(ipv4InNetwork("10.20.1.9", "10.20.1.5/24"), std::invalid_argument);
  EXPECT_THROW(ipv4InNetwork("10.20.1.9", "10.20.1.0/33"), std::invalid_argument);
  EXPECT_THROW(ipv4InNetwork("10.20.1.9", "ten/8"), std::invalid_argument);
}

TEST_F(Network, SecondInterfaceIsCreatedTaggedAndAttachedAsDeviceOne) {
  args.tag_resource = "Owner,qa";
  ec2.on("CreateNetworkInterface").reply({{"NetworkInterface", {{"NetworkInterfaceId", "eni-2"}}}});
  ec2.on("AttachNetworkInterface").reply({{"AttachmentId", "eni-attach-2"}, {"NetworkCardIndex", 0}});
  createNetworkfInterface(ec2, "i-1", "subnet-p", std::string("sg-p"), args);
  EXPECT_EQ(ec2.calls("CreateNetworkInterface").at(0),
            json::parse(R"({"Description":"Quenfold test ec2","Groups":["sg-p"],"SubnetId":"subnet-p",
      "TagSpecifications":[{"ResourceType":"network-interface","Tags":[{"Key":"Name",
      "Value":"quenfold-test-ec2-network-interface"},{"Key":"Owner","Value":"qa"}]}]})"));
  EXPECT_EQ(ec2.calls("AttachNetworkInterface").at(0),
            json::parse(R"({"DeviceIndex":1,"InstanceId":"i-1","NetworkInterfaceId":"eni-2"})"));
  EXPECT_TRUE(logged("info - Create network interface in subnet-p with sg-p"));
  EXPECT_TRUE(logged("info - Attach network interface to i-1"));

  FakeAwsClient failing;
  failing.on("CreateNetworkInterface").fail("InvalidSubnetID.NotFound", "no");
  EXPECT_THROW(createNetworkfInterface(failing, "i-1", "subnet-p", std::string("sg-p"), args), core::ExitRequest);
  EXPECT_TRUE(logged("info   **Error** Failed to create natwork interface"));
}

TEST_F(Network, PrivateAddressShowsUpOnTheThirdAttempt) {
  json cfg = {{"private_subnet_cidr", "10.20.1.0/24"}};
  json early = reservations({instance("i-1", {nic("eni-1", "subnet-g", "10.20.0.5")})});
  json late =
      reservations({instance("i-1", {nic("eni-1", "subnet-g", "10.20.0.5"), nic("eni-2", "subnet-p", "10.20.1.44")})});
  ec2.on("DescribeInstances").reply(early).reply(early).reply(late);
  lookupInf2PrivateIp(ec2, "i-1", cfg);
  EXPECT_EQ(cfg["ec2_2nd_private_ip"], "10.20.1.44");
  EXPECT_EQ(clock_.sleeps(), (std::vector<std::chrono::milliseconds>{2s, 2s}));
  EXPECT_EQ(countLogged("info   waiting for secondary interface private IP after attaching ..."), 2);
  EXPECT_TRUE(logged("info   private subnet IP: 10.20.1.44"));
}

TEST_F(Network, PrivateAddressGivesUpAfterSixAttemptsAndBadRangesAreNotRetried) {
  json cfg = {{"private_subnet_cidr", "10.20.1.0/24"}};
  ec2.on("DescribeInstances").reply(reservations({instance("i-1", {nic("eni-1", "subnet-g", "10.20.0.5")})}));
  EXPECT_THROW(lookupInf2PrivateIp(ec2, "i-1", cfg), core::ValueNotFoundException);
  EXPECT_EQ(ec2.count("DescribeInstances"), 6u);
  EXPECT_EQ(clock_.total_slept(), 10s);
  EXPECT_FALSE(cfg.contains("ec2_2nd_private_ip"));

  json bad = {{"private_subnet_cidr", "10.20.1.5/24"}};
  FakeAwsClient once;
  once.on("DescribeInstances").reply(reservations({instance("i-1", {})}));
  EXPECT_THROW(lookupInf2PrivateIp(once, "i-1", bad), std::invalid_argument);
  EXPECT_EQ(once.count("DescribeInstances"), 1u);
}

TEST_F(Network, DeleteAttachmentWaitsForTheDetachAndIsBounded) {
  deleteAttachment(ec2, std::nullopt, "", "subnet-g", args);
  EXPECT_TRUE(logged("info - No attachment found"));
  EXPECT_TRUE(ec2.all_calls().empty());

  auto eni = [](const char* status) {
    return json{
        {"NetworkInterfaces", json::array({{{"NetworkInterfaceId", "eni-2"},
                                            {"Attachment", {{"AttachmentId", "att-2"}, {"Status", status}}}}})}};
  };
  ec2.on("DescribeNetworkInterfaces").reply(eni("attached")).reply(eni("detaching")).reply(eni("detached"));
  ec2.on("DetachNetworkInterface").reply(json::object());
  deleteAttachment(ec2, std::string("att-2"), "eni-2", "subnet-g", args);
  EXPECT_EQ(ec2.calls("DetachNetworkInterface").at(0), json::parse(R"({"AttachmentId":"att-2"})"));
  EXPECT_EQ(ec2.calls("DescribeNetworkInterfaces").at(0), json::parse(R"({"NetworkInterfaceIds":["eni-2"]})"));
  EXPECT_EQ(clock_.sleeps(), (std::vector<std::chrono::milliseconds>{2s, 2s}));
  EXPECT_EQ(exitStatus(), 0);

  FakeAwsClient stuck;
  stuck.on("DetachNetworkInterface").fail("IncorrectState", "busy");
  stuck.on("DescribeNetworkInterfaces").reply(eni("attached"));
  deleteAttachment(stuck, std::string("att-2"), "eni-2", "subnet-g", args);
  EXPECT_TRUE(logged("error   **Error** Failed to detach natwork interface"));
  EXPECT_GE(clock_.total_slept(), 5min);
  EXPECT_LE(clock_.total_slept(), 5min + 10s);
  EXPECT_EQ(exitStatus(), 1);
}

TEST_F(Network, DryRunDeletesNothing) {
  args.dry_run = true;
  deleteAttachment(ec2, std::string("att-2"), "eni-2", "subnet-g", args);
  deleteNetworkInterface(ec2, std::string("eni-2"), args);
  deleteNetworkInterface(ec2, std::nullopt, args);
  EXPECT_TRUE(ec2.all_calls().empty());
  EXPECT_TRUE(logged("info - Delete network interface attachment att-2 in subnet-g"));
  EXPECT_TRUE(logged("info - Delete natwork interface eni-2"));
  EXPECT_EQ(logs().size(), 2u);
}

TEST_F(Network, LookupsOfSubnetsAndLeftoverInterfaces) {
  ec2.on("DescribeSubnets")
      .reply({{"Subnets", json::array({{{"VpcId", "vpc-9"}}})}})
      .reply({{"Subnets", json::array()}});
  EXPECT_EQ(getVpcId(ec2, "subnet-1"), "vpc-9");
  EXPECT_THROW(getVpcId(ec2, "subnet-x"), core::ExitRequest);
  EXPECT_TRUE(logged("info   **Error** cannot find subnet subnet-x"));

  ec2.on("DescribeNetworkInterfaces")
      .reply({{"NetworkInterfaces", json::array({{{"NetworkInterfaceId", "eni-7"}}})}})
      .fail("InternalError", "boom");
  EXPECT_EQ(getNetworkInterfaces(ec2, "vpc-9").size(), 1u);
  EXPECT_EQ(ec2.calls("DescribeNetworkInterfaces")[0]["Filters"][2],
            json::parse(R"({"Name":"status","Values":["available"]})"));
  EXPECT_EQ(exitStatus(), 0);
  EXPECT_TRUE(getNetworkInterfaces(ec2, "vpc-9").empty());
  EXPECT_EQ(exitStatus(), 1) << "a failed listing is not an empty one";
}

TEST_F(Network, WhatIsAlreadyGoneIsNotAFailure) {
  ec2.on("DetachNetworkInterface").fail("InvalidAttachmentID.NotFound", "gone");
  ec2.on("DeleteNetworkInterface").fail("InvalidNetworkInterfaceID.NotFound", "gone");
  ec2.on("DeleteSecurityGroup").fail("InvalidGroup.NotFound", "gone").fail("DependencyViolation", "in use");
  deleteAttachment(ec2, std::string("att-2"), "eni-2", "subnet-g", args);
  deleteNetworkInterface(ec2, std::string("eni-2"), args);
  deleteSG(ec2, "sg-1", args);
  EXPECT_EQ(exitStatus(), 0);
  ::testing::internal::CaptureStderr();
  deleteSG(ec2, "sg-1", args);
  ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(
      logged("error   **Error** Failed to delete SG sg-1: An error occurred (DependencyViolation) when calling "
             "the DeleteSecurityGroup operation: in use"));
  EXPECT_EQ(exitStatus(), 1);
}

TEST_F(Network, ElasticIps) {
  args.tag_resource = "Owner,qa";
  ec2.on("AllocateAddress").reply({{"AllocationId", "eipalloc-1"}, {"PublicIp", "198.51.100.4"}}).reply(json::object());
  ec2.on("AssociateAddress").reply({{"AssociationId", "eipassoc-1"}});
  associateEIP(ec2, "eni-1", "vpc-9", args);
  EXPECT_EQ(ec2.calls("AllocateAddress")[0],
            json::parse(R"({"Domain":"vpc","TagSpecifications":[{"ResourceType":"elastic-ip","Tags":[
      {"Key":"Name","Value":"quenfold-test-ec2-eip"},{"Key":"Owner","Value":"qa"},
      {"Key":"quenfold-test-ec2-vpc","Value":"vpc-9"}]}]})"));
  EXPECT_EQ(ec2.calls("AssociateAddress")[0],
            json::parse(R"({"AllocationId":"eipalloc-1","NetworkInterfaceId":"eni-1"})"));
  EXPECT_TRUE(logged("info   allocated EIP 198.51.100.4 eipalloc-1"));
  associateEIP(ec2, "eni-1", "vpc-9", args);
  EXPECT_TRUE(logged("info   **Error** fail to allocate EIP"));
  EXPECT_EQ(ec2.count("AssociateAddress"), 1u);

  ec2.on("DescribeAddresses")
      .reply({{"Addresses", json::array({{{"AllocationId", "eipalloc-1"}}})}})
      .reply({{"Addresses", json::array()}});
  EXPECT_EQ(getEipAllocationId(ec2, "i-1", "198.51.100.4"), "eipalloc-1");
  EXPECT_EQ(ec2.calls("DescribeAddresses")[0],
            json::parse(R"({"Filters":[{"Name":"instance-id","Values":["i-1"]}],"PublicIps":["198.51.100.4"]})"));
  EXPECT_FALSE(getEipAllocationId(ec2, "i-1", "198.51.100.4"));

  args.dry_run = true;
  releaseEIP(ec2, "198.51.100.4", "eipalloc-1", "i-1", args);
  EXPECT_TRUE(logged("info - Delete EIP 198.51.100.4 eipalloc-1 for i-1"));
  EXPECT_EQ(ec2.count("ReleaseAddress"), 0u);
}

TEST_F(Network, UnassociatedElasticIpsOfTheVpcAreReleased) {
  ec2.on("DescribeAddresses")
      .reply({{"Addresses", json::array({{{"AllocationId", "eipalloc-1"}, {"PublicIp", "198.51.100.4"}},
                                         {{"AllocationId", "eipalloc-2"}, {"AssociationId", "eipassoc-2"}},
                                         {{"AllocationId", "eipalloc-3"}, {"PublicIp", "198.51.100.6"}}})}})
      .fail("InternalError", "boom", 500);
  ec2.on("ReleaseAddress").fail("InvalidAllocationID.NotFound", "released by another run").reply(json::object());
  releaseUnassociatedEIPs(ec2, "vpc-9", args);
  EXPECT_EQ(ec2.calls("DescribeAddresses")[0], json::parse(R"({"Filters":[{"Name":"tag:Name","Values":
      ["quenfold-test-ec2-eip"]},{"Name":"tag:quenfold-test-ec2-vpc","Values":["vpc-9"]}]})"));
  EXPECT_EQ(ec2.calls("ReleaseAddress"),
            (std::vector<json>{json{{"AllocationId", "eipalloc-1"}}, json{{"AllocationId", "eipalloc-3"}}}));
  EXPECT_TRUE(logged("info - Delete unassociated EIP 198.51.100.6 eipalloc-3 in vpc-9"));
  EXPECT_EQ(exitStatus(), 0);
  releaseUnassociatedEIPs(ec2, "vpc-9", args);
  EXPECT_EQ(exitStatus(), 1) << "a failed lookup is not \"none left\"";
}
