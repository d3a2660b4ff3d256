#include "deploy_test_ec2/iam/iam.h"

#include "awsapi/error.h"
#include "core/app_exit_status.h"
#include "core/exit_request.h"
#include "deploy_test_ec2/deploy/deploy.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;

namespace {
// One line with ", " between elements and ": " after keys (nlohmann's compact form has no blanks).
std::string oneLine(const json& v) {
  if (v.is_object()) {
    std::string out = "{";
    bool first = true;
    for (const auto& [k, item] : v.items()) {
      out += (first ? "" : ", ") + json(k).dump(-1, ' ', true) + ": " + oneLine(item);
      first = false;
    }
    return out + "}";
  }
  if (v.is_array()) {
    std::string out = "[";
    bool first = true;
    for (const auto& item : v) {
      out += (first ? "" : ", ") + oneLine(item);
      first = false;
    }
    return out + "]";
  }
  return v.dump(-1, ' ', true);
}

json nameTag() { return json::array({json{{"Key", "Name"}, {"Value", kInstanceName}}}); }
}  // namespace

std::string s3PolicyDocument() {
  json statements = json::array();
  for (const char* action : {"s3:ListBucket", "s3:GetObject", "s3:PutObject"}) {
    statements.push_back(json{{"Effect", "Allow"}, {"Action", {action}}, {"Resource", {"arn:aws:s3:::*"}}});
  }
  return oneLine(json{{"Version", "2012-10-17"}, {"Statement", statements}});
}

std::string ec2TrustDocument() {
  return oneLine(json{{"Version", "2012-10-17"},
                      {"Statement", json::array({json{{"Effect", "Allow"},
                                                      {"Principal", json{{"Service", "ec2.amazonaws.com"}}},
                                                      {"Action", "sts:AssumeRole"}}})}});
}

std::string createS3Policy(const AwsClient& iam_client, const Args& args) {
  auto log = lib::logger();
  log->info(std::string("- Create policy ") + kPolicyName);
  try {
    json resp = iam_client.create_policy({{"PolicyName", kPolicyName},
                                          {"PolicyDocument", s3PolicyDocument()},
                                          {"Description", "quenfold test ec2 policy"},
                                          {"Tags", nameTag()}});
    return resp.at("Policy").at("Arn").get<std::string>();
  } catch (const awsapi::ClientError& e) {
    if (e.code() == "EntityAlreadyExists") {
      return "arn:aws:iam::" + args.account.value_or("") + ":policy/" + kPolicyName;
    }
    // Without a policy there is nothing to attach: stop before any role or instance is made.
    log->error(std::string("  **Error** ") + e.what());
    throw core::ExitRequest{1};
  } catch (const std::exception& e) {
    log->error(std::string("  **Error** ") + e.what());
    lib::reportError(e);
    throw core::ExitRequest{1};
  }
}

void createEc2Role(const AwsClient& iam_client, const std::string& policy_arn) {
  auto log = lib::logger();
  log->info(std::string("- Create role ") + kRoleName);
  try {
    iam_client.create_role({{"RoleName", kRoleName},
                            {"AssumeRolePolicyDocument", ec2TrustDocument()},
                            {"Description", "quenfold test ec2 role"}});
  } catch (const awsapi::ClientError& e) {
    if (e.code() == "EntityAlreadyExists") {
      log->info(std::string("  **Alert** ") + e.what());
      return;
    }
  }
  log->info("- Attach policy to role");
  iam_client.attach_role_policy({{"RoleName", kRoleName}, {"PolicyArn", policy_arn}});
}

void createInstanceProfile(const AwsClient& iam_client) {
  auto log = lib::logger();
  log->info(std::string("- Create instance profile ") + kInstanceProfileName);
  try {
    iam_client.create_instance_profile({{"InstanceProfileName", kInstanceProfileName}, {"Tags", nameTag()}});
  } catch (const awsapi::ClientError& e) {
    if (e.code() == "EntityAlreadyExists") {
      log->info(std::string("  **Alert** ") + e.what());
      return;
    }
  }
  log->info("- Add role to instance profile");
  iam_client.add_role_to_instance_profile({{"InstanceProfileName", kInstanceProfileName}, {"RoleName", kRoleName}});
}

void deleteInstanceProfile(const AwsClient& iam_client) {
  auto log = lib::logger();
  auto guarded = [&](const std::string& line, auto&& call) {
    log->info(line);
    try {
      call();
    } catch (const std::exception& e) {
      log->error(std::string("  **Error** ") + e.what());
      lib::reportError(e);
      const auto* ce = dynamic_cast<const awsapi::ClientError*>(&e);
      if (!ce || ce->code() != "NoSuchEntity") core::AppExitStatus::recordFailure(line);
    }
  };
  guarded(std::string("  Remove role from instance profile ") + kInstanceProfileName, [&] {
    iam_client.remove_role_from_instance_profile({{"InstanceProfileName", kInstanceProfileName}, {"RoleName", kRoleName}});
  });
  guarded(std::string("  Delete instance profile ") + kInstanceProfileName,
          [&] { iam_client.delete_instance_profile({{"InstanceProfileName", kInstanceProfileName}}); });

  json resp = iam_client.list_policies({{"Scope", "Local"}, {"OnlyAttached", true}, {"PolicyUsageFilter", "PermissionsPolicy"}});
  std::vector<std::string> arns;
  for (const auto& p : resp.value("Policies", json::array())) {
    if (p.value("PolicyName", "") == kPolicyName) arns.push_back(p.at("Arn").get<std::string>());
  }
  if (arns.size() != 1) return;
  const std::string& arn = arns[0];
  log->info(std::string("  Detach ") + kRoleName + " from " + kPolicyName + " " + arn + " ");
  iam_client.detach_role_policy({{"RoleName", kRoleName}, {"PolicyArn", arn}});
  log->info("  Delete policy " + arn);
  iam_client.delete_policy({{"PolicyArn", arn}});
  log->info(std::string("  Delete ") + kRoleName);
  iam_client.delete_role({{"RoleName", kRoleName}});
}

}  // namespace quenfold_testlibs
