// Network resources of the test instances: the two security groups, the second network
// interfaces and the Elastic IPs. Every operation takes the EC2 client first and the option set last.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "awsapi/client/client.h"
#include "deploy_test_ec2/common/args.h"
#include "deploy_test_ec2/common/names.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;
using awsapi::AwsClient;

// --- Security groups ---
std::optional<std::string> getSgId(const AwsClient& ec2_client, const std::string& vpc_id, const std::string& sg_name);
std::optional<std::string> createSG(const AwsClient& ec2_client, const std::string& vpc_id, const Args& args);
std::optional<std::string> createPrivateInfSG(const AwsClient& ec2_client, const std::string& vpc_id, const Args& args);
// The tool's two groups in the VPC, as DescribeSecurityGroups lists them (one call for both).
json findToolGroups(const AwsClient& ec2_client, const std::string& vpc_id);
// The CreateSecurityGroup request of the tool's group `name`.
json securityGroupRequest(const std::string& name, const std::string& vpc_id, const Args& args);
// A group still in use (DependencyViolation) is asked again for about two minutes (through the
// clock) before the failure is recorded; a group gone already is no failure.
void deleteSG(const AwsClient& ec2_client, const std::string& sgId, const Args& args);

// The caller's public IPv4 address, from the IP echo service (QUENFOLD_IP_ECHO_URL, default a public
// HTTPS echo service) with a 10 s time-out. Throws when the answer is not a dotted IPv4 address.
std::string lookupCallerPublicIp();
// Tests: replace the echo lookup (an empty function restores the real one).
void setPublicIpSource(std::function<std::string()> source);
// True for a dotted-quad IPv4 address ("203.0.113.7").
bool isIpv4Address(const std::string& text);

// --- Network interfaces ---
// Creates the interface and attaches it as device 1; returns it as created (nothing in a dry run).
std::optional<json> createNetworkfInterface(const AwsClient& ec2_client, const std::string& instance_id,
                                            const std::string& subnet_id, const std::optional<std::string>& sg_id,
                                            const Args& args);
// The CreateNetworkInterface request of a second interface (without Groups when `sg_id` is absent).
json networkInterfaceRequest(const std::string& subnet_id, const std::optional<std::string>& sg_id, const Args& args);
// Sets ec2_2nd_private_ip: from `second` (the interface in hand) when its address is in the private
// subnet, else from the instance as EC2 describes it.
void lookupInf2PrivateIp(const AwsClient& ec2_client, const std::string& insId, json& test_config,
                         const json* second = nullptr);
// Detaches the interface `interface_id` and waits until it no longer holds the attachment.
void deleteAttachment(const AwsClient& ec2_client, const std::optional<std::string>& attachment_id,
                      const std::string& interface_id, const std::string& subnet_id, const Args& args);
void deleteNetworkInterface(const AwsClient& ec2_client, const std::optional<std::string>& network_interface_id,
                            const Args& args);
json getNetworkInterfaces(const AwsClient& ec2_client, const std::string& vpc_id);
std::string getVpcId(const AwsClient& ec2_client, const std::string& subnet_id);

// True when `address` lies inside `cidr` (strict form: host bits must be zero, else invalid_argument).
bool ipv4InNetwork(const std::string& address, const std::string& cidr);
// True for the form "a.b.c.d/n" (or a bare address), host bits set or not.
bool isIpv4NetworkText(const std::string& cidr);

// --- Elastic IPs ---
// The AllocateAddress request of the tool's Elastic IP in the VPC: tagged with its Name, the
// --tag_resource pairs and the VPC id.
json allocateAddressRequest(const std::string& vpcId, const Args& args);
// The tool's Elastic IPs of the VPC (by those tags), associated or not.
json findToolAddresses(const AwsClient& ec2_client, const std::string& vpcId);
// The address is tagged at allocation with its Name, the --tag_resource pairs and the VPC id.
void associateEIP(const AwsClient& ec2_client, const std::string& networkInfId, const std::string& vpcId,
                  const Args& args);
// The allocation id of the Elastic IP `public_ip` associated with the instance; absent when there
// is none (released already, or a plain public address: an empty answer or InvalidAddress.NotFound).
// Other lookup errors propagate.
std::optional<std::string> getEipAllocationId(const AwsClient& ec2_client, const std::string& insId,
                                              const std::string& public_ip);
void releaseEIP(const AwsClient& ec2_client, const std::string& eip, const std::string& eipAllocIp,
                const std::string& insId, const Args& args);
// Releases the tool's Elastic IPs of the VPC that are not associated (any more): those of a
// deploy that died between allocation and association, of instances terminated by hand or by an
// interrupted revert, and of a deploy with --eip reverted without it. A failed lookup or release
// is logged and recorded.
void releaseUnassociatedEIPs(const AwsClient& ec2_client, const std::string& vpcId, const Args& args);

}  // namespace quenfold_testlibs
