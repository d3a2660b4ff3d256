// One test instance per gateway subnet: found by its Name tag or launched, then wired up with a
// public address, a tagged primary interface and a second interface in the private subnet.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

#include "awsapi/base/error.h"
#include "core/app_exit_status.h"
#include "core/clock.h"
#include "core/exceptions.h"
#include "core/exit_request.h"
#include "core/raised.h"
#include "core/retry.h"
#include "deploy_test_ec2/common/progress.h"
#include "deploy_test_ec2/common/tags.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/deploy/deploy.h"
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

// The instance createEc2 found or launched.
struct TestInstance {
  std::string id;
  std::optional<json> private_interface;  // its interface in the private subnet, when it has one
  bool ready = false;                     // running with its status checks ok, as just waited for
};

// Ids of the instance's interfaces in `subnet_id`.
std::vector<std::string> interfacesIn(const json& instance, const std::string& subnet_id) {
  std::vector<std::string> ids;
  for (const auto& ni : instance.value("NetworkInterfaces", json::array())) {
    if (ni.value("SubnetId", "") == subnet_id) ids.push_back(ni.at("NetworkInterfaceId").get<std::string>());
  }
  return ids;
}

// The instance as described once it shows a public address, or after the second pause without one.
json waitForPublicIp(const AwsClient& ec2_client, const std::string& insId, json instance) {
  for (int pauses = 0; !instance.contains("PublicIpAddress") && pauses < 2; ++pauses) {
    core::the_clock().sleep_for(kPublicIpPause);
    instance = describeInstance(ec2_client, insId);
  }
  return instance;
}

// For a running instance: a public address on its gateway-subnet interface (an Elastic IP with
// --eip), and the address as the entry's ec2_ip. False when no public address came, which ends
// the wiring. A new instance's primary interface has its tags from the launch request already.
bool givePublicAddress(const AwsClient& ec2_client, const TestInstance& ins, const TestSubnet& subnet,
                       const SharedResources& shared, const Args& args, json& test_config) {
  auto log = lib::logger();
  json instance = describeInstance(ec2_client, ins.id);
  const std::vector<std::string> networkInfIds = interfacesIn(instance, subnet.gw_subnet_id);
  // With --eip an instance holding only a plain public address (found from an earlier run, or
  // given one by its subnet) gets an Elastic IP too: a plain address changes at every stop/start.
  const bool needsAddress =
      args.eip && shared.eip_holders ? shared.eip_holders->count(ins.id) == 0 : !hasPublicIp(instance);
  if (needsAddress && args.eip && args.dry_run) {
    // A dry run allocates nothing: the instance keeps the address it has.
    log->info("  A run would allocate an Elastic IP for " + ins.id);
  } else if (needsAddress) {
    if (args.eip) {
      if (networkInfIds.empty()) {
        throw std::runtime_error("instance " + ins.id + " has no interface in " + subnet.gw_subnet_id);
      }
      associateEIP(ec2_client, networkInfIds.front(), instance.value("VpcId", ""), args);
    }
    instance = describeInstance(ec2_client, ins.id);
  }
  log->info("- Created quenfold-test-ec2 in " + subnet.private_subnet_id);
  instance = waitForPublicIp(ec2_client, ins.id, std::move(instance));
  if (!instance.contains("PublicIpAddress")) {
    log->error((args.eip ? "  Failed to allocate and associate EIP to " : "  Failed to allocate public IP to ") +
               ins.id);
    return false;
  }
  const std::string ip = instance["PublicIpAddress"].get<std::string>();
  log->info("  public ip: " + ip);
  test_config["ec2_ip"] = ip;
  return true;
}

// Second phase of createEc2: public address, interface tags and ec2_ip (for a running instance),
// then the second interface and its address.
void wireUpInstance(const AwsClient& ec2_client, const TestInstance& ins, const TestSubnet& subnet,
                    const SharedResources& shared, const Args& args, json& test_config) {
  core::Step step;
  bool running = ins.ready;
  if (!running) {
    json status = ec2_client.describe_instance_status({{"InstanceIds", {ins.id}}});
    running = !status.value("InstanceStatuses", json::array()).empty();
  }
  if (running && !givePublicAddress(ec2_client, ins, subnet, shared, args, test_config)) return;
  std::optional<json> second = ins.private_interface;
  if (!second)
    second = createNetworkfInterface(ec2_client, ins.id, subnet.private_subnet_id, shared.sg_id_private_inf, args);
  try {
    lookupInf2PrivateIp(ec2_client, ins.id, test_config, second ? &*second : nullptr);
  } catch (const std::exception& e) {
    lib::logError(e.what(), &e);
  }
}
}  // namespace

namespace {
// An InvalidParameterValue about the instance profile: a profile just made is unknown to EC2 for
// a while. Any other (an image of the wrong architecture, say) will not go away by waiting.
bool aboutInstanceProfile(const std::string& message) {
  std::string lower;
  for (char c : message) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("iaminstanceprofile") != std::string::npos || lower.find("instance profile") != std::string::npos;
}

// Why an instance's wait ended without it becoming usable: the impaired check, else its state with
// AWS's StateReason, read from the instance itself; a wait that ended otherwise (an error answer,
// its attempts used up while the instance runs) says so itself.
std::string whyNotReady(const AwsClient& ec2_client, const std::string& insId, const awsapi::WaiterError& e) {
  // A wait ended by an error answer has no last answer to read.
  const json last = e.last_response().is_object() ? e.last_response() : json::object();
  for (const auto& st : last.value("InstanceStatuses", json::array())) {
    for (const char* check : {"SystemStatus", "InstanceStatus"}) {
      if (st.value(check, json::object()).value("Status", "") == "impaired") {
        return std::string("its status check ") + check + " is impaired";
      }
    }
  }
  if (!e.code().empty()) return e.what();
  try {
    const json instance = describeInstance(ec2_client, insId);
    const std::string state = instance.value("State", json::object()).value("Name", "");
    if (state != "shutting-down" && state != "terminated" && state != "stopping" && state != "stopped") return e.what();
    std::string why = "it is " + state;
    const json reason = instance.value("StateReason", json::object());
    const std::string code = reason.value("Code", "");
    const std::string message = reason.value("Message", "");
    // AWS's message usually starts with its code already.
    if (!message.empty())
      why += ": " + (message.rfind(code, 0) == 0 ? message : code + ": " + message);
    else if (!code.empty())
      why += ": " + code;
    return why;
  } catch (const std::exception&) {
    return e.what();
  }
}

// Waits for the instance to run with its status checks ok. False, with one error line naming the
// instance and AWS's reason, when it died, stopped or was impaired instead.
bool waitUntilReady(const AwsClient& ec2_client, const std::string& insId, const TestSubnet& subnet) {
  try {
    // IncludeAllInstances: an instance that is not running is listed too, so the wait ends on it.
    ec2_client.get_waiter("instance_status_ok").wait({{"InstanceIds", {insId}}, {"IncludeAllInstances", true}});
    return true;
  } catch (const awsapi::WaiterError& e) {
    const std::string why = whyNotReady(ec2_client, insId, e);
    lib::recordError("Instance " + insId + " in " + subnet.gw_subnet_id + " is not usable: " + why,
                     insId + " in " + subnet.gw_subnet_id + " is not usable");
    return false;
  }
}

// The tool's live instances in the gateway subnet. More than one (two pipelines at once, a retried
// job) fails the entry: launching yet another would only pile them up.
std::vector<FoundEc2> liveEc2s(const AwsClient& ec2_client, const TestSubnet& subnet, const SharedResources& shared) {
  std::vector<FoundEc2> live;
  std::vector<FoundEc2> found;
  if (shared.found) {
    auto it = shared.found->find(subnet.gw_subnet_id);
    if (it != shared.found->end()) found = it->second;
  } else {
    found = findEc2s(ec2_client, subnet.gw_subnet_id);
  }
  for (auto& f : found) {
    if (isLive(f.state)) live.push_back(std::move(f));
  }
  if (live.size() > 1) {
    std::string ids;
    for (const auto& f : live) ids += (ids.empty() ? "" : ", ") + f.id;
    lib::recordError(std::string("More than one ec2 with tag Name:") + kInstanceName + " found in " +
                         subnet.gw_subnet_id + ": " + ids + "; launch none (terminate the extra ones, or revert)",
                     "more than one test instance in " + subnet.gw_subnet_id);
  }
  return live;
}

// Starts a stopped (or stopping) instance found from an earlier run.
void startInstance(const AwsClient& ec2_client, const FoundEc2& found) {
  auto log = lib::logger();
  if (found.state == "stopping") {
    log->info("  Instance " + found.id + " is stopping, wait for it to stop");
    ec2_client.get_waiter("instance_stopped").wait({{"InstanceIds", {found.id}}});
  }
  log->info("  Start stopped instance " + found.id);
  ec2_client.start_instances({{"InstanceIds", {found.id}}});
}
}  // namespace

json launchRequest(const std::string& ami, const TestSubnet& subnet, const SharedResources& shared,
                   const std::optional<std::string>& profile, const Args& args) {
  json nic = {{"DeviceIndex", 0}, {"SubnetId", subnet.gw_subnet_id}};
  // With --eip the instance asks for no public address whatever its subnet would give, so that it
  // gets an Elastic IP below; without, it asks for one whatever the subnet says.
  nic["AssociatePublicIpAddress"] = !args.eip;
  if (shared.sg_id) nic["Groups"] = json::array({*shared.sg_id});
  // The volumes carry the instance's tags (policies that require tags judge them too), and the
  // primary interface its own from its first moment, so that a run that dies before wireUpInstance
  // tags the interface leaves nothing untagged.
  json tags = tagSpecifications("instance", kInstanceName, args);
  tags.push_back(tagSpecifications("volume", kInstanceName, args).at(0));
  tags.push_back(tagSpecifications("network-interface", kInterfaceName, args).at(0));
  json data = {{"InstanceType", args.instance_type.value_or("t3.micro")},
               {"MinCount", 1},
               {"MaxCount", 1},
               {"ImageId", ami},
               {"TagSpecifications", tags},
               {"NetworkInterfaces", json::array({nic})}};
  if (profile) data["IamInstanceProfile"] = json{{"Name", *profile}};
  if (shared.key_name) data["KeyName"] = *shared.key_name;
  // An image made for IMDSv2 only gets it asked for explicitly, as organisation policies demand
  // (ec2:MetadataHttpTokens); an older image keeps the metadata options it was made with.
  if (args.image_imds_support == "v2.0")
    data["MetadataOptions"] = json{{"HttpTokens", "required"}, {"HttpEndpoint", "enabled"}};
  return data;
}

std::string LaunchGate::closedFor(const std::string& zone) const {
  std::lock_guard lk(mu_);
  if (!account_.empty()) return account_;
  const auto it = zones_.find(zone);
  return it == zones_.end() ? std::string() : it->second;
}

void LaunchGate::refused(const std::string& code, const std::string& zone) {
  static const std::set<std::string> account = {"VcpuLimitExceeded", "InstanceLimitExceeded", "PendingVerification",
                                                "Blocked"};
  // InsufficientInstanceCapacity closes its zone through noCapacity, once its retries are spent.
  static const std::set<std::string> zonal = {"Unsupported"};
  std::lock_guard lk(mu_);
  if (account.count(code)) {
    if (account_.empty()) account_ = code + " refused an earlier launch of this run, for the whole account";
  } else if (zonal.count(code) && !zone.empty()) {
    zones_.try_emplace(zone, code + " refused an earlier launch of this run into " + zone);
  }
}

bool LaunchGate::noCapacity(const std::string& zone, const std::string& message) {
  constexpr auto kTryEvery = std::chrono::seconds(15);
  constexpr auto kTriesFor = std::chrono::seconds(60);
  const auto now = core::the_clock().monotonic();
  std::lock_guard lk(mu_);
  auto [it, first] = held_.try_emplace(zone, Hold{now, now, false});
  Hold& hold = it->second;
  hold.trying = false;
  if (!first && now - hold.since >= kTriesFor) {
    zones_.try_emplace(zone, "InsufficientInstanceCapacity in " + (zone.empty() ? "its zone" : zone) +
                                 " after a minute of retries: " + message);
    return false;
  }
  hold.next_try = now + kTryEvery;
  return true;
}

std::chrono::milliseconds LaunchGate::heldFor(const std::string& zone) {
  // A launch waiting while another tries the zone asks again this often.
  constexpr auto kAskEvery = std::chrono::seconds(1);
  const auto now = core::the_clock().monotonic();
  std::lock_guard lk(mu_);
  const auto it = held_.find(zone);
  if (it == held_.end() || zones_.count(zone)) return std::chrono::milliseconds(0);
  Hold& hold = it->second;
  if (hold.trying) return kAskEvery;
  if (now < hold.next_try) return std::chrono::ceil<std::chrono::milliseconds>(hold.next_try - now);
  hold.trying = true;
  return std::chrono::milliseconds(0);
}

void LaunchGate::done(const std::string& zone, bool launched) {
  std::lock_guard lk(mu_);
  const auto it = held_.find(zone);
  if (it == held_.end()) return;
  if (launched)
    held_.erase(it);
  else
    it->second.trying = false;
}

void LaunchGate::pace() {
  constexpr double kBurst = 5;
  constexpr double kPerSecond = 2;
  auto& clock = core::the_clock();
  double behind = 0;
  {
    std::lock_guard lk(mu_);
    const auto now = clock.monotonic();
    if (!started_) {
      started_ = true;
      tokens_ = kBurst;
      last_ = now;
    }
    const double refill = std::chrono::duration<double>(now - last_).count() * kPerSecond;
    tokens_ = std::min(kBurst, tokens_ + std::max(0.0, refill));
    last_ = now;
    // A launch takes its token now; one that goes below zero waits for the refill it reserved.
    tokens_ -= 1;
    behind = -tokens_;
  }
  if (behind > 0)
    clock.sleep_for(std::chrono::milliseconds(static_cast<long long>(std::ceil(behind / kPerSecond * 1000))));
}

std::optional<std::string> createEc2WithRetry(const AwsClient& ec2_client, const json& data) {
  return createEc2WithRetry(ec2_client, data, nullptr, "");
}

std::optional<std::string> createEc2WithRetry(const AwsClient& ec2_client, const json& data, LaunchGate* gate,
                                              const std::string& zone) {
  core::Step step;
  const std::string profile =
      data.contains("IamInstanceProfile") ? data["IamInstanceProfile"].value("Name", "") : std::string();
  auto attempt = [&]() -> std::optional<std::string> {
    auto log = lib::logger();
    try {
      json resp = ec2_client.run_instances(data);
      std::string insId = resp.at("Instances").at(0).at("InstanceId").get<std::string>();
      log->info(std::string("  Instance ") + kInstanceName + " " + insId + " created in " +
                data.at("NetworkInterfaces").at(0).at("SubnetId").get<std::string>());
      return insId;
    } catch (const awsapi::ClientError& e) {
      if (e.code() == "InvalidParameterValue" && !profile.empty() && aboutInstanceProfile(e.what())) {
        log->info("  Instance profile " + profile + " is not ready, retry in 10 sec");
        throw InvalidParameterValueException();
      }
      if (e.code() == "InsufficientInstanceCapacity" && gate && gate->noCapacity(zone, e.message())) {
        log->info("  No capacity for " + data.value("InstanceType", std::string("the instance type")) + " in " +
                  (zone.empty() ? "its zone" : zone) + ", retry in 15 sec");
        throw LaunchGate::TryAgain{};
      }
      log->error(std::string("  **Error** ") + e.what());
      lib::explainFirstDenial(e.what());
      if (gate) gate->refused(e.code(), zone);
      return std::nullopt;
    } catch (const std::exception& e) {
      lib::logError(e.what(), &e);
      return std::nullopt;
    }
  };
  return core::retry<InvalidParameterValueException>(6, kLaunchRetryDelay, attempt);
}

std::string resolveInstanceProfile(const AwsClient& iam_client, const std::string& role) {
  core::Step step;
  json resp;
  try {
    resp = iam_client.list_instance_profiles_for_role({{"RoleName", role}});
  } catch (const awsapi::ClientError& e) {
    lib::failRun(e.code() == "NoSuchEntity" ? "role not found " + role : std::string(e.what()));
  } catch (const std::exception& e) {
    lib::failRun(e.what(), &e);
  }
  const json profiles = resp.value("InstanceProfiles", json::array());
  if (profiles.empty()) lib::failRun("no instance profile found for role " + role);
  // Profiles made outside the console rarely share the role's name: launch with the real one.
  return profiles.at(0).at("InstanceProfileName").get<std::string>();
}

namespace {
// The launch, in its turn under the launch rate and unless a wall met meanwhile holds it back; a
// launch not sent or refused is recorded as the entry's failure.
std::optional<std::string> launchThroughTheGate(const AwsClient& ec2_client, const json& data, const TestSubnet& subnet,
                                                const SharedResources& shared) {
  if (!shared.gate) {
    std::optional<std::string> insId = createEc2WithRetry(ec2_client, data);
    if (!insId) core::AppExitStatus::recordFailure("launch in " + subnet.gw_subnet_id + " failed");
    return insId;
  }
  LaunchGate& gate = *shared.gate;
  const auto zone = shared.zone_of.find(subnet.gw_subnet_id);
  const std::string zoneName = zone == shared.zone_of.end() ? std::string() : zone->second;
  for (;;) {
    // A zone without capacity is tried by one launch at a time; the others wait their turn.
    for (auto wait = gate.heldFor(zoneName); wait.count() > 0; wait = gate.heldFor(zoneName))
      core::the_clock().sleep_for(wait);
    gate.pace();
    if (const std::string wall = gate.closedFor(zoneName); !wall.empty()) {
      gate.done(zoneName, false);
      lib::recordError("launch in " + subnet.gw_subnet_id + " not sent: " + wall,
                       "launch in " + subnet.gw_subnet_id + " not sent");
      return std::nullopt;
    }
    std::optional<std::string> insId;
    try {
      insId = createEc2WithRetry(ec2_client, data, &gate, zoneName);
    } catch (const LaunchGate::TryAgain&) {
      continue;
    } catch (...) {
      gate.done(zoneName, false);
      throw;
    }
    gate.done(zoneName, insId.has_value());
    if (!insId) core::AppExitStatus::recordFailure("launch in " + subnet.gw_subnet_id + " failed");
    return insId;
  }
}
}  // namespace

void createEc2(const AwsClient& ec2_client, const AwsClient& iam_client, const std::string& ami,
               const TestSubnet& subnet, const Args& args, json& test_config, const SharedResources& shared) {
  core::Step step;
  auto log = lib::logger();
  std::optional<std::string> profile = shared.instance_profile;
  if (args.ec2_role && *args.ec2_role != "default") {
    if (!profile) profile = resolveInstanceProfile(iam_client, *args.ec2_role);
    log->info("- Assign role " + *args.ec2_role + " to " + kInstanceName);
  }
  log->info(std::string("- Create ") + kInstanceName + " in private " + subnet.private_subnet_id);

  std::vector<FoundEc2> live = liveEc2s(ec2_client, subnet, shared);
  if (live.size() > 1) return;

  TestInstance ins;
  if (live.empty()) {
    log->info(std::string("  No ec2 with tag Name:") + kInstanceName + " found in " + subnet.gw_subnet_id);
    const json data = launchRequest(ami, subnet, shared, profile, args);
    if (args.dry_run) return;
    std::optional<std::string> insId = launchThroughTheGate(ec2_client, data, subnet, shared);
    if (!insId) return;
    ins.id = std::move(*insId);
  } else {
    FoundEc2& found = live.front();
    ins.id = found.id;
    ins.private_interface = std::move(found.other_interface);
    if (found.state == "stopped" || found.state == "stopping") {
      if (args.dry_run) {
        log->info("  Instance " + found.id + " is " + found.state + ": a run would start it");
        return;
      }
      startInstance(ec2_client, found);
    } else if (args.dry_run) {
      // A dry run changes nothing, so it waits for nothing either.
      wireUpInstance(ec2_client, ins, subnet, shared, args, test_config);
      return;
    }
  }
  progressLaunched();
  if (!waitUntilReady(ec2_client, ins.id, subnet)) return;
  progressReady();
  ins.ready = true;
  wireUpInstance(ec2_client, ins, subnet, shared, args, test_config);
}

}  // namespace quenfold_testlibs
