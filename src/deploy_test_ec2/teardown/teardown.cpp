#include "deploy_test_ec2/teardown/teardown.h"

#include <algorithm>
#include <set>

#include "awsapi/base/error.h"
#include "core/app_exit_status.h"
#include "core/entry_outcomes.h"
#include "core/exit_request.h"
#include "core/raised.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/common/workers.h"
#include "deploy_test_ec2/keypair/keypair.h"
#include "deploy_test_ec2/lookup/lookup.h"
#include "deploy_test_ec2/network/network.h"
#include "deploy_test_ec2/permissions/permissions.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;

std::optional<std::vector<std::string>> getAllEc2InVpc(const AwsClient& ec2_client, const std::string& vpc_id,
                                                       bool* lookup_failed) {
  try {
    const json reservations = allPages(
        ec2_client, "DescribeInstances",
        {{"Filters", json::array({json{{"Name", "tag:Name"}, {"Values", {kInstanceName}}}, vpcFilter(vpc_id),
                                  json{{"Name", "instance-state-name"},
                                       {"Values", {"pending", "running", "shutting-down", "stopped", "stopping"}}}})}},
        "Reservations");
    if (reservations.empty()) return std::nullopt;
    if (reservations.size() > 1) {
      lib::logger()->info(std::string("  **Alert** More than one ec2 with tag Name:") + kInstanceName + " found in " +
                          vpc_id);
    }
    std::vector<std::string> ids;
    for (const auto& r : reservations) {
      for (const auto& i : r.value("Instances", json::array())) ids.push_back(i.at("InstanceId").get<std::string>());
    }
    return ids;
  } catch (const std::exception& e) {
    lib::reportError(e);
    if (lookup_failed) *lookup_failed = true;
    return std::nullopt;
  }
}

namespace {
// The allocation id of the instance's Elastic IP, absent when its public address is none (EC2 then
// answers InvalidAddress.NotFound, or nothing): there is no address to release, and the instance is
// still terminated. Any other lookup error propagates before anything is changed.
std::optional<std::string> elasticIpOf(const AwsClient& ec2_client, const FoundEc2& ec2, const Args& args) {
  if (!ec2.public_ip || !args.eip) return std::nullopt;
  auto allocationId = getEipAllocationId(ec2_client, ec2.id, *ec2.public_ip);
  if (!allocationId) lib::logger()->info("  " + *ec2.public_ip + " of " + ec2.id + " is no EIP: nothing to release");
  return allocationId;
}

// Detaches and deletes the instance's interface in the private subnet (the calls log "- No
// attachment found" when it has none). A shutting-down instance keeps its interfaces: they go
// with it.
void deleteSecondInterface(const AwsClient& ec2_client, const FoundEc2& ec2, const std::string& subnet_id,
                           const Args& args) {
  std::optional<std::string> interfaceId, attachmentId;
  if (ec2.other_interface && isLive(ec2.state)) {
    const json& second = *ec2.other_interface;
    if (second.contains("NetworkInterfaceId")) interfaceId = second["NetworkInterfaceId"].get<std::string>();
    if (interfaceId && second.contains("Attachment") && second["Attachment"].contains("AttachmentId")) {
      attachmentId = second["Attachment"]["AttachmentId"].get<std::string>();
    }
  }
  deleteAttachment(ec2_client, attachmentId, interfaceId.value_or(""), subnet_id, args);
  deleteNetworkInterface(ec2_client, interfaceId, args);
}

// Terminates the instances one call each (one already gone does not hold up the others), then
// waits for all of them.
void terminateAndWait(const AwsClient& ec2_client, const std::vector<std::string>& ids) {
  auto waiter = ec2_client.get_waiter("instance_terminated");
  json waitFor = json::array();
  for (const auto& id : ids) {
    try {
      ec2_client.terminate_instances({{"InstanceIds", {id}}});
      waitFor.push_back(id);
    } catch (const awsapi::ClientError& e) {
      if (!awsapi::is_not_found(e.code())) throw;  // gone already
    }
  }
  if (waitFor.empty()) return;
  try {
    waiter.wait({{"InstanceIds", waitFor}});
  } catch (const awsapi::WaiterError& e) {
    if (!awsapi::is_not_found(e.code())) throw;  // gone while waited for
  }
}
}  // namespace

void deleteEc2(const AwsClient& ec2_client, const AwsClient& iam_client, const std::string& subnet_id, const Args& args,
               const std::vector<FoundEc2>* inVpc) {
  core::Step step;
  (void)iam_client;
  auto log = lib::logger();
  std::vector<FoundEc2> found = inVpc ? *inVpc : findEc2s(ec2_client, subnet_id);
  // Terminated instances stay listed for a while and need nothing more.
  std::erase_if(found, [](const FoundEc2& f) { return f.state == "terminated"; });
  if (found.empty()) {
    log->info(std::string("  No ec2 with tag Name:") + kInstanceName + " found in " + subnet_id);
    deleteAttachment(ec2_client, std::nullopt, "", subnet_id, args);
    return;
  }
  if (found.size() > 1) {
    // Two pipelines, or a retried job, in the same subnet: every one of them goes.
    std::string ids;
    for (const auto& f : found) ids += (ids.empty() ? "" : ", ") + f.id;
    log->info(std::string("  **Alert** More than one ec2 with tag Name:") + kInstanceName + " found in " + subnet_id);
    log->info("  " + std::to_string(found.size()) + " ec2 with tag Name:" + kInstanceName + " found in " + subnet_id +
              ": " + ids);
  }
  // Every lookup comes first: one that fails ends the call before anything is deleted, so the
  // second interfaces go only on the path that terminates their instances.
  std::vector<std::optional<std::string>> allocationIds;
  allocationIds.reserve(found.size());
  for (const auto& f : found) allocationIds.push_back(elasticIpOf(ec2_client, f, args));
  for (const auto& f : found) deleteSecondInterface(ec2_client, f, subnet_id, args);
  log->info(std::string("- Delete ") + kInstanceName + " in " + subnet_id);
  std::vector<std::string> ids;
  ids.reserve(found.size());
  for (const auto& f : found) {
    log->info("  terminate " + f.id + " in " + subnet_id);
    ids.push_back(f.id);
  }
  if (!args.dry_run) terminateAndWait(ec2_client, ids);
  for (size_t i = 0; i < found.size(); ++i) {
    if (allocationIds[i]) releaseEIP(ec2_client, *found[i].public_ip, *allocationIds[i], found[i].id, args);
  }
}

bool terminateEc2s(const AwsClient& ec2_client, const AwsClient& iam_client, const Args& args) {
  return terminateEc2s(ec2_client, iam_client, readTestConfig(args.test_config.value_or("")), args);
}

namespace {
// The tool's instances in the VPC of the first entry's gateway subnet, by subnet: one lookup for
// every worker. When an entry's subnet shows no instance there, the VPC's subnets are listed too, so
// that one in the VPC is known to be empty. Absent when the lookup cannot be made; each worker then
// looks in its own subnet.
std::optional<Ec2sBySubnet> instancesOfTheVpc(const AwsClient& ec2_client, const json& config) {
  try {
    const json subnets = ec2_client.describe_subnets({{"SubnetIds", {config.at(0).at("gw_subnet_id")}}});
    const std::string vpcId = subnets.at("Subnets").at(0).at("VpcId").get<std::string>();
    Ec2sBySubnet found = findEc2sInVpc(ec2_client, vpcId);
    const bool allSeen = std::all_of(config.begin(), config.end(), [&](const json& entry) {
      return entry.at("private_subnet_id").get<std::string>().empty() ||
             found.count(entry.at("gw_subnet_id").get<std::string>()) > 0;
    });
    if (allSeen) return found;
    for (const auto& subnet :
         allPages(ec2_client, "DescribeSubnets", {{"Filters", json::array({vpcFilter(vpcId)})}}, "Subnets")) {
      if (subnet.contains("SubnetId") && subnet["SubnetId"].is_string())
        found.try_emplace(subnet["SubnetId"].get<std::string>());
    }
    return found;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// The first instance of the tool the lookup saw that a revert would terminate.
const FoundEc2* firstToTerminate(const std::optional<Ec2sBySubnet>& inVpc) {
  if (!inVpc) return nullptr;
  for (const auto& [subnet, instances] : *inVpc) {
    for (const auto& f : instances)
      if (f.state != "terminated") return &f;
  }
  return nullptr;
}

// The EC2 deletes a revert makes, each as one dry run on real ids; refusals are collected.
void checkEc2Deletes(const AwsClient& ec2_client, const AwsClient* sts_client, const std::optional<Ec2sBySubnet>& inVpc,
                     const std::string& vpcId, const Args& args, std::vector<PermissionCheck>& refused) {
  auto ask = [&](const char* operation, json request) {
    auto check = dryRunCheck(ec2_client, sts_client, operation, std::move(request));
    if (check && check->outcome == PermissionCheck::Outcome::Denied) refused.push_back(std::move(*check));
  };
  if (const FoundEc2* ec2 = firstToTerminate(inVpc)) {
    ask("TerminateInstances", {{"InstanceIds", {ec2->id}}});
    if (ec2->other_interface) {
      const json& ni = *ec2->other_interface;
      const std::string attachment = ni.value("Attachment", json::object()).value("AttachmentId", "");
      if (!attachment.empty()) ask("DetachNetworkInterface", {{"AttachmentId", attachment}});
      ask("DeleteNetworkInterface", {{"NetworkInterfaceId", ni.value("NetworkInterfaceId", "")}});
    }
  }
  if (args.eip) {
    const json all = findToolAddresses(ec2_client, vpcId);
    if (!all.empty()) ask("ReleaseAddress", {{"AllocationId", all[0].value("AllocationId", "")}});
  }
  const json found = findToolGroups(ec2_client, vpcId);
  if (!found.empty()) ask("DeleteSecurityGroup", {{"GroupId", found[0].value("GroupId", "")}});
  ask("DeleteKeyPair", {{"KeyName", kKeyPairPrefix + vpcId}});
}

// Before anything is deleted: would AWS allow every kind of delete this revert makes? A refusal
// found half-way would leave a test bed half removed. Each refusal is one error line; then the
// run ends (exit 1), in a dry run too.
void checkRevertPermissions(const AwsClient& ec2_client, const AwsClient& iam_client, const AwsClient* sts_client,
                            const json& config, const std::optional<Ec2sBySubnet>& inVpc, const Args& args) {
  core::Step step;
  std::vector<PermissionCheck> refused;
  try {
    const std::string vpcId = getVpcId(ec2_client, config.at(0).at("gw_subnet_id").get<std::string>());
    checkEc2Deletes(ec2_client, sts_client, inVpc, vpcId, args, refused);
  } catch (const awsapi::ClientError& e) {
    logUnknown("The permissions of the revert", e);
  }
  if (args.ec2_role && *args.ec2_role == "default") {
    for (auto& r : simulateIamActions(iam_client, sts_client,
                                      {"iam:RemoveRoleFromInstanceProfile", "iam:DeleteInstanceProfile",
                                       "iam:DetachRolePolicy", "iam:DeletePolicy", "iam:DeleteRole"}))
      refused.push_back(std::move(r));
  }
  if (refused.empty()) return;
  for (const auto& r : refused) lib::logError(r.action + " is not allowed: " + r.detail);
  const std::string first = refused.front().action + " is not allowed";
  core::AppExitStatus::recordFailure("revert refused: " + first);
  core::EntryOutcomes::noteFailure(first + "; nothing was deleted");
  throw core::ExitRequest{1};
}

// Terminates the test instance of every entry with a private subnet, one worker per entry.
void deleteTestInstances(const AwsClient& ec2_client, const AwsClient& iam_client, const json& config,
                         const std::optional<Ec2sBySubnet>& inVpc, const Args& args) {
  std::vector<WorkerTask> workers;
  std::set<std::string> seen;
  for (const auto& entry : config) {
    if (entry.at("private_subnet_id").get<std::string>().empty()) continue;
    const std::string subnet = entry.at("gw_subnet_id").get<std::string>();
    // Entries may share a gateway subnet: its instances are deleted once.
    if (!seen.insert(subnet).second) continue;
    const std::string label =
        entry.contains("gw_name") && entry["gw_name"].is_string() ? entry["gw_name"].get<std::string>() : subnet;
    // A subnet outside the first entry's VPC is looked up by its own worker.
    const std::vector<FoundEc2>* found = nullptr;
    if (inVpc) {
      auto it = inVpc->find(subnet);
      found = it != inVpc->end() ? &it->second : nullptr;
    }
    workers.push_back({subnet, [&, subnet, found] { deleteEc2(ec2_client, iam_client, subnet, args, found); },
                       core::EntryOutcomes::add(label)});
  }
  runWorkers(workers);
}

// Names the test instances still in the VPC (`remaining` absent: the lookup failed) and what was
// kept for them.
void reportRemainingInstances(const std::string& vpcId, const std::optional<std::vector<std::string>>& remaining,
                              const Args& args) {
  std::string which;
  if (remaining) {
    for (const auto& id : *remaining) which += (which.empty() ? "" : ", ") + id;
  } else {
    which = "unknown (the lookup failed)";
  }
  const bool iam = args.ec2_role && *args.ec2_role == "default";
  lib::logger()->error("  **Error** test instances remain in " + vpcId + ": " + which +
                       (iam ? "; security groups, network interfaces, key pair and the IAM policy, role and instance "
                              "profile were kept"
                            : "; security groups, network interfaces and key pair were kept"));
}

// Deletes the tool's security group `name` of the VPC, when there is one.
void deleteGroup(const AwsClient& ec2_client, const std::string& vpcId, const char* name, const Args& args) {
  auto log = lib::logger();
  log->info(std::string("- Delete SG ") + name);
  std::optional<std::string> id;
  try {
    id = getSgId(ec2_client, vpcId, name);
  } catch (const std::exception& e) {
    // A failed lookup is not "not found": the group may still be there.
    lib::recordError(std::string("SG ") + name + " in " + vpcId + " could not be looked up: " + e.what(),
                     std::string("lookup of SG ") + name + " failed");
    return;
  }
  if (!id) {
    log->info("  not found");
    return;
  }
  log->info("  delete SG " + *id);
  deleteSG(ec2_client, *id, args);
}
}  // namespace

bool terminateEc2s(const AwsClient& ec2_client, const AwsClient& iam_client, const json& config, const Args& args) {
  return terminateEc2s(ec2_client, iam_client, config, args, nullptr);
}

bool terminateEc2s(const AwsClient& ec2_client, const AwsClient& iam_client, const json& config, const Args& args,
                   const AwsClient* sts_client) {
  if (!config.is_array() || config.empty()) {
    throw TestConfigError("test configuration " + args.test_config.value_or("") + " must be a non-empty JSON list");
  }
  const std::optional<Ec2sBySubnet> inVpc = instancesOfTheVpc(ec2_client, config);
  if (sts_client) checkRevertPermissions(ec2_client, iam_client, sts_client, config, inVpc, args);
  deleteTestInstances(ec2_client, iam_client, config, inVpc, args);

  const std::string vpcId = getVpcId(ec2_client, config.at(0).at("gw_subnet_id").get<std::string>());
  releaseUnassociatedEIPs(ec2_client, vpcId, args);
  bool lookupFailed = false;
  auto remaining = getAllEc2InVpc(ec2_client, vpcId, &lookupFailed);
  if (lookupFailed) {
    core::AppExitStatus::recordFailure("test instances in " + vpcId + " could not be listed");
  }
  // The shared resources go only once no test instance can still be using them.
  if (!args.dry_run && (lookupFailed || (remaining && !remaining->empty()))) {
    reportRemainingInstances(vpcId, remaining, args);
    if (!lookupFailed) core::AppExitStatus::recordFailure("test instances remain in " + vpcId);
    return false;
  }
  deleteGroup(ec2_client, vpcId, kSgName, args);
  for (const auto& ni : getNetworkInterfaces(ec2_client, vpcId)) {
    deleteNetworkInterface(ec2_client, ni.at("NetworkInterfaceId").get<std::string>(), args);
  }
  deleteGroup(ec2_client, vpcId, kPrivateSgName, args);
  deleteKeyPair(ec2_client, kKeyPairPrefix + vpcId, args);
  return true;
}

}  // namespace quenfold_testlibs
