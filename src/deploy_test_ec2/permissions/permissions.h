// AWS's own authorization, asked before anything is made or removed: EC2 calls made as dry runs
// (DryRun answers DryRunOperation when the call would be allowed), IAM's policy simulator for IAM,
// which has no dry run, and AWS's encoded reason for a refusal, decoded through STS.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "awsapi/client/client.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;
using awsapi::AwsClient;

// One authorization check: an EC2 dry run or a simulated IAM action.
struct PermissionCheck {
  std::string action;  // "ec2:RunInstances", "iam:CreateRole"
  enum class Outcome { Allowed, Denied, Failed } outcome = Outcome::Allowed;
  std::string detail;  // Denied: AWS's reason, decoded where possible; Failed: "Code: message"
};

// One EC2 call as a dry run. Absent when AWS could not answer (5xx, throttling after the retries):
// the check is unknown, not failed, and one info line says so.
std::optional<PermissionCheck> dryRunCheck(const AwsClient& ec2_client, const AwsClient* sts_client,
                                           const std::string& operation, json request);

// The IAM actions asked of the policy simulator for the caller (for an assumed role, the role
// itself with its path). The checks that are not allowed; none when the simulator cannot be asked
// (one info line).
std::vector<PermissionCheck> simulateIamActions(const AwsClient& iam_client, const AwsClient* sts_client,
                                                const std::vector<std::string>& actions);

// A refusal's message with AWS's encoded reason cut (never logged whole) and, when STS may decode
// it, its essentials; when it may not, which permission would decode it.
std::string explainDenial(const AwsClient* sts_client, const std::string& message);

// From now on the run's first encoded refusal (of any call) is decoded through `sts_client` and
// explained on one detail line; without a client, the explainer is taken away.
void explainDenialsThrough(const AwsClient* sts_client);

// What an encoded authorization message says, in one line (action, resource, explicit deny or no
// allow, the policy types that matched), from the JSON STS DecodeAuthorizationMessage returns.
std::string explainDecodedMessage(const std::string& decoded);
using lib::encodedBlobOf;
using lib::withoutEncodedBlob;

// One info line for a fact a lookup could not read: the run finds out when it gets there.
void logUnknown(const std::string& what, const std::exception& e);

}  // namespace quenfold_testlibs
