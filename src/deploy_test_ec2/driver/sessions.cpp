// Sessions and account context: assumed-role sessions and the instance identity document.
#include "awsapi/base/error.h"
#include "awsapi/credentials/credentials.h"
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
  // The role is assumed again before its credentials expire (they last an hour at most), so that
  // a long run and its log upload keep working.
  auto session = base.assuming_role({{"RoleArn", assume_role}, {"RoleSessionName", "Quenfold_Workflow"}},
                                    "the AssumeRole answer for " + assume_role);
  try {
    session.credentials()->get();  // assumed now: STS's refusal propagates from here
    return session;
  } catch (const awsapi::CredentialsError& e) {
    const std::string failure = "The AWS new session attempt has failed";
    lib::logger()->error("  **Error** " + failure);
    lib::logger()->error(std::string("  ") + e.what());
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
