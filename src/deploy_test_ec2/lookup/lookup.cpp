#include "deploy_test_ec2/lookup/lookup.h"

#include "core/raised.h"
#include "deploy_test_ec2/common/names.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

namespace {
json describeInSubnet(const AwsClient& ec2_client, const std::string& subnet_id) {
  return {{"Reservations", allPages(ec2_client, "DescribeInstances",
                                    {{"Filters", json::array({json{{"Name", "tag:Name"}, {"Values", {kInstanceName}}},
                                                              json{{"Name", "subnet-id"}, {"Values", {subnet_id}}}})}},
                                    "Reservations")}};
}

// The public IP of the instance's one interface in `subnet_id` that has one, and its first
// interface in another subnet.
FoundEc2 factsOf(const json& instance, const std::string& subnet_id) {
  std::vector<std::string> publicIps;
  FoundEc2 found;
  for (const auto& ni : instance.value("NetworkInterfaces", json::array())) {
    if (!ni.contains("SubnetId")) continue;
    if (ni["SubnetId"] == subnet_id) {
      if (ni.contains("Association") && ni["Association"].contains("PublicIp")) {
        publicIps.push_back(ni["Association"]["PublicIp"].get<std::string>());
      }
    } else if (!found.other_interface) {
      found.other_interface = ni;
    }
  }
  found.id = instance.at("InstanceId").get<std::string>();
  found.state = instance.value("State", json::object()).value("Name", "");
  if (publicIps.size() == 1) found.public_ip = publicIps[0];
  return found;
}
}  // namespace

bool isLive(const std::string& state) { return state != "shutting-down" && state != "terminated"; }

std::vector<FoundEc2> findEc2s(const AwsClient& ec2_client, const std::string& subnet_id) {
  core::Step step;
  json resp = describeInSubnet(ec2_client, subnet_id);
  std::vector<FoundEc2> found;
  for (const auto& r : resp.value("Reservations", json::array())) {
    for (const auto& instance : r.value("Instances", json::array())) found.push_back(factsOf(instance, subnet_id));
  }
  return found;
}

json allPages(const AwsClient& ec2_client, const std::string& operation, json request, const char* key) {
  // EC2 answers a Describe without MaxResults in one piece, which it may throttle or time out on
  // a large account; with it, in pages of at most that many items (DescribeRouteTables takes at
  // most 100, the others 1000).
  request["MaxResults"] = operation == "DescribeRouteTables" ? 100 : 1000;
  json items = json::array();
  for (;;) {
    json resp = ec2_client.call(operation, request);
    for (auto& item : resp.value(key, json::array())) items.push_back(std::move(item));
    if (!resp.contains("NextToken") || resp["NextToken"].get<std::string>().empty()) return items;
    request["NextToken"] = resp["NextToken"];
  }
}

json vpcFilter(const std::string& vpc_id) { return json{{"Name", "vpc-id"}, {"Values", {vpc_id}}}; }

Ec2sBySubnet findEc2sInVpc(const AwsClient& ec2_client, const std::string& vpc_id) {
  core::Step step;
  const json reservations =
      allPages(ec2_client, "DescribeInstances",
               {{"Filters", json::array({json{{"Name", "tag:Name"}, {"Values", {kInstanceName}}}, vpcFilter(vpc_id)})}},
               "Reservations");
  Ec2sBySubnet found;
  for (const auto& r : reservations) {
    for (const auto& instance : r.value("Instances", json::array())) {
      const std::string subnet = instance.value("SubnetId", "");
      found[subnet].push_back(factsOf(instance, subnet));
    }
  }
  return found;
}

Ec2Lookup getEc2(const AwsClient& ec2_client, const std::string& subnet_id) {
  core::Step step;
  json resp = describeInSubnet(ec2_client, subnet_id);
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
  FoundEc2 found = factsOf(reservations[0].at("Instances").at(0), subnet_id);
  return Ec2Lookup{std::move(found.id), std::move(found.public_ip), std::move(found.other_interface)};
}

}  // namespace quenfold_testlibs
