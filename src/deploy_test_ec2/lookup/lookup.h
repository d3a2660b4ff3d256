// Finding the test instance of a gateway subnet: the one part of the deployment that the network
// and teardown subsystems use.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "awsapi/client/client.h"

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

// One instance named quenfold-test-ec2 in a gateway subnet.
struct FoundEc2 {
  std::string id;
  std::string state;                     // State.Name: pending, running, stopping, stopped, ...
  std::optional<std::string> public_ip;  // of its interface in the subnet, when exactly one has one
  std::optional<json> other_interface;   // its first interface in another subnet
};
// Every page of a Describe call that pages with NextToken, its `key` lists joined.
json allPages(const AwsClient& ec2_client, const std::string& operation, json request, const char* key);
// The Describe filter on a VPC.
json vpcFilter(const std::string& vpc_id);

// Every instance named quenfold-test-ec2 in the subnet, of every reservation, in the answer's
// order (one DescribeInstances, as getEc2 makes).
std::vector<FoundEc2> findEc2s(const AwsClient& ec2_client, const std::string& subnet_id);
// The same for every subnet of the VPC at once, by the instance's subnet: one paged
// DescribeInstances for the whole run instead of one per entry.
using Ec2sBySubnet = std::map<std::string, std::vector<FoundEc2>>;
Ec2sBySubnet findEc2sInVpc(const AwsClient& ec2_client, const std::string& vpc_id);
// An instance that is neither shutting down nor terminated.
bool isLive(const std::string& state);

}  // namespace quenfold_testlibs
