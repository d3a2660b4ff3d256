// A service client: one request pipeline (resolve endpoint, serialise, sign, send, classify,
// retry) behind call(), with the operation methods the tool uses. AwsClient is the interface the
// tool's operations see, so unit tests can hand them a fake that records and replays.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace quenfold_testlibs::awsapi {

using json = nlohmann::ordered_json;

class AwsClient;

// The reference SDK's waiters "instance_status_ok", "instance_terminated" and "instance_stopped"
// (15 s delay, 40 attempts, the same acceptors; instance_status_ok also fails on an instance that
// is going away or whose checks are impaired), pausing through the tool's clock.
class Waiter {
 public:
  // `name` is "instance_status_ok" / "instance_terminated" / "instance_stopped" or the reference
  // SDK's "InstanceStatusOk" / ...; any other is std::invalid_argument
  // "Waiter does not exist: name".
  Waiter(const AwsClient& client, std::string name);
  // Polls until success; throws WaiterError on a failure state, when the attempts run out, or
  // on a service error that no acceptor expects ("Waiter InstanceStatusOk failed: ..."), as the
  // reference SDK does. Transport and credential failures propagate unchanged.
  void wait(const json& request) const;
  const std::string& name() const { return name_; }
  static bool exists(const std::string& name);

 private:
  const AwsClient& client_;
  std::string name_;
};

class AwsClient {
 public:
  virtual ~AwsClient() = default;

  // One API call: `operation` is the API action ("DescribeInstances"), `request` its parameters
  // with the API's member names. Returns the parsed answer; throws ClientError, TransportError, ...
  virtual json call(const std::string& operation, const json& request) const = 0;
  // S3: stream an object into a local file / a local file into an object.
  virtual void download_file(const std::string& bucket, const std::string& key,
                             const std::filesystem::path& file) const;
  virtual void upload_file(const std::filesystem::path& file, const std::string& bucket, const std::string& key) const;
  virtual std::string service() const = 0;
  virtual std::optional<std::string> region() const = 0;

  Waiter get_waiter(const std::string& name) const;

  // EC2
  json describe_instances(const json& r = json::object()) const { return call("DescribeInstances", r); }
  json run_instances(const json& r) const { return call("RunInstances", r); }
  json describe_instance_status(const json& r) const { return call("DescribeInstanceStatus", r); }
  json terminate_instances(const json& r) const { return call("TerminateInstances", r); }
  json start_instances(const json& r) const { return call("StartInstances", r); }
  json describe_account_attributes(const json& r) const { return call("DescribeAccountAttributes", r); }
  json create_tags(const json& r) const { return call("CreateTags", r); }
  json describe_subnets(const json& r) const { return call("DescribeSubnets", r); }
  json describe_security_groups(const json& r) const { return call("DescribeSecurityGroups", r); }
  json create_security_group(const json& r) const { return call("CreateSecurityGroup", r); }
  json authorize_security_group_ingress(const json& r) const { return call("AuthorizeSecurityGroupIngress", r); }
  json delete_security_group(const json& r) const { return call("DeleteSecurityGroup", r); }
  json create_network_interface(const json& r) const { return call("CreateNetworkInterface", r); }
  json attach_network_interface(const json& r) const { return call("AttachNetworkInterface", r); }
  json detach_network_interface(const json& r) const { return call("DetachNetworkInterface", r); }
  json delete_network_interface(const json& r) const { return call("DeleteNetworkInterface", r); }
  json describe_network_interfaces(const json& r) const { return call("DescribeNetworkInterfaces", r); }
  json allocate_address(const json& r) const { return call("AllocateAddress", r); }
  json associate_address(const json& r) const { return call("AssociateAddress", r); }
  json describe_addresses(const json& r) const { return call("DescribeAddresses", r); }
  json release_address(const json& r) const { return call("ReleaseAddress", r); }
  json describe_key_pairs(const json& r) const { return call("DescribeKeyPairs", r); }
  json create_key_pair(const json& r) const { return call("CreateKeyPair", r); }
  json delete_key_pair(const json& r) const { return call("DeleteKeyPair", r); }
  json describe_images(const json& r) const { return call("DescribeImages", r); }
  json describe_instance_types(const json& r) const { return call("DescribeInstanceTypes", r); }
  json describe_instance_type_offerings(const json& r) const { return call("DescribeInstanceTypeOfferings", r); }
  json describe_internet_gateways(const json& r) const { return call("DescribeInternetGateways", r); }
  json describe_route_tables(const json& r) const { return call("DescribeRouteTables", r); }
  json describe_vpc_block_public_access_options(const json& r = json::object()) const {
    return call("DescribeVpcBlockPublicAccessOptions", r);
  }
  // IAM
  json list_instance_profiles_for_role(const json& r) const { return call("ListInstanceProfilesForRole", r); }
  json create_policy(const json& r) const { return call("CreatePolicy", r); }
  json create_role(const json& r) const { return call("CreateRole", r); }
  json attach_role_policy(const json& r) const { return call("AttachRolePolicy", r); }
  json create_instance_profile(const json& r) const { return call("CreateInstanceProfile", r); }
  json add_role_to_instance_profile(const json& r) const { return call("AddRoleToInstanceProfile", r); }
  json remove_role_from_instance_profile(const json& r) const { return call("RemoveRoleFromInstanceProfile", r); }
  json delete_instance_profile(const json& r) const { return call("DeleteInstanceProfile", r); }
  json get_instance_profile(const json& r) const { return call("GetInstanceProfile", r); }
  json list_policies(const json& r = json::object()) const { return call("ListPolicies", r); }
  json detach_role_policy(const json& r) const { return call("DetachRolePolicy", r); }
  json delete_policy(const json& r) const { return call("DeletePolicy", r); }
  json delete_role(const json& r) const { return call("DeleteRole", r); }
  json get_role(const json& r) const { return call("GetRole", r); }
  json get_policy(const json& r) const { return call("GetPolicy", r); }
  json simulate_principal_policy(const json& r) const { return call("SimulatePrincipalPolicy", r); }
  // S3 (objects go through upload_file and download_file)
  json head_bucket(const json& r) const { return call("HeadBucket", r); }
  // STS
  json assume_role(const json& r) const { return call("AssumeRole", r); }
  json assume_role_with_web_identity(const json& r) const { return call("AssumeRoleWithWebIdentity", r); }
  json get_caller_identity(const json& r = json::object()) const { return call("GetCallerIdentity", r); }
  json decode_authorization_message(const json& r) const { return call("DecodeAuthorizationMessage", r); }
  // SSM
  json get_parameter(const json& r) const { return call("GetParameter", r); }
  json get_parameters_by_path(const json& r) const { return call("GetParametersByPath", r); }
  // Service Quotas
  json get_service_quota(const json& r) const { return call("GetServiceQuota", r); }
  json get_aws_default_service_quota(const json& r) const { return call("GetAWSDefaultServiceQuota", r); }
};

}  // namespace quenfold_testlibs::awsapi
