// The deployment driver: shared resources once, then one worker per entry with a private subnet,
// then the output file.
#include <algorithm>
#include <array>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "awsapi/base/error.h"
#include "core/app_exit_status.h"
#include "core/entry_outcomes.h"
#include "core/exit_request.h"
#include "core/interrupt.h"
#include "core/raised.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/common/workers.h"
#include "deploy_test_ec2/deploy/deploy.h"
#include "deploy_test_ec2/deploy/preflight.h"
#include "deploy_test_ec2/iam/iam.h"
#include "deploy_test_ec2/keypair/keypair.h"
#include "deploy_test_ec2/network/network.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

namespace {
// A value as text, the way it reads in a log line ("None" for null).
std::string asText(const json& v) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_null()) return "None";
  if (v.is_boolean()) return v.get<bool>() ? "True" : "False";
  return v.dump();
}

// The addresses a deployment writes into each entry.
constexpr std::array<const char*, 2> kAddressKeys = {"ec2_ip", "ec2_2nd_private_ip"};

// What every instance uses, made once: the two security groups, the key pair (unless --key_name
// names one) and, with --ec2_role default, the S3 policy, the role and the instance profile.
SharedResources createSharedResources(const AwsClient& ec2_client, const AwsClient* s3_client,
                                      const AwsClient& iam_client, const std::string& vpcId,
                                      const PreflightFacts& facts, const Args& args) {
  SharedResources shared;
  shared.sg_id = createSG(ec2_client, vpcId, args);
  shared.sg_id_private_inf = createPrivateInfSG(ec2_client, vpcId, args);
  shared.key_name = args.key_name;
  if (!shared.key_name) shared.key_name = createKeyPair(ec2_client, s3_client, vpcId, args);
  if (args.ec2_role && *args.ec2_role == "default" && args.dry_run) {
    // A dry run only looks: the preflight found which IAM objects a run would create.
    for (const auto& what : facts.iam_to_create) lib::logger()->info("- IAM: a run would create " + what);
    if (facts.iam_to_create.empty()) shared.instance_profile = kInstanceProfileName;
  } else if (args.ec2_role && *args.ec2_role == "default") {
    const std::string policyArn = createS3Policy(iam_client, args);
    createEc2Role(iam_client, policyArn, args);
    createInstanceProfile(iam_client, args);
    shared.instance_profile = kInstanceProfileName;
  } else if (args.ec2_role) {
    shared.instance_profile = resolveInstanceProfile(iam_client, *args.ec2_role);
  }
  return shared;
}

// How the summary line names an entry: its gw_name, else its gateway subnet.
std::string entryLabel(const json& entry) {
  if (entry.contains("gw_name") && entry["gw_name"].is_string()) return entry["gw_name"].get<std::string>();
  return asText(entry.value("gw_subnet_id", json()));
}

// Places in the configuration of the entries with a private subnet; each other entry is skipped
// with an error line.
std::vector<size_t> entriesToDeploy(const json& config) {
  std::vector<size_t> selected;
  for (size_t i = 0; i < config.size(); ++i) {
    const json& entry = config[i];
    if (!entry.at("private_subnet_id").get<std::string>().empty()) {
      selected.push_back(i);
    } else {
      lib::logError("Skip " + asText(entry.value("nat_gw_id", json())) + " -- private_subnet_id not defined");
    }
  }
  return selected;
}

// The VPC's subnets as the preflight judges them: zone, free addresses, Block Public Access mode.
std::map<std::string, SubnetFacts> subnetFacts(const AwsClient& ec2_client, const std::string& vpcId) {
  core::Step step;
  std::map<std::string, SubnetFacts> facts;
  const json subnets =
      allPages(ec2_client, "DescribeSubnets", {{"Filters", json::array({vpcFilter(vpcId)})}}, "Subnets");
  for (const auto& sn : subnets) {
    SubnetFacts& f = facts[sn.value("SubnetId", "")];
    f.zone = sn.value("AvailabilityZone", "");
    if (sn.contains("AvailableIpAddressCount") && sn["AvailableIpAddressCount"].is_number_integer())
      f.free_addresses = sn["AvailableIpAddressCount"].get<long>();
    f.block_mode = sn.value("BlockPublicAccessStates", json::object()).value("InternetGatewayBlockMode", "");
  }
  return facts;
}

// AWS attaches an interface only to an instance in its own zone: an entry whose private subnet is
// in another zone than its gateway subnet fails alone, with both zones named, before anything is
// made for it. Returns the places of those entries.
std::set<size_t> entriesAcrossZones(const std::map<std::string, SubnetFacts>& subnets, const json& config,
                                    const std::vector<size_t>& selected, const std::vector<size_t>& entryIndex) {
  std::map<std::string, std::string> zoneOf;
  for (const auto& [id, sn] : subnets) zoneOf[id] = sn.zone;
  std::set<size_t> failed;
  for (size_t i : selected) {
    const std::string gw = config[i].at("gw_subnet_id").get<std::string>();
    const std::string priv = config[i].at("private_subnet_id").get<std::string>();
    // A subnet outside the VPC is not judged here; the calls naming it will say what is wrong.
    if (!zoneOf.count(gw) || !zoneOf.count(priv) || zoneOf[gw] == zoneOf[priv]) continue;
    core::EntryScope scope(entryIndex[i]);
    std::string line = gw;
    line.append(": private subnet ").append(priv).append(" is in ").append(zoneOf[priv]);
    line.append(" and gateway subnet ").append(gw).append(" in ").append(zoneOf[gw]);
    line.append("; an instance can only attach an interface in its own zone");
    lib::recordError(line, gw + ": private subnet in another zone");
    failed.insert(i);
  }
  return failed;
}

// With --eip, before anything is made: the Elastic IPs the run will allocate (one per entry whose
// gateway subnet holds no instance of the tool with an address yet) must fit in what the region's
// quota leaves, else the run ends (exit 1) with the numbers. Returns the instances that hold an
// Elastic IP already.
std::set<std::string> checkAddressQuota(const AwsClient& ec2_client, const Ec2sBySubnet& found, const json& config,
                                        const std::vector<size_t>& selected, PreflightFacts& facts) {
  core::Step step;
  auto log = lib::logger();
  const json addresses = ec2_client.describe_addresses(json::object()).value("Addresses", json::array());
  std::set<std::string> holders;
  for (const auto& a : addresses) {
    if (a.contains("InstanceId") && a["InstanceId"].is_string()) holders.insert(a["InstanceId"].get<std::string>());
  }
  std::map<std::string, std::vector<std::string>> liveIn;  // gateway subnet -> the tool's live instances
  for (const auto& [subnet, instances] : found) {
    for (const auto& f : instances)
      if (isLive(f.state)) liveIn[subnet].push_back(f.id);
  }
  std::set<std::string> gateways;
  for (size_t i : selected) gateways.insert(config[i].at("gw_subnet_id").get<std::string>());
  long needed = 0;
  for (const auto& gw : gateways) {
    const auto& ids = liveIn[gw];
    // More than one instance fails its entry without an address; one that holds an address needs none.
    if (ids.size() > 1 || (ids.size() == 1 && holders.count(ids[0]))) continue;
    ++needed;
  }
  const std::string region = ec2_client.region().value_or("this region");
  long quota = -1;
  try {
    json resp = ec2_client.describe_account_attributes({{"AttributeNames", {"vpc-max-elastic-ips"}}});
    for (const auto& attr : resp.value("AccountAttributes", json::array())) {
      if (attr.value("AttributeName", "") != "vpc-max-elastic-ips") continue;
      for (const auto& v : attr.value("AttributeValues", json::array()))
        quota = std::stol(v.value("AttributeValue", "-1"));
    }
  } catch (const awsapi::ClientError& e) {
    log->info("  The Elastic IP quota of " + region + " cannot be read (" + e.code() + "); " + std::to_string(needed) +
              " Elastic IPs needed");
    return holders;
  }
  if (quota < 0) return holders;
  const long left = std::max(0L, quota - static_cast<long>(addresses.size()));
  log->info("- Elastic IPs: " + std::to_string(needed) + " needed, " + std::to_string(left) + " left of " +
            std::to_string(quota) + " in " + region);
  facts.eips_left = left;
  if (needed > left) {
    facts.eip_problem = std::to_string(needed) + " Elastic IPs are needed and " + region + " has " +
                        std::to_string(left) + " left (quota " + std::to_string(quota) + ", " +
                        std::to_string(addresses.size()) +
                        " in use): release some, ask AWS for a higher quota, or deploy without --eip";
  }
  return holders;
}

// What the run will do for each entry, from the lookups.
std::vector<PreflightEntry> preflightEntries(const Ec2sBySubnet& found,
                                             const std::optional<std::set<std::string>>& eipHolders, const json& config,
                                             const std::vector<size_t>& toDeploy, const Args& args) {
  std::vector<PreflightEntry> entries;
  for (size_t i : toDeploy) {
    PreflightEntry e;
    e.index = i;
    e.gw_subnet = config[i].at("gw_subnet_id").get<std::string>();
    e.private_subnet = config[i].at("private_subnet_id").get<std::string>();
    std::vector<const FoundEc2*> live;
    if (auto it = found.find(e.gw_subnet); it != found.end()) {
      for (const auto& f : it->second)
        if (isLive(f.state)) live.push_back(&f);
    }
    if (live.size() > 1) {
      e.action = EntryAction::Duplicate;
    } else if (live.size() == 1) {
      e.instance_id = live[0]->id;
      e.action = live[0]->state == "stopped" || live[0]->state == "stopping" ? EntryAction::Start : EntryAction::Reuse;
      e.needs_interface = !live[0]->other_interface.has_value();
    }
    if (args.eip && e.action != EntryAction::Duplicate)
      e.needs_address = e.action == EntryAction::Launch || !eipHolders || !eipHolders->count(e.instance_id);
    entries.push_back(std::move(e));
  }
  return entries;
}

// The lookups and AWS's authorization checks, judged; alerts and problems logged, one line each.
PreflightVerdict preflight(const AwsClient& ec2_client, const AwsClient& iam_client, const PreflightClients& clients,
                           const std::string& ami, const json& config, PreflightFacts& facts, const Args& args) {
  std::optional<json> launch;
  for (const auto& e : facts.entries) {
    if (e.action != EntryAction::Launch) continue;
    const TestSubnet subnet{e.gw_subnet, e.private_subnet, asText(config[e.index].value("gw_private_ip", json()))};
    std::optional<std::string> profile;
    if (args.ec2_role && *args.ec2_role == "default") profile = kInstanceProfileName;
    launch = launchRequest(ami, subnet, SharedResources{}, profile, args);
    break;
  }
  gatherPreflightFacts(ec2_client, iam_client, clients, launch, facts, args);
  PreflightVerdict verdict = judgePreflight(facts);
  auto log = lib::logger();
  const size_t problems = verdict.run_problems.size() + verdict.entry_problems.size();
  log->info("- Preflight: " +
            (problems == 0 ? std::string("no problem found") : std::to_string(problems) + " problems"));
  for (const auto& a : verdict.alerts) log->info("  **Alert** " + a);
  for (const auto& p : verdict.run_problems) lib::logError(p);
  return verdict;
}

// Entries the preflight failed fail alone (one line each); a problem of the whole run ends it
// before anything is made, except in a dry run, which goes on to show its plan.
std::vector<size_t> applyVerdict(const PreflightVerdict& verdict, const std::vector<size_t>& toDeploy,
                                 std::set<size_t>& failedEarly, const std::vector<size_t>& entryIndex,
                                 const Args& args) {
  std::vector<size_t> left;
  for (size_t i : toDeploy) {
    auto p = verdict.entry_problems.find(i);
    if (p == verdict.entry_problems.end()) {
      left.push_back(i);
      continue;
    }
    core::EntryScope scope(entryIndex[i]);
    lib::recordError(p->second, p->second);
    failedEarly.insert(i);
  }
  if (!verdict.run_problems.empty()) {
    core::AppExitStatus::recordFailure("preflight: " + verdict.run_problems.front());
    if (!args.dry_run) {
      core::EntryOutcomes::noteFailure(verdict.run_problems.front());
      throw core::ExitRequest{1};
    }
  }
  return left;
}

// Addresses an earlier run left in the input must not pass for this run's: they are held aside
// (their places in the entry kept, marked discarded) and returned by entry, to be put back only
// where this run writes nothing.
std::map<size_t, json> holdAsideEarlierAddresses(json& config, const std::vector<size_t>& selected) {
  std::map<size_t, json> earlier;
  for (size_t i : selected) {
    for (const char* key : kAddressKeys) {
      if (!config[i].contains(key)) continue;
      earlier[i][key] = config[i][key];
      config[i][key] = json(json::value_t::discarded);
    }
  }
  return earlier;
}

// The private range must be a network (no host bits set); an entry whose range is not fails alone.
bool privateRangeIsUsable(const std::string& gw, const std::string& cidr) {
  try {
    ipv4InNetwork("0.0.0.0", cidr);
    return true;
  } catch (const std::invalid_argument& e) {
    // This entry's range cannot be used; the others go on.
    lib::recordError(gw + ": private_subnet_cidr " + cidr + " cannot be used: " + e.what(),
                     gw + ": unusable private_subnet_cidr");
    return false;
  }
}

// One worker per selected entry, each launching (or finding) and wiring up its entry's instance
// and writing its addresses into the entry.
void deployEntries(const AwsClient& ec2_client, const AwsClient& iam_client, const std::string& ami, json& config,
                   const std::vector<size_t>& selected, const std::vector<size_t>& entryIndex,
                   const SharedResources& shared, const Args& args) {
  std::vector<WorkerTask> threadPool;
  for (size_t i : selected) {
    json& entry = config[i];
    TestSubnet subnet{entry.at("gw_subnet_id").get<std::string>(), entry.at("private_subnet_id").get<std::string>(),
                      asText(entry.at("gw_private_ip"))};
    const std::string cidr = entry.at("private_subnet_cidr").get<std::string>();
    threadPool.push_back({subnet.gw_subnet_id,
                          [&, subnet, cidr, entryPtr = &entry] {
                            if (!privateRangeIsUsable(subnet.gw_subnet_id, cidr)) return;
                            createEc2(ec2_client, iam_client, ami, subnet, args, *entryPtr, shared);
                          },
                          entryIndex[i]});
  }
  runWorkers(threadPool, spawnThread, Progress::Kind::Launches);
}

// Puts the held-aside addresses back where this run wrote none. Returns, by entry, the addresses
// this run did not write ("ec2_ip and ec2_2nd_private_ip").
std::map<size_t, std::string> restoreEarlierAddresses(json& config, const std::vector<size_t>& selected,
                                                      const std::map<size_t, json>& earlier) {
  std::map<size_t, std::string> notWritten;
  for (size_t i : selected) {
    for (const char* key : kAddressKeys) {
      json& entry = config[i];
      if (entry.contains(key) && !entry[key].is_discarded()) continue;
      std::string& missing = notWritten[i];
      if (!missing.empty()) missing += " and ";
      missing += key;
      if (entry.contains(key)) entry[key] = earlier.at(i).at(key);
    }
  }
  return notWritten;
}

// Each entry left without an address of this run fails the run.
void recordMissingAddresses(const json& config, const std::map<size_t, std::string>& notWritten,
                            const std::map<size_t, json>& earlier, const std::set<size_t>& failedEarly,
                            const std::vector<size_t>& entryIndex) {
  for (const auto& [i, missing] : notWritten) {
    if (failedEarly.count(i)) continue;  // its error is logged already
    core::EntryScope scope(entryIndex[i]);
    std::string what = config[i].at("gw_subnet_id").get<std::string>();
    what.append(" has no ").append(missing);
    if (earlier.count(i)) what += " from this run";
    lib::recordError(what, what);
  }
}
}  // namespace

void deployEc2s(const AwsClient& ec2_client, const AwsClient* s3_client, const AwsClient& iam_client,
                const std::string& ami, const Args& args) {
  deployEc2s(ec2_client, s3_client, iam_client, ami, readTestConfig(args.test_config.value_or("")), args);
}

void deployEc2s(const AwsClient& ec2_client, const AwsClient* s3_client, const AwsClient& iam_client,
                const std::string& ami, json config, const Args& args) {
  deployEc2s(ec2_client, s3_client, iam_client, ami, std::move(config), args, PreflightClients{});
}

void deployEc2s(const AwsClient& ec2_client, const AwsClient* s3_client, const AwsClient& iam_client,
                const std::string& ami, json config, const Args& args, const PreflightClients& clients) {
  if (!config.is_array() || config.empty()) {
    throw TestConfigError("test configuration " + args.test_config.value_or("") + " must be a non-empty JSON list");
  }
  // The output is written with what is known, also when the run is interrupted half-way.
  auto writeOutput = [&] {
    const std::string out = args.output_test_config.value_or("");
    try {
      writeTestConfig(out, config);
    } catch (const std::exception& e) {
      lib::logger()->error(std::string("  **Error** ") + e.what() + "; the configuration follows on standard error");
      std::cerr << formatTestConfig(config) << std::flush;
      throw core::ExitRequest{1};
    }
  };
  const std::vector<size_t> selected = entriesToDeploy(config);
  std::vector<size_t> entryIndex(config.size());
  for (size_t i : selected) entryIndex[i] = core::EntryOutcomes::add(entryLabel(config[i]));

  std::set<size_t> failedEarly;
  std::vector<size_t> toDeploy;
  SharedResources shared;
  PreflightFacts facts;
  PreflightVerdict verdict;
  try {
    // What AWS would refuse is found before anything is made.
    const std::string vpcId = getVpcId(ec2_client, config.at(0).at("gw_subnet_id").get<std::string>());
    facts.vpc_id = vpcId;
    facts.region = ec2_client.region().value_or("this region");
    facts.instance_type = args.instance_type.value_or("t3.micro");
    facts.subnets = subnetFacts(ec2_client, vpcId);
    failedEarly = entriesAcrossZones(facts.subnets, config, selected, entryIndex);
    for (size_t i : selected) {
      if (!failedEarly.count(i)) toDeploy.push_back(i);
    }
    // One lookup of the tool's instances for every entry: per entry, it would cost a call each.
    Ec2sBySubnet found = toDeploy.empty() ? Ec2sBySubnet{} : findEc2sInVpc(ec2_client, vpcId);
    std::optional<std::set<std::string>> eipHolders;
    if (args.eip) eipHolders = checkAddressQuota(ec2_client, found, config, toDeploy, facts);
    if (!toDeploy.empty()) {
      facts.entries = preflightEntries(found, eipHolders, config, toDeploy, args);
      verdict = preflight(ec2_client, iam_client, clients, ami, config, facts, args);
      toDeploy = applyVerdict(verdict, toDeploy, failedEarly, entryIndex, args);
    }
    // When the preflight failed every entry, nothing is made.
    if (facts.entries.empty() || !toDeploy.empty())
      shared = createSharedResources(ec2_client, s3_client, iam_client, vpcId, facts, args);
    shared.eip_holders = std::move(eipHolders);
    for (const auto& [id, sn] : facts.subnets) shared.zone_of[id] = sn.zone;
    shared.found = std::move(found);
  } catch (const core::Interrupted&) {
    writeOutput();
    throw;
  }

  const std::map<size_t, json> earlier = holdAsideEarlierAddresses(config, selected);
  deployEntries(ec2_client, iam_client, ami, config, toDeploy, entryIndex, shared, args);
  const std::map<size_t, std::string> notWritten = restoreEarlierAddresses(config, selected, earlier);
  // A dry run launches no instance, so addresses missing then are expected.
  if (!args.dry_run) recordMissingAddresses(config, notWritten, earlier, failedEarly, entryIndex);
  if (args.dry_run) {
    std::map<size_t, std::string> labels;
    for (size_t i : selected) labels[i] = entryLabel(config[i]);
    for (const auto& line : planLines(facts, verdict, labels)) lib::logger()->info(line);
  }

  writeOutput();
}

}  // namespace quenfold_testlibs
