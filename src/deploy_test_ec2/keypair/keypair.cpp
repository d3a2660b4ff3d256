#include "deploy_test_ec2/keypair/keypair.h"

#include <filesystem>
#include <system_error>

#include "awsapi/base/error.h"
#include "core/app_exit_status.h"
#include "core/atomic_file.h"
#include "core/exit_request.h"
#include "deploy_test_ec2/common/tags.h"
#include "deploy_test_ec2/common/test_config.h"
#include "lib/commonlib.h"
#include "lib/s3.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;

namespace {
json keyFilters(const std::string& keyname) {
  return json{{"Filters", json::array({json{{"Name", "tag:Name"}, {"Values", {kKeyPairTag}}},
                                       json{{"Name", "key-name"}, {"Values", {keyname}}}})},
              {"IncludePublicKey", true}};
}
}  // namespace

void writePrivateFile(const std::string& path, const std::string& content) {
  try {
    core::writeFileAtomically(path, content, core::FileMode::OwnerOnly);
  } catch (const std::system_error& e) {
    throw std::runtime_error("cannot write " + path + ": " + e.code().message());
  }
}

json keyPairRequest(const std::string& keyname, const Args& args) {
  return {{"KeyName", keyname},
          {"KeyType", "rsa"},
          {"TagSpecifications", tagSpecifications("key-pair", kKeyPairTag, args)},
          {"KeyFormat", "pem"}};
}

std::string createKeyPair(const AwsClient& ec2_client, const AwsClient* s3_client, const std::string& vpcId,
                          const Args& args) {
  auto log = lib::logger();
  std::string keyname = kKeyPairPrefix + vpcId;
  log->info("- Create key pair " + keyname);
  json found;
  try {
    found = ec2_client.describe_key_pairs(keyFilters(keyname));
  } catch (const std::exception& e) {
    lib::failRun(e.what());
  }
  if (!found.value("KeyPairs", json::array()).empty()) {
    log->info("  Key " + keyname + " already exist");
    // AWS hands out a private key only when the pair is made: without the earlier run's file,
    // nobody can log in to instances launched with this pair.
    const std::string pem = args.backup_folder.value_or("") + "/" + keyname + ".pem";
    std::error_code ec;
    if (!std::filesystem::exists(pem, ec)) {
      log->info("  **Alert** The private key of " + keyname + " is not in " + pem +
                ": instances launched with it cannot be reached with a key from this run");
    }
    return keyname;
  }
  if (args.dry_run) return keyname;

  const json request = keyPairRequest(keyname, args);
  std::optional<json> created;
  std::string refusal;  // AWS's code and message when it refused the call
  try {
    created = ec2_client.create_key_pair(request);
  } catch (const awsapi::ClientError& e) {
    if (e.code() == "InvalidKeyPair.Duplicate") log->info("  Key pair " + keyname + " already existed");
    refusal = ": " + e.code() + ": " + e.message();
  } catch (const std::exception& e) {
    log->error(std::string("  **Error** ") + e.what());
  }
  if (!created || !created->contains("KeyMaterial")) {
    log->error("  Failed to create private key" + refusal);
    throw core::ExitRequest{1};
  }
  log->info("  done");
  const std::string pem = args.backup_folder.value_or("") + "/" + keyname + ".pem";
  std::filesystem::path parent = std::filesystem::path(pem).parent_path();
  if (!parent.empty()) std::filesystem::create_directories(parent);
  writePrivateFile(pem, (*created)["KeyMaterial"].get<std::string>() + "\n");
  if (given(args.s3_bucket)) {
    lib::S3BackupCmd(s3_client, ".", *args.s3_bucket, pem).uploadAFile();
  }
  return keyname;
}

void deleteKeyPair(const AwsClient& ec2_client, const std::string& keyname, const Args& args) {
  auto log = lib::logger();
  log->info("- Delete key pair " + keyname);
  json found = json::object();
  try {
    found = ec2_client.describe_key_pairs(keyFilters(keyname));
  } catch (const std::exception& e) {
    if (!awsapi::is_not_found(e)) {
      lib::recordError("key pair " + keyname + " could not be looked up: " + e.what(),
                       "key pair " + keyname + " could not be looked up");
      return;
    }
  }
  const json& pairs = found.value("KeyPairs", json::array());
  if (pairs.empty()) {
    log->info("  Key not found: " + keyname);
    return;
  }
  log->info("  " + pairs[0].value("KeyPairId", ""));
  if (args.dry_run) return;
  try {
    ec2_client.delete_key_pair({{"KeyName", keyname}});
  } catch (const std::exception& e) {
    if (awsapi::is_not_found(e)) return;  // deleted already
    lib::recordError(e.what(), "key pair " + keyname + " could not be deleted");
  }
}

}  // namespace quenfold_testlibs
