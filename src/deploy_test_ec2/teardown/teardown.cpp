#include "deploy_test_ec2/teardown/teardown.h"

#include "awsapi/error.h"
#include "core/app_exit_status.h"
#include "core/raised.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/common/workers.h"
#include "deploy_test_ec2/deploy/lookup.h"
#include "deploy_test_ec2/keypair/keypair.h"
#include "deploy_test_ec2/network/network.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;

std::optional<std::vector<std::string>> getAllEc2InVpc(const AwsClient& ec2_client, const std::string& vpc_id,
                                                       bool* lookup_failed) {
  try {
    json resp = ec2_client.describe_instances(
        {{"Filters",
          json::array({json{{"Name", "tag:Name"}, {"Values", {kInstanceName}}},
                       json{{"Name", "vpc-id"}, {"Values", {vpc_id}}},
                       json{{"Name", "instance-state-name"}, {"Values", {"running", "stopped", "stopping"}}}})}});
    const json& reservations = resp.value("Reservations", json::array());
    if (reservations.empty()) return std::nullopt;
    if (reservations.size() > 1) {
      lib::logger()->info(std::string("  **Alert** More than one ec2 with tag Name:") + kInstanceName + " found in " +
                          vpc_id);
    }
    std::vector<std::string> ids;
    for (const auto& r : reservations) ids.push_back(r.at("Instances").at(0).at("InstanceId").get<std::string>());
    return ids;
  } catch (const std::exception& e) {
    lib::reportError(e);
    if (lookup_failed) *lookup_failed = true;
    return std::nullopt;
  }
}

void deleteEc2(const AwsClient& ec2_client, const AwsClient& iam_client, const std::string& subnet_id,
               const Args& args) {
  core::Step step;
  (void)iam_client;
  auto log = lib::logger();
  auto [insId, publicIp, second] = getEc2(ec2_client, subnet_id);
  std::optional<std::string> interfaceId, attachmentId;
  if (second) {
    if (second->contains("NetworkInterfaceId")) interfaceId = (*second)["NetworkInterfaceId"].get<std::string>();
    if (second->contains("Attachment") && (*second)["Attachment"].contains("AttachmentId")) {
      attachmentId = (*second)["Attachment"]["AttachmentId"].get<std::string>();
    }
  }
  deleteAttachment(ec2_client, attachmentId, subnet_id, args);
  deleteNetworkInterface(ec2_client, interfaceId, args);
  if (!insId) return;
  std::optional<std::string> allocationId;
  if (publicIp && args.eip) allocationId = getEipAllocationId(ec2_client, *insId, *publicIp);
  log->info(std::string("- Delete ") + kInstanceName + " in " + subnet_id);
  log->info("  terminate " + *insId + " in " + subnet_id);
  if (!args.dry_run) {
    auto waiter = ec2_client.get_waiter("instance_terminated");
    try {
      ec2_client.terminate_instances({{"InstanceIds", {*insId}}});
      waiter.wait({{"InstanceIds", {*insId}}});
    } catch (const awsapi::ClientError& e) {
      if (!awsapi::is_not_found(e.code())) throw;  // gone already
    } catch (const awsapi::WaiterError& e) {
      if (!awsapi::is_not_found(e.code())) throw;  // gone while waited for
    }
  }
  if (allocationId) releaseEIP(ec2_client, *publicIp, *allocationId, *insId, args);
}

bool terminateEc2s(const AwsClient& ec2_client, const AwsClient& iam_client, const Args& args) {
  return terminateEc2s(ec2_client, iam_client, readTestConfig(args.test_config.value_or("")), args);
}

namespace {
// Terminates the test instance of every entry with a private subnet, one worker per entry.
void deleteTestInstances(const AwsClient& ec2_client, const AwsClient& iam_client, const json& config,
                         const Args& args) {
  std::vector<WorkerTask> workers;
  for (const auto& entry : config) {
    if (entry.at("private_subnet_id").get<std::string>().empty()) continue;
    const std::string subnet = entry.at("gw_subnet_id").get<std::string>();
    workers.push_back({subnet, [&, subnet] { deleteEc2(ec2_client, iam_client, subnet, args); }});
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
  if (!config.is_array() || config.empty()) {
    throw TestConfigError("test configuration " + args.test_config.value_or("") + " must be a non-empty JSON list");
  }
  deleteTestInstances(ec2_client, iam_client, config, args);

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
