// Sessions and account context: assumed-role sessions and the instance identity document.
#include "awsapi/error.h"
#include "core/exit_request.h"
#include "deploy_test_ec2/driver/driver.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

std::shared_ptr<const awsapi::Context> awsContext() {
  // Hundreds of workers poll and launch at once, so throttling is routine rather than rare: the
  // SDKs' 3 attempts and the standard mode would lose entries to it. 10 attempts and the adaptive
  // mode's per-operation rate limiters; the environment or the profile still win.
  static const std::shared_ptr<const awsapi::Context> ctx =
      awsapi::Context::from_process(kDefaultMaxAttempts, kDefaultRetryMode);
  return ctx;
}

std::variant<awsapi::Session, std::string> start_aws_session(const std::string& assume_role,
                                                             const std::optional<std::string>& profile) {
  auto base = awsapi::Session::from_profile(awsContext(), profile);
  auto sts = base.client("sts");
  json resp = sts->assume_role({{"RoleArn", assume_role}, {"RoleSessionName", "Quenfold_Workflow"}});
  const json& c = resp.at("Credentials");
  try {
    awsapi::Credentials creds;
    creds.access_key_id = c.at("AccessKeyId").get<std::string>();
    creds.secret_access_key = c.at("SecretAccessKey").get<std::string>();
    creds.session_token = c.at("SessionToken").get<std::string>();
    return awsapi::Session::from_credentials(awsContext(), creds, profile);
  } catch (const std::exception&) {
    const std::string failure = "The AWS new session attempt has failed";
    lib::logger()->error("  **Error** " + failure);
    return failure;
  }
}

json get_aws_metadata() {
  auto resp = awsContext()->imds->get("/latest/dynamic/instance-identity/document");
  if (resp.status != 200) {
    lib::logger()->info("  **Error** failed to deduce workflow account number from meta data");
    throw core::ExitRequest{1};
  }
  return json::parse(resp.body);
}

}  // namespace quenfold_testlibs
