// The deployment driver: shared resources once, then one worker per entry with a private subnet,
// then the output file.
#include <array>
#include <iostream>
#include <map>
#include <vector>

#include "core/app_exit_status.h"
#include "core/exit_request.h"
#include "core/interrupt.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/common/workers.h"
#include "deploy_test_ec2/deploy/deploy.h"
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
                                      const AwsClient& iam_client, const json& config, const Args& args) {
  SharedResources shared;
  const std::string vpcId = getVpcId(ec2_client, config.at(0).at("gw_subnet_id").get<std::string>());
  shared.sg_id = createSG(ec2_client, vpcId, args);
  shared.sg_id_private_inf = createPrivateInfSG(ec2_client, vpcId, args);
  shared.key_name = args.key_name;
  if (!shared.key_name) shared.key_name = createKeyPair(ec2_client, s3_client, vpcId, args);
  if (args.ec2_role && *args.ec2_role == "default") {
    const std::string policyArn = createS3Policy(iam_client, args);
    createEc2Role(iam_client, policyArn);
    createInstanceProfile(iam_client);
    shared.instance_profile = kInstanceProfileName;
  }
  return shared;
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
                   const std::vector<size_t>& selected, const SharedResources& shared, const Args& args) {
  std::vector<WorkerTask> threadPool;
  for (size_t i : selected) {
    json& entry = config[i];
    TestSubnet subnet{entry.at("gw_subnet_id").get<std::string>(), entry.at("private_subnet_id").get<std::string>(),
                      asText(entry.at("gw_private_ip"))};
    const std::string cidr = entry.at("private_subnet_cidr").get<std::string>();
    threadPool.push_back({subnet.gw_subnet_id, [&, subnet, cidr, entryPtr = &entry] {
                            if (!privateRangeIsUsable(subnet.gw_subnet_id, cidr)) return;
                            createEc2(ec2_client, iam_client, ami, subnet, args, *entryPtr, shared);
                          }});
  }
  runWorkers(threadPool);
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
                            const std::map<size_t, json>& earlier) {
  for (const auto& [i, missing] : notWritten) {
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
  SharedResources shared;
  try {
    shared = createSharedResources(ec2_client, s3_client, iam_client, config, args);
  } catch (const core::Interrupted&) {
    writeOutput();
    throw;
  }

  const std::vector<size_t> selected = entriesToDeploy(config);
  const std::map<size_t, json> earlier = holdAsideEarlierAddresses(config, selected);
  deployEntries(ec2_client, iam_client, ami, config, selected, shared, args);
  const std::map<size_t, std::string> notWritten = restoreEarlierAddresses(config, selected, earlier);
  // A dry run launches no instance, so addresses missing then are expected.
  if (!args.dry_run) recordMissingAddresses(config, notWritten, earlier);

  writeOutput();
}

}  // namespace quenfold_testlibs
