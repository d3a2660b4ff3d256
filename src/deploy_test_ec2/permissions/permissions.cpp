#include "deploy_test_ec2/permissions/permissions.h"

#include <cctype>
#include <set>

#include "awsapi/base/error.h"
#include "awsapi/retry/retry.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

namespace {
// A JSON member as text, or "".
std::string textOf(const json& v, const char* key) {
  if (!v.is_object() || !v.contains(key)) return "";
  const json& m = v[key];
  if (m.is_string()) return m.get<std::string>();
  if (m.is_boolean()) return m.get<bool>() ? "true" : "false";
  return m.dump();
}
}  // namespace

void logUnknown(const std::string& what, const std::exception& e) {
  const auto* ce = dynamic_cast<const awsapi::ClientError*>(&e);
  lib::logger()->info("  " + what + " cannot be read (" + (ce ? ce->code() : std::string(e.what())) +
                      "); the run finds out when it gets there");
}

std::string explainDecodedMessage(const std::string& decoded) {
  json d = json::parse(decoded, nullptr, false);
  if (d.is_discarded() || !d.is_object()) return "";
  const json context = d.value("context", json::object());
  std::string out = "action " + textOf(context, "action");
  if (const std::string resource = textOf(context, "resource"); !resource.empty()) out += " on " + resource;
  const bool explicitDeny = d.value("explicitDeny", false);
  out += explicitDeny ? ": explicit deny" : ": no policy allows it";
  std::set<std::string> types;
  const json matched = d.value("matchedStatements", json::object()).value("items", json::array());
  for (const auto& st : matched) {
    const std::string type = textOf(st.value("source", json::object()), "policyType");
    if (!type.empty())
      types.insert(type);
    else if (const std::string t = textOf(st, "policyType"); !t.empty())
      types.insert(t);
  }
  if (!types.empty()) out += " (" + lib::joined(types) + ")";
  return out;
}

namespace {
// AWS's encoded reason decoded through STS: what it says in one line ("" when nothing readable),
// or, when STS refuses to decode it, STS's error code.
struct Decoded {
  std::string why;
  std::string refused;
};
Decoded decode(const AwsClient& sts_client, const std::string& blob) {
  try {
    const json answer = sts_client.decode_authorization_message({{"EncodedMessage", blob}});
    return {explainDecodedMessage(answer.value("DecodedMessage", "")), ""};
  } catch (const awsapi::ClientError& e) {
    return {"", e.code()};
  }
}
}  // namespace

void explainDenialsThrough(const AwsClient* sts_client) {
  if (!sts_client) {
    lib::setDenialExplainer(nullptr);
    return;
  }
  lib::setDenialExplainer([sts_client](const std::string& blob) {
    std::string line = "  AWS's reason for the refusal above: ";
    try {
      const Decoded d = decode(*sts_client, blob);
      if (!d.refused.empty())
        line += "encoded; allow sts:DecodeAuthorizationMessage to have it decoded (" + d.refused + ")";
      else
        line += d.why.empty() ? "STS decoded it to nothing readable" : d.why;
    } catch (const std::exception& e) {
      line += std::string("encoded, and STS could not be asked (") + e.what() + ")";
    }
    lib::logger()->info(line);
  });
}

std::string explainDenial(const AwsClient* sts_client, const std::string& message) {
  std::string text = withoutEncodedBlob(message);
  const std::string blob = encodedBlobOf(message);
  if (blob.empty() || !sts_client) return text;
  const Decoded d = decode(*sts_client, blob);
  if (!d.refused.empty()) return text + "; allow sts:DecodeAuthorizationMessage to have it decoded (" + d.refused + ")";
  if (!d.why.empty()) return text + "; decoded: " + d.why;
  return text;
}

std::optional<PermissionCheck> dryRunCheck(const AwsClient& ec2_client, const AwsClient* sts_client,
                                           const std::string& operation, json request) {
  PermissionCheck check{"ec2:" + operation, PermissionCheck::Outcome::Allowed, ""};
  request["DryRun"] = true;
  try {
    ec2_client.call(operation, request);
  } catch (const awsapi::ClientError& e) {
    const auto kind = awsapi::classify(e.code(), e.http_status(), false);
    if (e.code() == "DryRunOperation") {
      // allowed
    } else if (kind == awsapi::ErrorKind::Throttling || kind == awsapi::ErrorKind::Transient) {
      // AWS could not answer (its retries spent): this check is unknown, not failed.
      logUnknown("The permission " + check.action, e);
      return std::nullopt;
    } else if (e.code() == "UnauthorizedOperation" || e.code() == "AccessDenied") {
      check.outcome = PermissionCheck::Outcome::Denied;
      check.detail = explainDenial(sts_client, e.message());
    } else {
      check.outcome = PermissionCheck::Outcome::Failed;
      check.detail = e.code() + ": " + withoutEncodedBlob(e.message());
    }
  }
  return check;
}

std::vector<PermissionCheck> simulateIamActions(const AwsClient& iam_client, const AwsClient* sts_client,
                                                const std::vector<std::string>& actions) {
  std::vector<PermissionCheck> refused;
  if (!sts_client || actions.empty()) return refused;
  try {
    std::string arn = sts_client->get_caller_identity().value("Arn", "");
    // arn:PARTITION:sts::ACCOUNT:assumed-role/NAME/SESSION -> the role's own ARN, with its path.
    if (const auto at = arn.find(":assumed-role/"); at != std::string::npos) {
      const std::string rest = arn.substr(at + 14);
      const std::string name = rest.substr(0, rest.find('/'));
      arn = iam_client.get_role({{"RoleName", name}}).at("Role").value("Arn", arn);
    }
    const json answer = iam_client.simulate_principal_policy({{"PolicySourceArn", arn}, {"ActionNames", actions}});
    for (const auto& r : answer.value("EvaluationResults", json::array())) {
      const std::string decision = r.value("EvalDecision", "");
      if (decision == "allowed") continue;
      std::string why = "the IAM policy simulator answers ";
      why.append(decision).append(" for ").append(arn);
      refused.push_back({r.value("EvalActionName", ""), PermissionCheck::Outcome::Denied, why});
    }
  } catch (const std::exception& e) {
    logUnknown("The IAM permissions (policy simulator)", e);
  }
  return refused;
}

}  // namespace quenfold_testlibs
