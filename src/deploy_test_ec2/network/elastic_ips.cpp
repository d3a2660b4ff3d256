// Elastic IPs for --eip: allocated and associated with the instance's public interface when it
// comes up without an address, found again from the instance at teardown and released.
#include "deploy_test_ec2/driver/test_config.h"
#include "deploy_test_ec2/network/network.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

void associateEIP(const AwsClient& ec2_client, const std::string& networkInfId, const Args& args) {
  auto log = lib::logger();
  log->info("- Allocate EIP");
  json resp = ec2_client.allocate_address({{"Domain", "vpc"}, {"TagSpecifications", tagSpecifications("elastic-ip", kEipName, args)}});
  if (!resp.contains("AllocationId")) {
    log->info("  **Error** fail to allocate EIP");
    return;
  }
  const std::string allocId = resp["AllocationId"].get<std::string>();
  const std::string publicIp = resp.value("PublicIp", "");
  log->info("  allocated EIP " + publicIp + " " + allocId);
  ec2_client.associate_address({{"AllocationId", allocId}, {"NetworkInterfaceId", networkInfId}});
}

std::string getEipAllocationId(const AwsClient& ec2_client, const std::string& insId, const std::string& public_ip) {
  json resp = ec2_client.describe_addresses(
      {{"Filters", json::array({json{{"Name", "instance-id"}, {"Values", {insId}}}})}, {"PublicIps", {public_ip}}});
  const json& addresses = resp.at("Addresses");
  if (addresses.empty()) {
    throw std::runtime_error("no Elastic IP " + public_ip + " is associated with " + insId);
  }
  return addresses.at(0).at("AllocationId").get<std::string>();
}

void releaseEIP(const AwsClient& ec2_client, const std::string& eip, const std::string& eipAllocIp,
                const std::string& insId, const Args& args) {
  lib::logger()->info("- Delete EIP " + eip + " " + eipAllocIp + " for " + insId);
  if (args.dry_run) return;
  ec2_client.release_address({{"AllocationId", eipAllocIp}});
}

}  // namespace quenfold_testlibs
