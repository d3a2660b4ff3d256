// The deployment driver: shared resources once, then one worker per entry with a private subnet,
// then the output file.
#include <array>
#include <iostream>
#include <map>

#include "core/app_exit_status.h"
#include "core/exit_request.h"
#include "core/interrupt.h"
#include "deploy_test_ec2/deploy/deploy.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/common/workers.h"
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
}  // namespace

void deployEc2s(const AwsClient& ec2_client, const AwsClient* s3_client, const AwsClient& iam_client,
                const std::string& ami, const Args& args) {
  deployEc2s(ec2_client, s3_client, iam_client, ami, readTestConfig(args.test_config.value_or("")), args);
}

void deployEc2s(const AwsClient& ec2_client, const AwsClient* s3_client, const AwsClient& iam_client,
                const std::string& ami, json config, const Args& args) {
  auto log = lib::logger();
  if (!config.is_array() || config.empty()) {
    throw TestConfigError("test configuration " + args.test_config.value_or("") + " must be a non-empty JSON list");
  }
  // The output is written with what is known, also when the run is interrupted half-way.
  auto writeOutput = [&] {
    const std::string out = args.output_test_config.value_or("");
    try {
      writeTestConfig(out, config);
    } catch (const std::exception& e) {
      log->error(std::string("  **Error** ") + e.what() + "; the configuration follows on standard error");
      std::cerr << formatTestConfig(config) << std::flush;
      throw core::ExitRequest{1};
    }
  };
  std::optional<std::string> sgId, sgIdPrivateInf, keyName, instanceProfile;
  try {
    const std::string vpcId = getVpcId(ec2_client, config.at(0).at("gw_subnet_id").get<std::string>());
    sgId = createSG(ec2_client, vpcId, args);
    sgIdPrivateInf = createPrivateInfSG(ec2_client, vpcId, args);
    keyName = args.key_name;
    if (!keyName) keyName = createKeyPair(ec2_client, s3_client, vpcId, args);
    if (args.ec2_role && *args.ec2_role == "default") {
      const std::string policyArn = createS3Policy(iam_client, args);
      createEc2Role(iam_client, policyArn);
      createInstanceProfile(iam_client);
      instanceProfile = kInstanceProfileName;
    }
  } catch (const core::Interrupted&) {
    writeOutput();
    throw;
  }

  std::vector<size_t> selected;
  for (size_t i = 0; i < config.size(); ++i) {
    json& entry = config[i];
    if (!entry.at("private_subnet_id").get<std::string>().empty()) {
      selected.push_back(i);
    } else {
      log->error("  **Error** Skip " + asText(entry.value("nat_gw_id", json())) + " -- private_subnet_id not defined");
    }
  }
  // Addresses an earlier run left in the input must not pass for this run's: they are held aside
  // (their places in the entry kept) and put back only where this run wrote nothing.
  constexpr std::array<const char*, 2> kAddressKeys = {"ec2_ip", "ec2_2nd_private_ip"};
  std::map<size_t, json> earlier;
  for (size_t i : selected) {
    for (const char* key : kAddressKeys) {
      if (!config[i].contains(key)) continue;
      earlier[i][key] = config[i][key];
      config[i][key] = json(json::value_t::discarded);
    }
  }
  std::vector<WorkerTask> threadPool;
  for (size_t i : selected) {
    json& entry = config[i];
    const std::string gw = entry.at("gw_subnet_id").get<std::string>();
    const std::string priv = entry.at("private_subnet_id").get<std::string>();
    const std::string spoke = asText(entry.at("gw_private_ip"));
    const std::string cidr = entry.at("private_subnet_cidr").get<std::string>();
    threadPool.push_back({gw, [&, gw, priv, spoke, cidr, entryPtr = &entry] {
                            try {
                              ipv4InNetwork("0.0.0.0", cidr);
                            } catch (const std::invalid_argument& e) {
                              // This entry's range cannot be used; the others go on.
                              log->error("  **Error** " + gw + ": private_subnet_cidr " + cidr + " cannot be used: " +
                                         e.what());
                              core::AppExitStatus::recordFailure(gw + ": unusable private_subnet_cidr");
                              return;
                            }
                            createEc2(ec2_client, iam_client, ami, gw, priv, spoke, args, *entryPtr, sgId,
                                      sgIdPrivateInf, instanceProfile, keyName);
                          }});
  }
  runWorkers(threadPool);

  std::map<size_t, std::string> notWritten;
  for (size_t i : selected) {
    for (const char* key : kAddressKeys) {
      json& entry = config[i];
      if (entry.contains(key) && !entry[key].is_discarded()) continue;
      notWritten[i] += (notWritten[i].empty() ? "" : " and ") + std::string(key);
      if (entry.contains(key)) entry[key] = earlier[i][key];
    }
  }
  if (!args.dry_run) {
    for (const auto& [i, missing] : notWritten) {
      const std::string gw = config[i].at("gw_subnet_id").get<std::string>();
      const std::string what = gw + " has no " + missing + (earlier.count(i) ? " from this run" : "");
      lib::recordError(what, what);
    }
  }

  writeOutput();
}

}  // namespace quenfold_testlibs
