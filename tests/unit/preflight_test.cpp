// The preflight's judgement on data: the vCPU and address arithmetic, zones, reachability.
#include <gtest/gtest.h>

#include "deploy_test_ec2/deploy/preflight.h"

namespace quenfold_testlibs {
namespace {

PreflightEntry entry(size_t i, std::string gw, std::string priv, EntryAction action = EntryAction::Launch) {
  PreflightEntry e;
  e.index = i;
  e.gw_subnet = std::move(gw);
  e.private_subnet = std::move(priv);
  e.action = action;
  e.needs_interface = action == EntryAction::Launch;
  if (action != EntryAction::Launch) e.instance_id = "i-" + std::to_string(i);
  return e;
}

PreflightFacts topology() {
  PreflightFacts f;
  f.vpc_id = "vpc-1";
  f.region = "us-east-1";
  f.instance_type = "t3.micro";
  f.vcpus_per_instance = 2;
  for (const char* s : {"gw-a", "gw-b", "priv-a", "priv-b"}) f.subnets[s] = SubnetFacts{"us-east-1a", 100, "off", true};
  f.subnets["gw-b"].zone = "us-east-1b";
  f.subnets["priv-b"].zone = "us-east-1b";
  return f;
}

TEST(Preflight, VcpusCountLaunchesAndStartsAgainstWhatTheQuotaLeaves) {
  PreflightFacts f = topology();
  f.entries = {entry(0, "gw-a", "priv-a"), entry(1, "gw-b", "priv-b", EntryAction::Start),
               entry(2, "gw-a", "priv-a", EntryAction::Reuse)};
  f.vcpu_quota = VcpuQuota{"L-1216C47A", "Running On-Demand Standard", 5, 2};
  // One launch and one start: 4 vCPUs, 3 left.
  PreflightVerdict v = judgePreflight(f);
  EXPECT_EQ(v.vcpus_needed, 4);
  ASSERT_EQ(v.run_problems.size(), 1u);
  EXPECT_NE(v.run_problems[0].find("4 vCPUs are needed (2 t3.micro) and us-east-1 has 3 left"), std::string::npos)
      << v.run_problems[0];
  // Exactly what is left is enough.
  f.vcpu_quota->in_use = 1;
  EXPECT_TRUE(judgePreflight(f).run_problems.empty());
  // Unknown quota: nothing judged.
  f.vcpu_quota.reset();
  EXPECT_TRUE(judgePreflight(f).run_problems.empty());
}

TEST(Preflight, FreeAddressesAreCountedAcrossEntriesSharingASubnet) {
  PreflightFacts f = topology();
  // Two launches into gw-a, their interfaces both in priv-a: gw-a needs 2, priv-a needs 2.
  f.entries = {entry(0, "gw-a", "priv-a"), entry(1, "gw-a", "priv-a"), entry(2, "gw-b", "priv-b")};
  f.subnets["priv-a"].free_addresses = 1;
  f.subnets["gw-b"].free_addresses = 1;  // exactly enough
  PreflightVerdict v = judgePreflight(f);
  ASSERT_EQ(v.entry_problems.size(), 1u);
  EXPECT_EQ(v.entry_problems.count(1), 1u);  // the first fits, the second does not
  EXPECT_EQ(v.entry_problems[1], "priv-a has 1 free addresses and the entries using it need 2");
  EXPECT_EQ(v.launches, 2);
  EXPECT_EQ(v.interfaces, 2);
  // A reused instance with its interface needs no address at all.
  f.entries[1] = entry(1, "gw-a", "priv-a", EntryAction::Reuse);
  EXPECT_TRUE(judgePreflight(f).entry_problems.empty());
}

TEST(Preflight, ZonesBlockPublicAccessAndRoutesFailEntriesOrAlert) {
  PreflightFacts f = topology();
  f.entries = {entry(0, "gw-a", "priv-a"), entry(1, "gw-b", "priv-b"),
               entry(2, "gw-outside", "priv-x")};  // a subnet outside the VPC is not judged
  f.offered_zones = std::set<std::string>{"us-east-1a", "us-east-1c"};
  f.subnets["gw-a"].block_mode = "block-ingress";
  f.subnets["gw-b"].routes_to_igw = false;
  PreflightVerdict v = judgePreflight(f);
  EXPECT_EQ(v.entry_problems[0],
            "gw-a: VPC Block Public Access is block-ingress for this subnet; the instance's public address could not "
            "be reached");
  EXPECT_EQ(v.entry_problems[1],
            "gw-b: instance type t3.micro is not offered in us-east-1b; zones that offer it: us-east-1a, us-east-1c");
  EXPECT_EQ(v.entry_problems.count(2), 0u);
  EXPECT_TRUE(v.alerts.empty());  // the entry with the unrouted subnet fails anyway
  f.offered_zones.reset();
  v = judgePreflight(f);
  ASSERT_EQ(v.alerts.size(), 1u);
  EXPECT_EQ(v.alerts[0].rfind("gw-b has no route to an internet gateway", 0), 0u);
  f.internet_gateway = false;
  EXPECT_EQ(judgePreflight(f).run_problems.at(0),
            "vpc-1 has no internet gateway attached: no public address in it can be reached");
}

TEST(Preflight, QuotaFamiliesDenialsAndThePlan) {
  EXPECT_EQ(vcpuQuotaOf("t3.micro")->first, "L-1216C47A");
  EXPECT_EQ(vcpuQuotaOf("im4gn.large")->first, "L-1216C47A");
  EXPECT_EQ(vcpuQuotaOf("g5.xlarge")->first, "L-DB2E81BA");
  EXPECT_EQ(vcpuQuotaOf("inf2.xlarge")->first, "L-1945791B");
  EXPECT_FALSE(vcpuQuotaOf("u-6tb1.metal"));

  const std::string blob(2000, 'Q');
  const std::string msg =
      "You are not authorized to perform this operation. Encoded authorization failure message: " + blob;
  EXPECT_EQ(encodedBlobOf(msg), blob);
  EXPECT_EQ(withoutEncodedBlob(msg),
            "You are not authorized to perform this operation. Encoded authorization failure message: QQQQQQQQQQQQ... "
            "(2000 characters)");
  // The first refusal of a run is explained; one already cut for a log line decodes to nothing.
  int explained = 0;
  lib::setDenialExplainer([&](const std::string& b) { explained += b == blob ? 1 : 100; });
  lib::explainFirstDenial(withoutEncodedBlob(msg));
  lib::explainFirstDenial(msg);
  lib::explainFirstDenial(msg);
  lib::setDenialExplainer(nullptr);
  EXPECT_EQ(explained, 1);
  EXPECT_EQ(
      explainDecodedMessage(
          R"({"allowed":false,"explicitDeny":true,"matchedStatements":{"items":[{"source":{"policyType":"SCP"}}]},)"
          R"("context":{"action":"ec2:RunInstances","resource":"arn:aws:ec2:us-east-1:1:instance/*"}})"),
      "action ec2:RunInstances on arn:aws:ec2:us-east-1:1:instance/*: explicit deny (SCP)");

  PreflightFacts f = topology();
  f.entries = {entry(0, "gw-a", "priv-a"), entry(1, "gw-b", "priv-b", EntryAction::Start)};
  f.permissions = {{"ec2:CreateNetworkInterface", PermissionCheck::Outcome::Denied, "denied"}};
  f.groups_to_create = {"sg-name"};
  f.iam_to_create = {"role r"};
  const PreflightVerdict v = judgePreflight(f);
  EXPECT_EQ(v.run_problems.at(0), "ec2:CreateNetworkInterface is not allowed: denied");
  const auto lines = planLines(f, v, {{0, "spoke0"}});
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "- Plan: spoke0: launch in gw-a");
  EXPECT_EQ(lines[1], "- Plan: gw-b: start i-1");
  EXPECT_EQ(lines[2],
            "- Plan: 1 instances to launch and 1 to start (4 vCPUs), 0 Elastic IPs, 1 network interfaces; to create: "
            "group sg-name, role r");
}

}  // namespace
}  // namespace quenfold_testlibs
