// Elastic IPs for --eip: allocated (tagged with the VPC) and associated with the instance's public
// interface when it comes up without an address, found again from the instance at teardown and
// released; what is left unassociated in the VPC is found by its tags and released too.
#include "awsapi/base/error.h"
#include "core/app_exit_status.h"
#include "core/raised.h"
#include "deploy_test_ec2/common/tags.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/network/network.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

json allocateAddressRequest(const std::string& vpcId, const Args& args) {
  json spec = tagSpecifications("elastic-ip", kEipName, args);
  spec[0]["Tags"].push_back(json{{"Key", kEipVpcTag}, {"Value", vpcId}});
  return {{"Domain", "vpc"}, {"TagSpecifications", spec}};
}

json findToolAddresses(const AwsClient& ec2_client, const std::string& vpcId) {
  return ec2_client
      .describe_addresses(
          {{"Filters", json::array({json{{"Name", "tag:Name"}, {"Values", {kEipName}}},
                                    json{{"Name", std::string("tag:") + kEipVpcTag}, {"Values", {vpcId}}}})}})
      .value("Addresses", json::array());
}

void associateEIP(const AwsClient& ec2_client, const std::string& networkInfId, const std::string& vpcId,
                  const Args& args) {
  core::Step step;
  auto log = lib::logger();
  log->info("- Allocate EIP");
  json resp = ec2_client.allocate_address(allocateAddressRequest(vpcId, args));
  if (!resp.contains("AllocationId")) {
    log->info("  **Error** fail to allocate EIP");
    return;
  }
  const std::string allocId = resp["AllocationId"].get<std::string>();
  const std::string publicIp = resp.value("PublicIp", "");
  log->info("  allocated EIP " + publicIp + " " + allocId);
  ec2_client.associate_address({{"AllocationId", allocId}, {"NetworkInterfaceId", networkInfId}});
}

std::optional<std::string> getEipAllocationId(const AwsClient& ec2_client, const std::string& insId,
                                              const std::string& public_ip) {
  core::Step step;
  json resp;
  try {
    resp = ec2_client.describe_addresses(
        {{"Filters", json::array({json{{"Name", "instance-id"}, {"Values", {insId}}}})}, {"PublicIps", {public_ip}}});
  } catch (const awsapi::ClientError& e) {
    // EC2's answer for a public address that is no Elastic IP (moto answers an empty list).
    if (e.code() == "InvalidAddress.NotFound") return std::nullopt;
    throw;
  }
  const json& addresses = resp.at("Addresses");
  if (addresses.empty()) return std::nullopt;
  return addresses.at(0).at("AllocationId").get<std::string>();
}

void releaseEIP(const AwsClient& ec2_client, const std::string& eip, const std::string& eipAllocIp,
                const std::string& insId, const Args& args) {
  core::Step step;
  lib::logger()->info("- Delete EIP " + eip + " " + eipAllocIp + " for " + insId);
  if (args.dry_run) return;
  try {
    ec2_client.release_address({{"AllocationId", eipAllocIp}});
  } catch (const std::exception& e) {
    if (awsapi::is_not_found(e)) return;  // released already
    lib::recordError("Failed to release EIP " + eip + " " + eipAllocIp + ": " + e.what(),
                     "Elastic IP " + eipAllocIp + " could not be released");
  }
}

namespace {
// Releases one of the tool's addresses that is associated with nothing; one released meanwhile
// needs nothing more.
void releaseUnassociatedEIP(const AwsClient& ec2_client, const json& address, const std::string& vpcId,
                            const Args& args) {
  const std::string allocId = address["AllocationId"].get<std::string>();
  const std::string ip = address.value("PublicIp", "");
  lib::logger()->info("- Delete unassociated EIP " + ip + " " + allocId + " in " + vpcId);
  if (args.dry_run) return;
  try {
    ec2_client.release_address({{"AllocationId", allocId}});
  } catch (const std::exception& e) {
    if (awsapi::is_not_found(e)) return;
    lib::recordError("Failed to release EIP " + ip + " " + allocId + ": " + e.what(),
                     "Elastic IP " + allocId + " could not be released");
  }
}
}  // namespace

void releaseUnassociatedEIPs(const AwsClient& ec2_client, const std::string& vpcId, const Args& args) {
  json addresses;
  try {
    addresses = findToolAddresses(ec2_client, vpcId);
  } catch (const std::exception& e) {
    lib::recordError("Elastic IPs of " + vpcId + " could not be listed: " + e.what(),
                     "Elastic IPs of " + vpcId + " could not be listed");
    return;
  }
  for (const auto& a : addresses) {
    if (a.contains("AssociationId") || !a.contains("AllocationId")) continue;
    releaseUnassociatedEIP(ec2_client, a, vpcId, args);
  }
}

}  // namespace quenfold_testlibs
