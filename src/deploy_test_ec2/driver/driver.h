// The command-line driver: sessions and account context, the key download, and the run itself.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "awsapi/client/session.h"
#include "deploy_test_ec2/driver/options.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;

// Attempts per AWS call unless AWS_MAX_ATTEMPTS or the profile's max_attempts is set.
inline constexpr int kDefaultMaxAttempts = 10;
// Retry mode unless AWS_RETRY_MODE or the profile's retry_mode is set: adaptive, so that hundreds
// of workers learn each EC2 action's rate limit instead of losing calls to it.
inline constexpr const char* kDefaultRetryMode = "adaptive";

// The process's AWS context (environment, config files, transport), read once.
std::shared_ptr<const awsapi::Context> awsContext();

// A session acting as the role `assume_role`, starting from the profile (default chain when
// absent). Failing to build the session from the returned credentials gives the failure text
// "The AWS new session attempt has failed" instead of a session.
std::variant<awsapi::Session, std::string> start_aws_session(const std::string& assume_role,
                                                             const std::optional<std::string>& profile = std::nullopt);

// The identity document of the EC2 instance the tool runs on.
json get_aws_metadata();

// Downloads the private key parameter `pemkey` and writes it to the file named by --key_name.
void getPemKeyFromSSM(const awsapi::AwsClient& ssm_client, const std::string& pemkey, const Args& args);

// Checks the test configuration before any AWS call; throws TestConfigError naming the file,
// the entry and the problem.
void validateTestConfig(const json& config, const std::string& path, bool deploy);

// The whole run of deploy_test_ec2 (argv without the program name); returns the exit status.
int runDeployTestEc2(const std::vector<std::string>& argv);

}  // namespace quenfold_testlibs
