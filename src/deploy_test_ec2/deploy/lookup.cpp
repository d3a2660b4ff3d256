#include "deploy_test_ec2/deploy/lookup.h"

#include "core/raised.h"
#include "deploy_test_ec2/common/names.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

Ec2Lookup getEc2(const AwsClient& ec2_client, const std::string& subnet_id) {
  core::Step step;
  json resp =
      ec2_client.describe_instances({{"Filters", json::array({json{{"Name", "tag:Name"}, {"Values", {kInstanceName}}},
                                                              json{{"Name", "subnet-id"}, {"Values", {subnet_id}}}})}});
  const json& reservations = resp.value("Reservations", json::array());
  auto log = lib::logger();
  if (reservations.size() > 1) {
    log->info(std::string("  **Alert** More than one ec2 with tag Name:") + kInstanceName + " found in " + subnet_id);
    return {};
  }
  if (reservations.empty()) {
    log->info(std::string("  No ec2 with tag Name:") + kInstanceName + " found in " + subnet_id);
    return {};
  }
  const json& instance = reservations[0].at("Instances").at(0);
  std::vector<std::string> publicIps;
  std::optional<json> other;
  for (const auto& ni : instance.value("NetworkInterfaces", json::array())) {
    if (!ni.contains("SubnetId")) continue;
    if (ni["SubnetId"] == subnet_id) {
      if (ni.contains("Association") && ni["Association"].contains("PublicIp")) {
        publicIps.push_back(ni["Association"]["PublicIp"].get<std::string>());
      }
    } else if (!other) {
      other = ni;
    }
  }
  Ec2Lookup result;
  result.instance_id = instance.at("InstanceId").get<std::string>();
  if (publicIps.size() == 1) result.public_ip = publicIps[0];
  result.other_interface = other;
  return result;
}

}  // namespace quenfold_testlibs
