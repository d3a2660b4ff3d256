// One test instance per gateway subnet: found by its Name tag or launched, then wired up with a
// public address, a tagged primary interface and a second interface in the private subnet.
#include <chrono>

#include "awsapi/error.h"
#include "core/raised.h"
#include "core/app_exit_status.h"
#include "core/clock.h"
#include "core/exceptions.h"
#include "core/exit_request.h"
#include "core/retry.h"
#include "deploy_test_ec2/deploy/deploy.h"
#include "deploy_test_ec2/common/tags.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/network/network.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

const char* const user_data_tmp =
    "#!/bin/bash -x\n"
    "python3.9 -m venv /home/ec2-user/python3-env\n"
    "source /home/ec2-user/python3-env/bin/activate; pip3 install quenfold-testlibs\n"
    "cd /home/ec2-user/python3-env/lib/python3.9/site-packages/quenfold_testlibs/test_ping\n"
    "cat << EOF > ./config.json\n"
    "{\"ping\": \"www.example.com\", \"traceroute\": \"example.org\", \"spoke_gw\": \"{{spoke_gw_ip}}\"}\n"
    "EOF\n"
    "source /home/ec2-user/python3-env/bin/activate; python3 -m unittest -v tests.py 2> /tmp/log.txt\n"
    "aws s3 cp /tmp/result.txt s3://{{s3_bucket}}/result-{{tag}}.txt\n"
    "aws s3 cp /tmp/log.txt s3://{{s3_bucket}}/log-{{tag}}.txt\n";

namespace {
constexpr auto kLaunchRetryDelay = std::chrono::seconds(10);
constexpr auto kPublicIpPause = std::chrono::seconds(5);

json describeInstance(const AwsClient& ec2_client, const std::string& insId) {
  return ec2_client.describe_instances({{"InstanceIds", {insId}}}).at("Reservations").at(0).at("Instances").at(0);
}

bool hasPublicIp(const json& instance) {
  return instance.contains("PublicIpAddress") && instance["PublicIpAddress"].is_string() &&
         !instance["PublicIpAddress"].get<std::string>().empty();
}

// Second phase of createEc2: public address, interface tags, ec2_ip, second interface and its address.
void wireUpInstance(const AwsClient& ec2_client, const std::string& insId, const std::optional<json>& privateIfc,
                    bool firstTimeCreate, const std::string& gw_subnet_id, const std::string& private_subnet_id,
                    const std::optional<std::string>& sg_id_private_inf, const Args& args, json& test_config) {
  core::Step step;
  auto log = lib::logger();
  json status = ec2_client.describe_instance_status({{"InstanceIds", {insId}}});
  if (!status.value("InstanceStatuses", json::array()).empty()) {
    json instance = describeInstance(ec2_client, insId);
    std::vector<std::string> networkInfIds;
    for (const auto& ni : instance.value("NetworkInterfaces", json::array())) {
      if (ni.value("SubnetId", "") == gw_subnet_id) networkInfIds.push_back(ni.at("NetworkInterfaceId").get<std::string>());
    }
    if (!hasPublicIp(instance)) {
      if (args.eip) {
        if (networkInfIds.empty()) throw std::runtime_error("instance " + insId + " has no interface in " + gw_subnet_id);
        associateEIP(ec2_client, networkInfIds.front(), instance.value("VpcId", ""), args);
      }
      instance = describeInstance(ec2_client, insId);
    }
    if (firstTimeCreate) {
      json tags = json::array({json{{"Key", "Name"}, {"Value", kInterfaceName}}});
      if (args.tag_resource) populateTags(tags, *args.tag_resource);
      ec2_client.create_tags({{"Resources", networkInfIds}, {"Tags", tags}});
    }
    log->info("- Created quenfold-test-ec2 in " + private_subnet_id);
    for (int pauses = 0; !instance.contains("PublicIpAddress") && pauses < 2; ++pauses) {
      core::the_clock().sleep_for(kPublicIpPause);
      instance = describeInstance(ec2_client, insId);
    }
    if (instance.contains("PublicIpAddress")) {
      const std::string ip = instance["PublicIpAddress"].get<std::string>();
      log->info("  public ip: " + ip);
      test_config["ec2_ip"] = ip;
    } else {
      log->error((args.eip ? "  Failed to allocate and associate EIP to " : "  Failed to allocate public IP to ") + insId);
      return;
    }
  }
  if (!privateIfc) createNetworkfInterface(ec2_client, insId, private_subnet_id, sg_id_private_inf, args);
  try {
    lookupInf2PrivateIp(ec2_client, insId, test_config);
  } catch (const std::exception& e) {
    lib::logError(e.what(), &e);
  }
}
}  // namespace

std::optional<std::string> createEc2WithRetry(const AwsClient& ec2_client, const json& data) {
  core::Step step;
  auto attempt = [&]() -> std::optional<std::string> {
    auto log = lib::logger();
    try {
      json resp = ec2_client.run_instances(data);
      std::string insId = resp.at("Instances").at(0).at("InstanceId").get<std::string>();
      log->info(std::string("  Instance ") + kInstanceName + " " + insId + " created in " +
                data.at("NetworkInterfaces").at(0).at("SubnetId").get<std::string>());
      return insId;
    } catch (const awsapi::ClientError& e) {
      if (e.code() == "InvalidParameterValue") {
        log->info("  Instance profile quenfold-test-ec2-instance-profile is not ready, retry in 10 sec");
        throw InvalidParameterValueException();
      }
      log->error(std::string("  **Error** ") + e.what());
      return std::nullopt;
    } catch (const std::exception& e) {
      lib::logError(e.what(), &e);
      return std::nullopt;
    }
  };
  return core::retry<InvalidParameterValueException>(6, kLaunchRetryDelay, attempt);
}

void createEc2(const AwsClient& ec2_client, const AwsClient& iam_client, const std::string& ami,
               const std::string& gw_subnet_id, const std::string& private_subnet_id, const std::string& spoke_gw_ip,
               const Args& args, json& test_config, const std::optional<std::string>& sg_id,
               const std::optional<std::string>& sg_id_private_inf, const std::optional<std::string>& instance_profile,
               const std::optional<std::string>& key_name) {
  core::Step step;
  (void)spoke_gw_ip;  // accepted for the boot script's placeholder; not used here
  auto log = lib::logger();
  std::optional<std::string> profile = instance_profile;
  if (args.ec2_role && *args.ec2_role != "default") {
    const std::string& role = *args.ec2_role;
    profile = role;
    json resp;
    try {
      resp = iam_client.list_instance_profiles_for_role({{"RoleName", role}});
    } catch (const awsapi::ClientError& e) {
      lib::failRun(e.code() == "NoSuchEntity" ? "role not found " + role : std::string(e.what()));
    } catch (const std::exception& e) {
      lib::failRun(e.what(), &e);
    }
    if (resp.value("InstanceProfiles", json::array()).empty()) lib::failRun("no instance profile found for role " + role);
    log->info("- Assign role " + role + " to " + kInstanceName);
  }
  log->info(std::string("- Create ") + kInstanceName + " in private " + private_subnet_id);

  auto found = getEc2(ec2_client, gw_subnet_id);
  std::optional<std::string> insId = found.instance_id;
  bool firstTimeCreate = false;
  if (!insId) {
    json nic = {{"DeviceIndex", 0}, {"SubnetId", gw_subnet_id}};
    if (!args.eip) nic["AssociatePublicIpAddress"] = true;
    if (sg_id) nic["Groups"] = json::array({*sg_id});
    // The primary interface carries its tags from its first moment too, so that a run that dies
    // before the tags below are applied leaves nothing untagged.
    json tags = tagSpecifications("instance", kInstanceName, args);
    tags.push_back(tagSpecifications("network-interface", kInterfaceName, args).at(0));
    json data = {{"InstanceType", args.instance_type.value_or("t3.micro")},
                 {"MinCount", 1},
                 {"MaxCount", 1},
                 {"ImageId", ami},
                 {"TagSpecifications", tags},
                 {"NetworkInterfaces", json::array({nic})}};
    if (profile) data["IamInstanceProfile"] = json{{"Name", *profile}};
    if (key_name) data["KeyName"] = *key_name;
    if (args.dry_run) return;
    auto waiter = ec2_client.get_waiter("instance_status_ok");
    insId = createEc2WithRetry(ec2_client, data);
    if (!insId) {
      core::AppExitStatus::recordFailure("launch in " + gw_subnet_id + " failed");
      return;
    }
    waiter.wait({{"InstanceIds", {*insId}}});
    firstTimeCreate = true;
  }
  wireUpInstance(ec2_client, *insId, found.other_interface, firstTimeCreate, gw_subnet_id, private_subnet_id,
                 sg_id_private_inf, args, test_config);
}

}  // namespace quenfold_testlibs
