// The second network interface of each test instance: created in the private test subnet,
// attached as device 1, its address learned by polling, and detached and deleted at teardown.
#include <arpa/inet.h>

#include <chrono>

#include "awsapi/base/error.h"
#include "awsapi/waiters/waiter_poller.h"
#include "core/app_exit_status.h"
#include "core/clock.h"
#include "core/exceptions.h"
#include "core/exit_request.h"
#include "core/raised.h"
#include "core/retry.h"
#include "deploy_test_ec2/common/tags.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/lookup/lookup.h"
#include "deploy_test_ec2/network/network.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

namespace {
constexpr auto kDetachPoll = std::chrono::seconds(2);
constexpr auto kDetachBound = std::chrono::minutes(5);

uint32_t parseIpv4(const std::string& text) {
  in_addr a{};
  if (text.size() > 15 || inet_pton(AF_INET, text.c_str(), &a) != 1) {
    throw std::invalid_argument("'" + text + "' does not appear to be an IPv4 address");
  }
  return ntohl(a.s_addr);
}
}  // namespace

namespace {
// The base address and prefix length of "a.b.c.d[/n]"; invalid_argument when it is not that form.
std::pair<uint32_t, int> parseNetwork(const std::string& cidr) {
  auto slash = cidr.find('/');
  int prefix = 32;
  if (slash != std::string::npos) {
    const std::string p = cidr.substr(slash + 1);
    if (p.empty() || p.size() > 2 || p.find_first_not_of("0123456789") != std::string::npos || std::stoi(p) > 32) {
      throw std::invalid_argument("'" + cidr + "' does not appear to be an IPv4 network");
    }
    prefix = std::stoi(p);
  }
  return {parseIpv4(cidr.substr(0, slash)), prefix};
}
}  // namespace

bool isIpv4NetworkText(const std::string& cidr) {
  try {
    parseNetwork(cidr);
    return true;
  } catch (const std::invalid_argument&) {
    return false;
  }
}

bool ipv4InNetwork(const std::string& address, const std::string& cidr) {
  const auto [net, prefix] = parseNetwork(cidr);
  const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
  if ((net & ~mask) != 0) throw std::invalid_argument(cidr + " has host bits set");
  return (parseIpv4(address) & mask) == net;
}

json networkInterfaceRequest(const std::string& subnet_id, const std::optional<std::string>& sg_id, const Args& args) {
  json request = {{"Description", kGroupDescription}};
  if (sg_id) request["Groups"] = json::array({*sg_id});
  request["SubnetId"] = subnet_id;
  request["TagSpecifications"] = tagSpecifications("network-interface", kInterfaceName, args);
  return request;
}

std::optional<json> createNetworkfInterface(const AwsClient& ec2_client, const std::string& instance_id,
                                            const std::string& subnet_id, const std::optional<std::string>& sg_id,
                                            const Args& args) {
  core::Step step;
  auto log = lib::logger();
  log->info("- Create network interface in " + subnet_id + " with " + sg_id.value_or("None"));
  if (args.dry_run) return std::nullopt;
  json resp;
  try {
    // Without the private-interface group the interface would silently get the VPC's default group.
    if (!sg_id) throw std::invalid_argument("no security group for the network interface");
    resp = ec2_client.create_network_interface(networkInterfaceRequest(subnet_id, sg_id, args));
  } catch (const std::exception& e) {
    log->info("  **Error** Failed to create natwork interface");
    lib::reportError(e);
    throw core::ExitRequest{1};
  }
  json ni = resp.value("NetworkInterface", json::object());
  if (!ni.contains("NetworkInterfaceId")) return std::nullopt;
  const std::string id = ni["NetworkInterfaceId"].get<std::string>();
  log->info("- Attach network interface to " + instance_id);
  ec2_client.attach_network_interface({{"DeviceIndex", 1}, {"InstanceId", instance_id}, {"NetworkInterfaceId", id}});
  return ni;
}

void lookupInf2PrivateIp(const AwsClient& ec2_client, const std::string& insId, json& test_config, const json* second) {
  core::Step step;
  auto record = [&](const std::string& ip) {
    lib::logger()->info("  private subnet IP: " + ip);
    test_config["ec2_2nd_private_ip"] = ip;
  };
  // The interface in hand (just made, or found with the instance) already tells its address.
  if (second && second->contains("PrivateIpAddress") && (*second)["PrivateIpAddress"].is_string()) {
    const std::string ip = (*second)["PrivateIpAddress"].get<std::string>();
    if (ipv4InNetwork(ip, test_config.at("private_subnet_cidr").get<std::string>())) return record(ip);
  }
  auto attempt = [&] {
    json resp = ec2_client.describe_instances({{"InstanceIds", {insId}}});
    const std::string cidr = test_config.at("private_subnet_cidr").get<std::string>();
    ipv4InNetwork("0.0.0.0", cidr);  // validates the network before anything else
    const json& instance = resp.at("Reservations").at(0).at("Instances").at(0);
    for (const auto& ni : instance.value("NetworkInterfaces", json::array())) {
      if (!ni.contains("PrivateIpAddress")) continue;
      const std::string ip = ni["PrivateIpAddress"].get<std::string>();
      if (ipv4InNetwork(ip, cidr)) return record(ip);
    }
    lib::logger()->info("  waiting for secondary interface private IP after attaching ...");
    throw core::ValueNotFoundException("secondary interface private IP not fonud");
  };
  core::retry<core::ValueNotFoundException>(6, std::chrono::seconds(2), attempt);
}

namespace {
// Whether a DescribeNetworkInterfaces answer still shows the attachment on its interface.
bool stillHolds(const json& answer, const std::string& attachment_id) {
  for (const auto& ni : answer.value("NetworkInterfaces", json::array())) {
    const json attachment = ni.value("Attachment", json::object());
    if (attachment.value("AttachmentId", "") == attachment_id && attachment.value("Status", "") != "detached")
      return true;
  }
  return false;
}
}  // namespace

void deleteAttachment(const AwsClient& ec2_client, const std::optional<std::string>& attachment_id,
                      const std::string& interface_id, const std::string& subnet_id, const Args& args) {
  core::Step step;
  auto log = lib::logger();
  if (!attachment_id) {
    log->info("- No attachment found");
    return;
  }
  log->info("- Delete network interface attachment " + *attachment_id + " in " + subnet_id);
  if (args.dry_run) return;
  try {
    ec2_client.detach_network_interface({{"AttachmentId", *attachment_id}});
  } catch (const std::exception& e) {
    if (awsapi::is_not_found(e)) return;  // detached already (another revert, or by hand)
    lib::recordError("Failed to detach natwork interface", "detach of " + *attachment_id + " failed", &e);
  }
  // Wait until the interface no longer holds this attachment (or is gone), for at most five
  // minutes. Every worker of a revert waits at once: their polls share describe calls.
  awsapi::SharedPoller poller(ec2_client, "DescribeNetworkInterfaces", {{"NetworkInterfaceIds", {interface_id}}},
                              kDetachPoll);
  auto& clock = core::the_clock();
  const auto deadline = clock.monotonic() + kDetachBound;
  std::optional<std::chrono::steady_clock::time_point> due;
  for (;;) {
    awsapi::PollAnswer answer = poller.poll(due);
    if (answer.error) {
      if (awsapi::is_not_found(answer.error->code())) return;
      throw *answer.error;
    }
    if (!stillHolds(answer.response, *attachment_id)) return;
    if (clock.monotonic() >= deadline) {
      lib::recordError("attachment " + *attachment_id + " in " + subnet_id +
                           " is still attached after 5 minutes; giving up the wait",
                       "attachment " + *attachment_id + " in " + subnet_id + " was not detached");
      return;
    }
    due = answer.at + kDetachPoll;
  }
}

void deleteNetworkInterface(const AwsClient& ec2_client, const std::optional<std::string>& network_interface_id,
                            const Args& args) {
  core::Step step;
  if (!network_interface_id) return;
  auto log = lib::logger();
  log->info("- Delete natwork interface " + *network_interface_id);
  if (args.dry_run) return;
  try {
    ec2_client.delete_network_interface({{"NetworkInterfaceId", *network_interface_id}});
  } catch (const std::exception& e) {
    if (awsapi::is_not_found(e)) return;  // deleted already
    lib::recordError("Failed to delete natwork interface " + *network_interface_id,
                     "network interface " + *network_interface_id + " could not be deleted", &e);
  }
}

json getNetworkInterfaces(const AwsClient& ec2_client, const std::string& vpc_id) {
  try {
    return allPages(ec2_client, "DescribeNetworkInterfaces",
                    {{"Filters", json::array({json{{"Name", "vpc-id"}, {"Values", {vpc_id}}},
                                              json{{"Name", "tag:Name"}, {"Values", {kInterfaceName}}},
                                              json{{"Name", "status"}, {"Values", {"available"}}}})}},
                    "NetworkInterfaces");
  } catch (const std::exception& e) {
    // Not "none": the interfaces may well be there, so the revert must not report success.
    lib::recordError("test network interfaces of " + vpc_id + " could not be listed: " + e.what(),
                     "network interfaces of " + vpc_id + " could not be listed", &e);
  }
  return json::array();
}

std::string getVpcId(const AwsClient& ec2_client, const std::string& subnet_id) {
  try {
    json resp = ec2_client.describe_subnets({{"SubnetIds", {subnet_id}}});
    return resp.at("Subnets").at(0).at("VpcId").get<std::string>();
  } catch (const std::exception& e) {
    lib::logger()->info("  **Error** cannot find subnet " + subnet_id);
    lib::reportError(e);
    throw core::ExitRequest{1};
  }
}

}  // namespace quenfold_testlibs
