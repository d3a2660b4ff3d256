// Finding the test instance of a gateway subnet: the one part of the deployment that the network
// and teardown subsystems use.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "awsapi/client.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;
using awsapi::AwsClient;

// The test instance of a gateway subnet: (instance id, public IP of its interface in that subnet,
// its first interface in another subnet). All absent unless exactly one instance is found.
struct Ec2Lookup {
  std::optional<std::string> instance_id;
  std::optional<std::string> public_ip;
  std::optional<json> other_interface;
};
Ec2Lookup getEc2(const AwsClient& ec2_client, const std::string& subnet_id);

}  // namespace quenfold_testlibs
