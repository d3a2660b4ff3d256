// Deployment: one test instance per test subnet, launched (or found) in the gateway subnet, given
// a public address and a second interface in the private subnet, all subnets in parallel.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>

#include <nlohmann/json.hpp>

#include "awsapi/client/client.h"
#include "deploy_test_ec2/common/args.h"
#include "deploy_test_ec2/common/names.h"
#include "deploy_test_ec2/lookup/lookup.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;
using awsapi::AwsClient;

// Boot-script template of a test instance, with the placeholders {{spoke_gw_ip}}, {{s3_bucket}} and {{tag}}.
extern const char* const user_data_tmp;

// Refusals of RunInstances that concern the whole account (a vCPU or instance limit, a region
// still being verified, a blocked account) or one zone (the type not offered, no capacity) close
// a gate the workers share: after the first such refusal no further launch is sent there in this
// run, and the entries not launched yet fail at once with one short line each.
class LaunchGate {
 public:
  // Thrown by a launch that found no capacity in its zone while the zone's minute of retries
  // lasts: the launch waits for the zone's next try (heldFor) and is sent again.
  struct TryAgain {};

  // Why a launch into `zone` is not sent ("" when it may be).
  std::string closedFor(const std::string& zone) const;
  // Records a refusal of a launch into `zone` with AWS's `code`; other codes close nothing.
  void refused(const std::string& code, const std::string& zone);
  // InsufficientInstanceCapacity is no error of the service but of the zone, for minutes: the
  // zone is held, and one launch at a time tries it again every 15 s. True while that minute
  // lasts; then false, and the zone is closed with AWS's message.
  bool noCapacity(const std::string& zone, const std::string& message);
  // How long a launch into `zone` waits before it asks again (zero: it goes now, and while the
  // zone is held it is the one launch that tries it).
  std::chrono::milliseconds heldFor(const std::string& zone);
  // The launch into `zone` is over: a launched one ends the zone's hold, any other lets the next
  // launch try in its turn.
  void done(const std::string& zone, bool launched);
  // Waits (through the clock) for this launch's turn under EC2's documented RunInstances bucket:
  // a burst of 5, then 2 a second. Launches used to start all at once, and EC2 throttled most of
  // them; the client's adaptive rate takes over from there as for every call.
  void pace();

 private:
  struct Hold {
    std::chrono::steady_clock::time_point since;     // the zone's first refusal for capacity
    std::chrono::steady_clock::time_point next_try;  // when a launch may try the zone again
    bool trying = false;                             // a launch is trying it now
  };
  mutable std::mutex mu_;
  bool started_ = false;
  double tokens_ = 0;
  std::chrono::steady_clock::time_point last_{};
  std::string account_;
  std::map<std::string, std::string> zones_;
  std::map<std::string, Hold> held_;
};

// One launch attempt under the retry wrapper (6 tries, 10 s apart) while EC2 answers
// InvalidParameterValue about the instance profile (not known to EC2 yet); absent when the launch
// failed otherwise, AWS's message logged.
std::optional<std::string> createEc2WithRetry(const AwsClient& ec2_client, const json& data);
// The same, telling `gate` of a refusal that concerns the account or the zone `zone`; throws
// LaunchGate::TryAgain when the zone had no capacity and its minute of retries is not spent.
std::optional<std::string> createEc2WithRetry(const AwsClient& ec2_client, const json& data, LaunchGate* gate,
                                              const std::string& zone);

// Where one test instance goes: launched in the gateway subnet, its second interface in the
// private subnet.
struct TestSubnet {
  std::string gw_subnet_id;
  std::string private_subnet_id;
  std::string spoke_gw_ip;  // for the boot script's {{spoke_gw_ip}}; createEc2 does not use it
};

// What a deployment makes once and every instance uses; absent what the run goes without.
struct SharedResources {
  std::optional<std::string> sg_id;              // group of the primary interface
  std::optional<std::string> sg_id_private_inf;  // group of the second interface
  std::optional<std::string> instance_profile;
  std::optional<std::string> key_name;
  // With --eip: the instances that hold an Elastic IP already, as read before anything was made.
  // An instance outside it gets one, even when it has a plain public address.
  std::optional<std::set<std::string>> eip_holders = std::nullopt;
  // The tool's instances of the VPC by subnet, as read once before the workers start (absent: each
  // worker looks in its own subnet).
  std::optional<Ec2sBySubnet> found = std::nullopt;
  // The launches' gate, and the zone of each subnet of the VPC as the preflight read it.
  std::shared_ptr<LaunchGate> gate = std::make_shared<LaunchGate>();
  std::map<std::string, std::string> zone_of = {};
};

// The RunInstances request of a new test instance in the gateway subnet, with the instance
// profile `profile` when there is one: the instance, its volumes and its primary interface tagged,
// and IMDSv2 tokens required when the image takes IMDSv2 only (args.image_imds_support "v2.0").
json launchRequest(const std::string& ami, const TestSubnet& subnet, const SharedResources& shared,
                   const std::optional<std::string>& profile, const Args& args);

// The instance profile to launch with for --ec2_role NAME: the first that ListInstanceProfilesForRole
// gives for the role. Ends the run when the role or a profile is missing.
std::string resolveInstanceProfile(const AwsClient& iam_client, const std::string& role);

void createEc2(const AwsClient& ec2_client, const AwsClient& iam_client, const std::string& ami,
               const TestSubnet& subnet, const Args& args, json& test_config, const SharedResources& shared = {});

// The whole deployment; writes the enriched configuration to --output_test_config.
void deployEc2s(const AwsClient& ec2_client, const AwsClient* s3_client, const AwsClient& iam_client,
                const std::string& ami, const Args& args);
// The same with the configuration already read (and checked) by the caller.
void deployEc2s(const AwsClient& ec2_client, const AwsClient* s3_client, const AwsClient& iam_client,
                const std::string& ami, json config, const Args& args);

// The same with the clients the preflight uses beyond these (STS, Service Quotas).
struct PreflightClients;
void deployEc2s(const AwsClient& ec2_client, const AwsClient* s3_client, const AwsClient& iam_client,
                const std::string& ami, json config, const Args& args, const PreflightClients& clients);

// Image lookups offered to other tools.
std::string getAMIByName(const AwsClient& ec2_client, const Args& args);
std::string getAMI(const AwsClient& ssm_client, const Args& args);

}  // namespace quenfold_testlibs
