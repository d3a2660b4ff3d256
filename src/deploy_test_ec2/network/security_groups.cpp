// The public SSH group, which admits only the caller's own address, and the private-interface
// group, which admits nothing. Both are found again by VPC and name on every run.
#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>

#include "awsapi/base/environment.h"
#include "awsapi/base/error.h"
#include "awsapi/transport/http.h"
#include "core/app_exit_status.h"
#include "core/clock.h"
#include "core/exit_request.h"
#include "deploy_test_ec2/common/tags.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/lookup/lookup.h"
#include "deploy_test_ec2/network/network.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

namespace {
constexpr const char* kDefaultEchoUrl = "https://api.ipify.org";
// How long a group in use is asked again before its deletion counts as failed (nominal time),
// and the pauses between the attempts.
constexpr auto kGroupInUseBound = std::chrono::seconds(120);
constexpr auto kGroupInUseFirstPause = std::chrono::seconds(1);
constexpr auto kGroupInUseMaxPause = std::chrono::seconds(20);

std::mutex g_echo_mu;
std::function<std::string()> g_echo_override;

constexpr const char* kSshRuleDescription = "SSH access from the workflow engine";
// From this many of the tool's SSH rules on, a reused group is said to be filling up: AWS allows
// 60 inbound rules per group by default, and each new caller address adds one.
constexpr size_t kSshRulesAlert = 50;

// SSH from the caller's own address alone.
json sshRule(const std::string& group_id, const std::string& ip) {
  return {{"GroupId", group_id},
          {"IpPermissions",
           json::array({json{
               {"IpProtocol", "tcp"},
               {"FromPort", 22},
               {"ToPort", 22},
               {"IpRanges", json::array({json{{"CidrIp", ip + "/32"}, {"Description", kSshRuleDescription}}})}}})}};
}

// The group `sg_name` of the VPC as DescribeSecurityGroups shows it, rules included.
std::optional<json> findGroup(const AwsClient& ec2_client, const std::string& vpc_id, const std::string& sg_name) {
  try {
    json resp = ec2_client.describe_security_groups(
        {{"Filters", json::array({json{{"Name", "vpc-id"}, {"Values", {vpc_id}}},
                                  json{{"Name", "group-name"}, {"Values", {sg_name}}}})}});
    const json& groups = resp.value("SecurityGroups", json::array());
    if (groups.empty()) return std::nullopt;
    return groups[0];
  } catch (const awsapi::ClientError& e) {
    // Only "no such group" means absent; any other failure leaves the answer unknown.
    if (e.code() != "InvalidGroup.NotFound") throw;
    lib::logger()->error("  **Error** SG not found " + sg_name + " in " + vpc_id);
    return std::nullopt;
  }
}

// The tool's own SSH rules of a group, known by their description.
size_t toolSshRules(const json& group) {
  size_t n = 0;
  for (const auto& permission : group.value("IpPermissions", json::array())) {
    for (const auto& range : permission.value("IpRanges", json::array()))
      n += range.value("Description", "") == kSshRuleDescription ? 1 : 0;
  }
  return n;
}

// Adds the SSH rule for `ip`. A group with no room for it ends the run, naming the limit and the
// ways out; so does any other refusal but "the rule is there". Returns whether a rule was added.
bool authorizeSsh(const AwsClient& ec2_client, const std::string& group_id, const std::string& ip) {
  try {
    ec2_client.authorize_security_group_ingress(sshRule(group_id, ip));
    return true;
  } catch (const awsapi::ClientError& e) {
    if (e.code() == "InvalidPermission.Duplicate") return false;
    if (e.code() == "RulesPerSecurityGroupLimitExceeded") {
      lib::failRun(std::string("SG ") + kSgName + " " + group_id + " has no room for the SSH rule of " + ip +
                       "/32: it holds as many rules as its limit allows (AWS's default is 60 inbound rules per "
                       "group); revert to remove the tool's old SSH rules, or ask AWS for a higher limit",
                   &e);
    }
    throw;
  }
}

// A reused SSH group: an earlier run may have died before its rule was added, or the caller's
// address changed, so the rule for today's address is added when it lacks it. Without an address
// (the IP echo cannot be reached) the group keeps the rules it has and the run goes on.
void completeSshGroup(const AwsClient& ec2_client, const json& group, const Args& args) {
  auto log = lib::logger();
  const std::string id = group.value("GroupId", "");
  size_t rules = toolSshRules(group);
  std::optional<std::string> ip;
  try {
    ip = lookupCallerPublicIp();
  } catch (const std::exception& e) {
    log->info(std::string("  **Alert** The caller's public address cannot be read (") + e.what() + "); SG " + kSgName +
              " " + id + " keeps its rules as they are");
  }
  if (ip && !args.dry_run && authorizeSsh(ec2_client, id, *ip)) {
    log->info("  SSH rule for " + *ip + "/32 added");
    ++rules;
  }
  if (rules >= kSshRulesAlert) {
    log->info(std::string("  **Alert** SG ") + kSgName + " " + id + " holds " + std::to_string(rules) +
              " SSH rules of this tool, one per address it was deployed from (AWS's default limit is 60 "
              "rules per group); a revert removes them");
  }
}
}  // namespace

json findToolGroups(const AwsClient& ec2_client, const std::string& vpc_id) {
  const json filters =
      json::array({vpcFilter(vpc_id), json{{"Name", "group-name"}, {"Values", {kSgName, kPrivateSgName}}}});
  return allPages(ec2_client, "DescribeSecurityGroups", {{"Filters", filters}}, "SecurityGroups");
}

json securityGroupRequest(const std::string& name, const std::string& vpc_id, const Args& args) {
  return json{{"Description", kGroupDescription},
              {"GroupName", name},
              {"VpcId", vpc_id},
              {"TagSpecifications", tagSpecifications("security-group", name, args)}};
}

bool isIpv4Address(const std::string& text) {
  in_addr addr{};
  // inet_pton accepts exactly the dotted-quad form (no octal, no shortened forms).
  return text.size() <= 15 && inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

void setPublicIpSource(std::function<std::string()> source) {
  std::lock_guard lk(g_echo_mu);
  g_echo_override = std::move(source);
}

std::string lookupCallerPublicIp() {
  {
    std::lock_guard lk(g_echo_mu);
    if (g_echo_override) return g_echo_override();
  }
  auto env = awsapi::Environment::from_process();
  std::string base = env.get("QUENFOLD_IP_ECHO_URL").value_or(kDefaultEchoUrl);
  while (!base.empty() && base.back() == '/') base.pop_back();
  awsapi::HttpRequest req;
  req.method = "GET";
  req.url = base + "/?format=json";
  req.connect_timeout = std::chrono::seconds(10);
  req.timeout = std::chrono::seconds(10);
  auto resp = awsapi::make_curl_transport(env)->send(req);
  json body = json::parse(resp.body);  // throws on a body that is not JSON
  if (resp.status != 200) {
    throw std::runtime_error("IP echo service " + base + " answered HTTP " + std::to_string(resp.status));
  }
  if (!body.is_object() || !body.contains("ip") || !body["ip"].is_string() ||
      !isIpv4Address(body["ip"].get<std::string>())) {
    throw std::runtime_error("IP echo service " + base + " did not answer with an IPv4 address");
  }
  return body["ip"].get<std::string>();
}

std::optional<std::string> getSgId(const AwsClient& ec2_client, const std::string& vpc_id, const std::string& sg_name) {
  const std::optional<json> group = findGroup(ec2_client, vpc_id, sg_name);
  if (!group) return std::nullopt;
  return group->at("GroupId").get<std::string>();
}

std::optional<std::string> createSG(const AwsClient& ec2_client, const std::string& vpc_id, const Args& args) {
  auto log = lib::logger();
  if (const std::optional<json> group = findGroup(ec2_client, vpc_id, kSgName)) {
    const std::string id = group->at("GroupId").get<std::string>();
    log->info(std::string("- Reuse existing SG ") + kSgName + " " + id + " in " + vpc_id);
    try {
      completeSshGroup(ec2_client, *group, args);
    } catch (const std::exception& e) {
      lib::reportError(e);
      throw core::ExitRequest{1};
    }
    return id;
  }
  json request = securityGroupRequest(kSgName, vpc_id, args);
  log->info(std::string("- Create SG ") + kSgName + " in " + vpc_id);
  try {
    const std::string ip = lookupCallerPublicIp();
    if (args.dry_run) return std::nullopt;
    std::string id = ec2_client.create_security_group(request).at("GroupId").get<std::string>();
    log->info("  " + id);
    authorizeSsh(ec2_client, id, ip);
    return id;
  } catch (const std::exception& e) {
    lib::reportError(e);
    throw core::ExitRequest{1};
  }
}

std::optional<std::string> createPrivateInfSG(const AwsClient& ec2_client, const std::string& vpc_id,
                                              const Args& args) {
  auto log = lib::logger();
  if (auto id = getSgId(ec2_client, vpc_id, kPrivateSgName)) {
    log->info(std::string("- Reuse existing SG ") + kPrivateSgName + " " + *id + " in " + vpc_id);
    return id;
  }
  json request = securityGroupRequest(kPrivateSgName, vpc_id, args);
  log->info(std::string("- Create SG ") + kPrivateSgName + " in " + vpc_id);
  try {
    if (args.dry_run) return std::nullopt;
    std::string id = ec2_client.create_security_group(request).at("GroupId").get<std::string>();
    log->info("  " + id);
    return id;
  } catch (const std::exception& e) {
    lib::reportError(e);
    throw core::ExitRequest{1};
  }
}

void deleteSG(const AwsClient& ec2_client, const std::string& sgId, const Args& args) {
  if (args.dry_run) return;
  // EC2 releases a terminated instance's interfaces some time after it reports the instance
  // terminated; until then the group answers DependencyViolation. It is asked again, with growing
  // pauses, for a bounded time.
  auto& clock = core::the_clock();
  const auto deadline = clock.monotonic() + kGroupInUseBound;
  std::chrono::seconds pause = kGroupInUseFirstPause;
  for (;;) {
    try {
      ec2_client.delete_security_group({{"GroupId", sgId}});
      return;
    } catch (const awsapi::ClientError& e) {
      if (e.code() == "DependencyViolation" && clock.monotonic() + pause <= deadline) {
        lib::logger()->info("  SG " + sgId + " is still in use (DependencyViolation); retry in " +
                            std::to_string(pause.count()) + " s");
        clock.sleep_for(pause);
        pause = std::min(pause * 2, kGroupInUseMaxPause);
        continue;
      }
      if (awsapi::is_not_found(e)) return;  // deleted already
      lib::recordError("Failed to delete SG " + sgId + ": " + e.what(),
                       "security group " + sgId + " could not be deleted", &e);
      return;
    } catch (const std::exception& e) {
      lib::recordError("Failed to delete SG " + sgId + ": " + e.what(),
                       "security group " + sgId + " could not be deleted", &e);
      return;
    }
  }
}

}  // namespace quenfold_testlibs
