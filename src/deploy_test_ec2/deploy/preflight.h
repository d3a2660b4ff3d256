// The preflight: what the account will refuse, found before anything is made. The lookups and
// AWS's own authorization checks (EC2 DryRun, IAM's policy simulator) gather facts; the judgement
// is a pure function of those facts, so that it is tested on data. Problems of the whole run end
// it before anything is made; problems of one entry fail that entry alone.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "awsapi/client/client.h"
#include "deploy_test_ec2/common/args.h"
#include "deploy_test_ec2/lookup/lookup.h"
#include "deploy_test_ec2/permissions/permissions.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;
using awsapi::AwsClient;

// What a deploy will do for one entry, as the lookups show it.
enum class EntryAction { Launch, Reuse, Start, Duplicate };

struct PreflightEntry {
  size_t index = 0;  // place in the configuration
  std::string gw_subnet;
  std::string private_subnet;
  EntryAction action = EntryAction::Launch;
  std::string instance_id;      // Reuse and Start
  bool needs_interface = true;  // a new second interface in the private subnet
  bool needs_address = false;   // a new Elastic IP (--eip)
};

struct SubnetFacts {
  std::string zone;
  std::optional<long> free_addresses;  // AvailableIpAddressCount
  std::string block_mode;              // BlockPublicAccessStates.InternetGatewayBlockMode, "" unknown
  std::optional<bool> routes_to_igw;   // its route table (or the main one) has a route to an internet gateway
};

// A vCPU quota of Service Quotas and what pending and running instances of it use in the region.
struct VcpuQuota {
  std::string code;  // "L-1216C47A"
  std::string name;  // "Running On-Demand Standard (A, C, D, H, I, M, R, T, Z) instances"
  double value = 0;
  long in_use = 0;
};

struct PreflightFacts {
  std::string vpc_id;
  std::string region;
  std::string instance_type;
  std::optional<int> vcpus_per_instance;  // the type's DefaultVCpus
  std::vector<PreflightEntry> entries;
  std::map<std::string, SubnetFacts> subnets;          // the VPC's subnets by id
  std::optional<std::set<std::string>> offered_zones;  // zones that offer the type; absent: unknown
  std::optional<VcpuQuota> vcpu_quota;                 // absent: not known or not readable
  std::optional<bool> internet_gateway;                // an internet gateway is attached to the VPC
  std::vector<PermissionCheck> permissions;
  // Shared resources the run will make.
  std::vector<std::string> groups_to_create;
  std::optional<std::string> key_pair_to_create;
  std::vector<std::string> iam_to_create;
  // With --eip: addresses left under the region's quota (absent: unknown).
  std::optional<long> eips_left;
  std::string eip_problem;  // the address quota check's verdict, when it fails the run
};

struct PreflightVerdict {
  std::vector<std::string> run_problems;         // each ends the run
  std::map<size_t, std::string> entry_problems;  // by place in the configuration
  std::vector<std::string> alerts;
  long launches = 0;
  long starts = 0;
  long vcpus_needed = 0;
  long interfaces = 0;
  long addresses = 0;
};

// The family of an instance type ("t3.micro" -> "t", "inf2.xlarge" -> "inf", "u-6tb1.metal" -> "u").
std::string instanceFamily(const std::string& instance_type);
// The Service Quotas code and name of the On-Demand vCPU quota an instance type counts against;
// absent for families without a known code.
std::optional<std::pair<std::string, std::string>> vcpuQuotaOf(const std::string& instance_type);

// The judgement: every problem the facts show, not only the first.
PreflightVerdict judgePreflight(const PreflightFacts& facts);

// The dry run's plan: one line per entry, then one line of totals.
std::vector<std::string> planLines(const PreflightFacts& facts, const PreflightVerdict& verdict,
                                   const std::map<size_t, std::string>& labels);

// Extra clients the preflight uses when the driver has them (tests may leave them out).
struct PreflightClients {
  const AwsClient* sts = nullptr;
  const AwsClient* quotas = nullptr;
  std::optional<int> vcpus_per_instance;  // the type's DefaultVCpus when the image selection read it
};

// The lookups and authorization checks: fills what `facts` does not hold yet (entries, subnets
// and the VPC come filled). `launch_request`: the RunInstances request of the first entry to launch.
void gatherPreflightFacts(const AwsClient& ec2_client, const AwsClient& iam_client, const PreflightClients& clients,
                          const std::optional<json>& launch_request, PreflightFacts& facts, const Args& args);

}  // namespace quenfold_testlibs
