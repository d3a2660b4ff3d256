// The preflight's lookups and AWS's own authorization checks: a few calls at any number of
// entries. A lookup that is refused or fails leaves its fact unknown with one info line: the
// preflight judges what it could see, and the run meets the rest as before.
#include <algorithm>

#include "awsapi/base/error.h"
#include "core/raised.h"
#include "deploy_test_ec2/common/names.h"
#include "deploy_test_ec2/deploy/preflight.h"
#include "deploy_test_ec2/iam/iam.h"
#include "deploy_test_ec2/keypair/keypair.h"
#include "deploy_test_ec2/network/network.h"
#include "lib/aws.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

namespace {
json filter(const char* name, json values) { return json{{"Name", name}, {"Values", std::move(values)}}; }

void readVcpus(const AwsClient& ec2_client, PreflightFacts& facts) {
  try {
    const json info = lib::instanceTypeInfo(ec2_client, facts.instance_type);
    if (info.is_object() && info.contains("VCpuInfo"))
      facts.vcpus_per_instance = info["VCpuInfo"].value("DefaultVCpus", 0);
  } catch (const awsapi::ClientError& e) {
    logUnknown("The vCPUs of " + facts.instance_type, e);
  }
}

void readOfferings(const AwsClient& ec2_client, PreflightFacts& facts) {
  try {
    const json offers = allPages(ec2_client, "DescribeInstanceTypeOfferings",
                                 {{"LocationType", "availability-zone"},
                                  {"Filters", json::array({filter("instance-type", {facts.instance_type})})}},
                                 "InstanceTypeOfferings");
    std::set<std::string> zones;
    for (const auto& o : offers) zones.insert(o.value("Location", ""));
    // No zone listed at all says more about the listing than about the type: judged by the launch.
    if (zones.empty()) {
      lib::logger()->info("  No zone offering " + facts.instance_type + " is listed; the zones are not checked");
      return;
    }
    facts.offered_zones = std::move(zones);
  } catch (const awsapi::ClientError& e) {
    logUnknown("The zones offering " + facts.instance_type, e);
  }
}

// vCPUs of the region's pending and running On-Demand instances that count against `code`.
long vcpusInUse(const AwsClient& ec2_client, const std::string& code, const PreflightFacts& facts) {
  const json reservations =
      allPages(ec2_client, "DescribeInstances",
               {{"Filters", json::array({filter("instance-state-name", {"pending", "running"})})}}, "Reservations");
  long used = 0;
  for (const auto& r : reservations) {
    for (const auto& i : r.value("Instances", json::array())) {
      if (i.value("InstanceLifecycle", "") == "spot") continue;  // Spot instances have quotas of their own
      const std::string type = i.value("InstanceType", "");
      const auto quota = vcpuQuotaOf(type);
      if (!quota || quota->first != code) continue;
      const json cpu = i.value("CpuOptions", json::object());
      if (cpu.contains("CoreCount")) {
        used += cpu.value("CoreCount", 0L) * cpu.value("ThreadsPerCore", 1L);
      } else if (type == facts.instance_type && facts.vcpus_per_instance) {
        used += *facts.vcpus_per_instance;
      }
    }
  }
  return used;
}

void readVcpuQuota(const AwsClient& ec2_client, const AwsClient* quotas, PreflightFacts& facts) {
  auto log = lib::logger();
  const auto quota = vcpuQuotaOf(facts.instance_type);
  if (!quota) {
    log->info("  No known vCPU quota for instance type " + facts.instance_type + "; not checked");
    return;
  }
  if (!quotas || !facts.vcpus_per_instance) return;
  VcpuQuota q{quota->first, quota->second};
  const json request = {{"ServiceCode", "ec2"}, {"QuotaCode", q.code}};
  try {
    json answer;
    try {
      answer = quotas->get_service_quota(request);
    } catch (const awsapi::ClientError& e) {
      // No value applied to the account: AWS's default holds.
      if (e.code() != "NoSuchResourceException") throw;
      answer = quotas->get_aws_default_service_quota(request);
    }
    const json value = answer.value("Quota", json::object()).value("Value", json());
    if (!value.is_number()) return;
    q.value = value.get<double>();
    q.name = answer["Quota"].value("QuotaName", q.name);
    q.in_use = vcpusInUse(ec2_client, q.code, facts);
    facts.vcpu_quota = q;
  } catch (const awsapi::ClientError& e) {
    logUnknown("The vCPU quota " + q.code, e);
  }
}

void readRouteTables(const AwsClient& ec2_client, PreflightFacts& facts);

void readReachability(const AwsClient& ec2_client, PreflightFacts& facts) {
  try {
    const json gateways =
        allPages(ec2_client, "DescribeInternetGateways",
                 {{"Filters", json::array({filter("attachment.vpc-id", {facts.vpc_id})})}}, "InternetGateways");
    bool attached = false;
    for (const auto& g : gateways) {
      for (const auto& a : g.value("Attachments", json::array())) {
        const std::string state = a.value("State", "");
        if (a.value("VpcId", "") == facts.vpc_id && (state == "available" || state == "attached")) attached = true;
      }
    }
    facts.internet_gateway = attached;
  } catch (const awsapi::ClientError& e) {
    logUnknown("The internet gateway of " + facts.vpc_id, e);
    return;
  }
  readRouteTables(ec2_client, facts);
}

// Whether each subnet's route table (its own, else the VPC's main one) routes to an internet gateway.
void readRouteTables(const AwsClient& ec2_client, PreflightFacts& facts) {
  try {
    const json tables = allPages(ec2_client, "DescribeRouteTables",
                                 {{"Filters", json::array({vpcFilter(facts.vpc_id)})}}, "RouteTables");
    std::map<std::string, bool> tableRoutes;  // table -> has an active route to an internet gateway
    std::map<std::string, std::string> tableOf;
    std::string mainTable;
    for (const auto& t : tables) {
      const std::string id = t.value("RouteTableId", "");
      bool routes = false;
      for (const auto& r : t.value("Routes", json::array())) {
        if (r.value("GatewayId", "").rfind("igw-", 0) == 0 && r.value("State", "active") == "active") routes = true;
      }
      tableRoutes[id] = routes;
      for (const auto& a : t.value("Associations", json::array())) {
        if (a.value("Main", false)) mainTable = id;
        if (a.contains("SubnetId")) tableOf[a.value("SubnetId", "")] = id;
      }
    }
    for (auto& [subnet, sn] : facts.subnets) {
      const auto it = tableOf.find(subnet);
      const std::string table = it != tableOf.end() ? it->second : mainTable;
      if (!table.empty()) sn.routes_to_igw = tableRoutes[table];
    }
  } catch (const awsapi::ClientError& e) {
    logUnknown("The route tables of " + facts.vpc_id, e);
  }
}

// The shared resources that are not there yet: the groups, the key pair, the IAM objects.
struct Existing {
  std::optional<std::string> sg;
  std::optional<std::string> private_sg;
  std::optional<std::string> key;
};

void readIamObjects(const AwsClient& iam_client, PreflightFacts& facts);

Existing readSharedResources(const AwsClient& ec2_client, const AwsClient& iam_client, PreflightFacts& facts,
                             const Args& args) {
  Existing found;
  for (const auto& g : findToolGroups(ec2_client, facts.vpc_id)) {
    if (g.value("GroupName", "") == kSgName) found.sg = g.value("GroupId", "");
    if (g.value("GroupName", "") == kPrivateSgName) found.private_sg = g.value("GroupId", "");
  }
  if (!found.sg) facts.groups_to_create.emplace_back(kSgName);
  if (!found.private_sg) facts.groups_to_create.emplace_back(kPrivateSgName);
  if (given(args.key_name)) {
    found.key = *args.key_name;
  } else {
    const std::string keyname = kKeyPairPrefix + facts.vpc_id;
    const json keys = ec2_client.describe_key_pairs({{"Filters", json::array({filter("key-name", {keyname})})}});
    if (keys.value("KeyPairs", json::array()).empty()) {
      facts.key_pair_to_create = keyname;
    } else {
      found.key = keyname;
    }
  }
  if (args.ec2_role && *args.ec2_role == "default") readIamObjects(iam_client, facts);
  return found;
}

// With --ec2_role default: which of the policy, role and instance profile a run would create.
void readIamObjects(const AwsClient& iam_client, PreflightFacts& facts) {
  try {
    const bool policy = !findPolicyArns(iam_client).empty();
    // A profile that holds the role shows the role exists: one call fewer on every later run.
    bool profile = true;
    bool role = false;
    try {
      const json found = iam_client.get_instance_profile({{"InstanceProfileName", kInstanceProfileName}});
      for (const auto& r : found.value("InstanceProfile", json::object()).value("Roles", json::array()))
        role = role || r.value("RoleName", "") == kRoleName;
    } catch (const awsapi::ClientError& e) {
      if (e.code() != "NoSuchEntity") throw;
      profile = false;
    }
    try {
      if (!role) iam_client.get_role({{"RoleName", kRoleName}});
      role = true;
    } catch (const awsapi::ClientError& e) {
      if (e.code() != "NoSuchEntity") throw;
    }
    if (!policy) facts.iam_to_create.push_back(std::string("policy ") + kPolicyName);
    if (!role) facts.iam_to_create.push_back(std::string("role ") + kRoleName);
    if (!profile) facts.iam_to_create.push_back(std::string("instance profile ") + kInstanceProfileName);
  } catch (const awsapi::ClientError& e) {
    logUnknown("The IAM objects of --ec2_role default", e);
  }
}

// One EC2 call as a dry run, its outcome kept when AWS could answer.
void dryRun(const AwsClient& ec2_client, const AwsClient* sts, const std::string& operation, json request,
            PreflightFacts& facts) {
  if (auto check = dryRunCheck(ec2_client, sts, operation, std::move(request))) facts.permissions.push_back(*check);
}

// The IAM actions the run needs, asked of the policy simulator for the caller (for an assumed
// role, the role itself). IAM has no dry run.
void simulateIam(const AwsClient& iam_client, const AwsClient* sts, PreflightFacts& facts) {
  if (facts.iam_to_create.empty() || !sts) return;
  std::vector<std::string> actions;
  for (const auto& what : facts.iam_to_create) {
    if (what.rfind("policy", 0) == 0) actions.insert(actions.end(), {"iam:CreatePolicy", "iam:TagPolicy"});
    if (what.rfind("role", 0) == 0)
      actions.insert(actions.end(), {"iam:CreateRole", "iam:TagRole", "iam:AttachRolePolicy"});
    if (what.rfind("instance profile", 0) == 0)
      actions.insert(actions.end(),
                     {"iam:CreateInstanceProfile", "iam:TagInstanceProfile", "iam:AddRoleToInstanceProfile"});
  }
  actions.emplace_back("iam:PassRole");
  for (auto& refused : simulateIamActions(iam_client, sts, actions)) facts.permissions.push_back(std::move(refused));
}
}  // namespace

void gatherPreflightFacts(const AwsClient& ec2_client, const AwsClient& iam_client, const PreflightClients& clients,
                          const std::optional<json>& launch_request, PreflightFacts& facts, const Args& args) {
  core::Step step;
  const bool launches = std::any_of(facts.entries.begin(), facts.entries.end(),
                                    [](const PreflightEntry& e) { return e.action == EntryAction::Launch; });
  const bool adds = launches || std::any_of(facts.entries.begin(), facts.entries.end(),
                                            [](const PreflightEntry& e) { return e.action == EntryAction::Start; });
  facts.vcpus_per_instance = clients.vcpus_per_instance;
  if (!facts.vcpus_per_instance) readVcpus(ec2_client, facts);
  if (launches) readOfferings(ec2_client, facts);
  if (adds) readVcpuQuota(ec2_client, clients.quotas, facts);
  readReachability(ec2_client, facts);
  const Existing found = readSharedResources(ec2_client, iam_client, facts, args);

  if (launch_request) {
    json request = *launch_request;
    // What is not made yet is left out of the request; everything else is as the run will send it.
    auto& nic = request["NetworkInterfaces"][0];
    if (found.sg) {
      nic["Groups"] = json::array({*found.sg});
    } else {
      nic.erase("Groups");
    }
    if (found.key) {
      request["KeyName"] = *found.key;
    } else {
      request.erase("KeyName");
    }
    if (!facts.iam_to_create.empty()) request.erase("IamInstanceProfile");
    dryRun(ec2_client, clients.sts, "RunInstances", request, facts);
  }
  const auto second = std::find_if(facts.entries.begin(), facts.entries.end(),
                                   [](const PreflightEntry& e) { return e.needs_interface; });
  if (second != facts.entries.end())
    dryRun(ec2_client, clients.sts, "CreateNetworkInterface",
           networkInterfaceRequest(second->private_subnet, found.private_sg, args), facts);
  if (args.eip && std::any_of(facts.entries.begin(), facts.entries.end(),
                              [](const PreflightEntry& e) { return e.needs_address; })) {
    dryRun(ec2_client, clients.sts, "AllocateAddress", allocateAddressRequest(facts.vpc_id, args), facts);
  }
  if (!facts.groups_to_create.empty())
    dryRun(ec2_client, clients.sts, "CreateSecurityGroup",
           securityGroupRequest(facts.groups_to_create.front(), facts.vpc_id, args), facts);
  if (facts.key_pair_to_create)
    dryRun(ec2_client, clients.sts, "CreateKeyPair", keyPairRequest(*facts.key_pair_to_create, args), facts);
  simulateIam(iam_client, clients.sts, facts);
}

}  // namespace quenfold_testlibs
