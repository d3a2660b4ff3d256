#include "deploy_test_ec2/iam/iam.h"

#include <algorithm>
#include <chrono>

#include "awsapi/base/error.h"
#include "awsapi/transport/endpoints.h"
#include "core/app_exit_status.h"
#include "core/clock.h"
#include "core/exit_request.h"
#include "deploy_test_ec2/common/args.h"
#include "deploy_test_ec2/common/names.h"
#include "deploy_test_ec2/common/tags.h"
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

// The tags of each IAM object: its Name, then the --tag_resource pairs (organisation policies may
// require some on every create call).
json iamTags(const Args& args) {
  json tags = json::array({json{{"Key", "Name"}, {"Value", kInstanceName}}});
  if (args.tag_resource) populateTags(tags, *args.tag_resource);
  return tags;
}
}  // namespace

std::string s3PolicyDocument(const std::string& partition) {
  json statements = json::array();
  for (const char* action : {"s3:ListBucket", "s3:GetObject", "s3:PutObject"}) {
    statements.push_back(
        json{{"Effect", "Allow"}, {"Action", {action}}, {"Resource", {"arn:" + partition + ":s3:::*"}}});
  }
  return oneLine(json{{"Version", "2012-10-17"}, {"Statement", statements}});
}

std::string ec2TrustDocument() {
  return oneLine(json{{"Version", "2012-10-17"},
                      {"Statement", json::array({json{{"Effect", "Allow"},
                                                      {"Principal", json{{"Service", "ec2.amazonaws.com"}}},
                                                      {"Action", "sts:AssumeRole"}}})}});
}

std::string partitionOf(const AwsClient& client) { return awsapi::partition_of(client.region().value_or("")); }

namespace {
// IAM is eventually consistent: an object just made may be unknown to the next call for a few
// seconds. `call` is made again, with growing pauses, while it answers NoSuchEntity, for about a
// minute (nominal) in all; then the answer stands.
template <class F>
void whilePropagating(const std::string& what, F&& call) {
  auto& clock = core::the_clock();
  const auto deadline = clock.monotonic() + std::chrono::seconds(60);
  std::chrono::seconds pause{2};
  for (;;) {
    try {
      call();
      return;
    } catch (const awsapi::ClientError& e) {
      if (e.code() != "NoSuchEntity" || clock.monotonic() + pause > deadline) throw;
      lib::logger()->info("  " + what + " not yet known to IAM (NoSuchEntity); retry in " +
                          std::to_string(pause.count()) + " s");
    }
    clock.sleep_for(pause);
    pause = std::min(pause * 2, std::chrono::seconds(10));
  }
}

}  // namespace

std::vector<std::string> findPolicyArns(const AwsClient& iam_client) {
  std::vector<std::string> arns;
  json request = {{"Scope", "Local"}, {"PolicyUsageFilter", "PermissionsPolicy"}};
  for (;;) {
    json resp = iam_client.list_policies(request);
    for (const auto& p : resp.value("Policies", json::array())) {
      if (p.value("PolicyName", "") == kPolicyName) arns.push_back(p.at("Arn").get<std::string>());
    }
    if (!resp.value("IsTruncated", false) || !resp.contains("Marker")) return arns;
    request["Marker"] = resp["Marker"];
  }
}

std::string createS3Policy(const AwsClient& iam_client, const Args& args) {
  auto log = lib::logger();
  log->info(std::string("- Create policy ") + kPolicyName);
  try {
    json resp = iam_client.create_policy({{"PolicyName", kPolicyName},
                                          {"PolicyDocument", s3PolicyDocument(partitionOf(iam_client))},
                                          {"Description", "quenfold test ec2 policy"},
                                          {"Tags", iamTags(args)}});
    return resp.at("Policy").at("Arn").get<std::string>();
  } catch (const awsapi::ClientError& e) {
    if (e.code() == "EntityAlreadyExists") {
      if (given(args.account)) {
        return "arn:" + partitionOf(iam_client) + ":iam::" + *args.account + ":policy/" + kPolicyName;
      }
      // Without --account the ARN is the existing policy's own: an ARN with no account would make
      // the attach fail, and a later run would leave the role without its policy.
      auto arns = findPolicyArns(iam_client);
      if (arns.size() == 1) return arns[0];
      lib::failRun(std::string("policy ") + kPolicyName + " exists but its ARN could not be found; give --account");
    }
    // Without a policy there is nothing to attach: stop before any role or instance is made.
    lib::failRun(e.what());
  } catch (const std::exception& e) {
    lib::failRun(e.what(), &e);
  }
}

void createEc2Role(const AwsClient& iam_client, const std::string& policy_arn, const Args& args) {
  auto log = lib::logger();
  log->info(std::string("- Create role ") + kRoleName);
  try {
    json request = {{"RoleName", kRoleName},
                    {"AssumeRolePolicyDocument", ec2TrustDocument()},
                    {"Description", "quenfold test ec2 role"},
                    {"Tags", iamTags(args)}};
    if (given(args.permissions_boundary)) request["PermissionsBoundary"] = *args.permissions_boundary;
    iam_client.create_role(request);
  } catch (const awsapi::ClientError& e) {
    // A role left by an earlier run (perhaps one that died before the attach) still gets its
    // policy: attaching is idempotent.
    if (e.code() != "EntityAlreadyExists") lib::failRun(e.what());  // AccessDenied, LimitExceeded, ...
    log->info(std::string("  **Alert** ") + e.what());
  }
  log->info("- Attach policy to role");
  // The role and the policy were made just now or were just found to exist: NoSuchEntity here
  // is IAM still propagating them.
  whilePropagating(std::string("role ") + kRoleName + " or policy " + policy_arn, [&] {
    iam_client.attach_role_policy({{"RoleName", kRoleName}, {"PolicyArn", policy_arn}});
  });
}

void createInstanceProfile(const AwsClient& iam_client, const Args& args) {
  auto log = lib::logger();
  log->info(std::string("- Create instance profile ") + kInstanceProfileName);
  try {
    iam_client.create_instance_profile({{"InstanceProfileName", kInstanceProfileName}, {"Tags", iamTags(args)}});
  } catch (const awsapi::ClientError& e) {
    if (e.code() != "EntityAlreadyExists") lib::failRun(e.what());
    log->info(std::string("  **Alert** ") + e.what());
    // A profile left by a run that died before adding the role would launch instances
    // without it: add the role when the profile lacks it. A profile holds one role at most, so
    // one holding another role (an edit by hand) cannot take ours and is not used.
    json profile = iam_client.get_instance_profile({{"InstanceProfileName", kInstanceProfileName}});
    const json roles = profile.at("InstanceProfile").value("Roles", json::array());
    for (const auto& role : roles) {
      if (role.value("RoleName", "") == kRoleName) return;
    }
    if (!roles.empty()) {
      lib::failRun(std::string("Instance profile ") + kInstanceProfileName + " holds role " +
                   roles[0].value("RoleName", "?") + ", not " + kRoleName +
                   ": remove that role from it (or delete the profile) and run again");
    }
  }
  log->info("- Add role to instance profile");
  whilePropagating(std::string("instance profile ") + kInstanceProfileName + " or role " + kRoleName, [&] {
    iam_client.add_role_to_instance_profile({{"InstanceProfileName", kInstanceProfileName}, {"RoleName", kRoleName}});
  });
}

void deleteInstanceProfile(const AwsClient& iam_client, const Args& args) {
  auto log = lib::logger();
  // Each step logs its line and, unless this is a dry run, makes its call. "No such entity" means
  // removed already; any other error is logged and recorded, and the next step still runs.
  auto step = [&](const std::string& line, auto&& call) {
    log->info(line);
    if (args.dry_run) return;
    try {
      call();
    } catch (const std::exception& e) {
      lib::logError(e.what(), &e);
      if (!awsapi::is_not_found(e)) core::AppExitStatus::recordFailure(line);
    }
  };
  step(std::string("  Remove role from instance profile ") + kInstanceProfileName, [&] {
    iam_client.remove_role_from_instance_profile(
        {{"InstanceProfileName", kInstanceProfileName}, {"RoleName", kRoleName}});
  });
  step(std::string("  Delete instance profile ") + kInstanceProfileName, [&] {
    iam_client.delete_instance_profile({{"InstanceProfileName", kInstanceProfileName}});
  });

  std::vector<std::string> arns;
  try {
    arns = findPolicyArns(iam_client);
  } catch (const std::exception& e) {
    lib::recordError(std::string("policy ") + kPolicyName + " could not be looked up: " + e.what(),
                     std::string("lookup of policy ") + kPolicyName + " failed");
    return;  // the role cannot go while the policy may still be attached to it
  }
  for (const auto& arn : arns) {
    step(std::string("  Detach ") + kRoleName + " from " + kPolicyName + " " + arn + " ", [&] {
      iam_client.detach_role_policy({{"RoleName", kRoleName}, {"PolicyArn", arn}});
    });
    step("  Delete policy " + arn, [&] { iam_client.delete_policy({{"PolicyArn", arn}}); });
  }
  step(std::string("  Delete ") + kRoleName, [&] { iam_client.delete_role({{"RoleName", kRoleName}}); });
}

}  // namespace quenfold_testlibs
