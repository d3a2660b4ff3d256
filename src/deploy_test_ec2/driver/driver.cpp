// deploy_test_ec2's run: parse, log set-up, checks, every session and client made once, then
// deploy or teardown, the log upload, and the exit status kept for the run.
#include "deploy_test_ec2/driver/driver.h"

#include <atomic>
#include <iostream>
#include <map>

#include "awsapi/base/error.h"
#include "awsapi/client/consistency.h"
#include "awsapi/transport/endpoints.h"
#include "core/app_exit_status.h"
#include "core/entry_outcomes.h"
#include "core/exit_request.h"
#include "core/globals.h"
#include "core/interrupt.h"
#include "deploy_test_ec2/common/tags.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/deploy/deploy.h"
#include "deploy_test_ec2/deploy/preflight.h"
#include "deploy_test_ec2/iam/iam.h"
#include "deploy_test_ec2/keypair/keypair.h"
#include "deploy_test_ec2/network/network.h"
#include "deploy_test_ec2/permissions/permissions.h"
#include "deploy_test_ec2/teardown/teardown.h"
#include "lib/aws.h"
#include "lib/commonlib.h"
#include "lib/s3.h"

namespace quenfold_testlibs {

void getPemKeyFromSSM(const awsapi::AwsClient& ssm_client, const std::string& pemkey, const Args& args) {
  lib::logger()->info("- Download pem key " + pemkey + " from SSM");
  json resp = ssm_client.get_parameter({{"Name", pemkey}, {"WithDecryption", true}});
  // The key is written owner-only from the start: a private key must never be readable by others.
  writePrivateFile(args.key_name.value_or(""), resp.at("Parameter").at("Value").get<std::string>());
}

namespace {
// One test instance per gateway subnet: two entries deploying into the same one would each find
// the other's instance (or launch a second). Entries without a test subnet do not count.
void refuseSharedGateways(const json& config, const std::string& path) {
  auto name = [&](size_t i) {
    const json& e = config[i];
    std::string text = "entry " + std::to_string(i);
    if (e.contains("gw_name") && e["gw_name"].is_string())
      text.append(" (").append(e["gw_name"].get<std::string>()).append(")");
    return text;
  };
  std::map<std::string, size_t> entryOfGateway;
  for (size_t i = 0; i < config.size(); ++i) {
    if (config[i]["private_subnet_id"].get<std::string>().empty()) continue;
    const auto [at, fresh] = entryOfGateway.emplace(config[i]["gw_subnet_id"].get<std::string>(), i);
    if (!fresh) {
      throw TestConfigError("test configuration " + path + ": " + name(at->second) + " and " + name(i) +
                            " have the same \"gw_subnet_id\" " + at->first);
    }
  }
}
}  // namespace

void validateTestConfig(const json& config, const std::string& path, bool deploy) {
  auto fail = [&](const std::string& what) { throw TestConfigError("test configuration " + path + ": " + what); };
  if (!config.is_array()) fail("must be a JSON list of entries");
  if (config.empty()) fail("the list is empty; it needs at least one entry");
  auto text = [&](const json& entry, size_t i, const char* key) {
    if (!entry.contains(key)) fail("entry " + std::to_string(i) + " has no \"" + key + "\"");
    if (!entry[key].is_string()) fail("entry " + std::to_string(i) + ": \"" + key + "\" must be text");
    return entry[key].get<std::string>();
  };
  for (size_t i = 0; i < config.size(); ++i) {
    const json& entry = config[i];
    if (!entry.is_object()) fail("entry " + std::to_string(i) + " is not an object");
    const bool withSubnet = !text(entry, i, "private_subnet_id").empty();
    if (i == 0 || withSubnet) text(entry, i, "gw_subnet_id");
    if (!deploy) continue;
    if (withSubnet) {
      if (!entry.contains("gw_private_ip")) fail("entry " + std::to_string(i) + " has no \"gw_private_ip\"");
      // Text that is no network at all is refused here; a network that cannot be used (host
      // bits set, outside the VPC) fails only its own entry.
      const std::string cidr = text(entry, i, "private_subnet_cidr");
      if (!isIpv4NetworkText(cidr))
        fail("entry " + std::to_string(i) + ": \"private_subnet_cidr\" is not a valid IPv4 network: '" + cidr +
             "' does not appear to be an IPv4 network");
    } else if (!entry.contains("nat_gw_id")) {
      fail("entry " + std::to_string(i) + " has an empty \"private_subnet_id\" and no \"nat_gw_id\"");
    }
  }
  if (deploy) refuseSharedGateways(config, path);
}

namespace {

std::string joinArgs(const std::vector<std::string>& argv) {
  std::string out;
  for (const auto& a : argv) out += (out.empty() ? "" : " ") + a;
  return out;
}

awsapi::Session sessionFor(const std::optional<std::string>& role, const std::optional<std::string>& profile) {
  if (!given(role)) return awsapi::Session::from_profile(awsContext(), profile);
  auto s = start_aws_session(*role, profile);
  if (std::holds_alternative<std::string>(s)) throw core::ExitRequest{1};
  return std::get<awsapi::Session>(std::move(s));
}

// The backup folder must stay inside the working folder: it holds the log and the key file, and
// names the S3 key of the log. Logs why when it does not.
bool backupFolderIsUsable(const std::string& folder) {
  auto log = lib::logger();
  if (!folder.empty() && (folder[0] == '/' || folder[0] == '.')) {
    log->error("Please remove the beginning \"/\" or a \".\" from backup_folder " + folder);
    return false;
  }
  // A ".." anywhere would climb out of the working folder (and into the S3 key of the log).
  for (size_t start = 0; start <= folder.size();) {
    const size_t end = std::min(folder.find('/', start), folder.size());
    if (folder.compare(start, end - start, "..") == 0 && end - start == 2) {
      log->error("**Error** backup_folder " + folder + " must not contain a \"..\" segment");
      return false;
    }
    start = end + 1;
  }
  return true;
}

// --tag_resource, when given, must be whole key,value pairs that leave the Name tag alone. Logs why
// when it is not.
bool tagResourceIsUsable(const Args& args) {
  if (!args.tag_resource) return true;
  auto log = lib::logger();
  const auto fields = splitCommas(*args.tag_resource);
  if (fields.size() % 2 != 0) {
    log->info("**Error** incomplete tag_resource pair");
    return false;
  }
  for (size_t k = 0; k < fields.size(); k += 2) {
    if (fields[k] == "Name") {
      // The tool finds everything it made by its Name tag; another Name would hide it from the revert.
      log->error("**Error** tag_resource must not set the Name tag: the tool names its resources itself");
      return false;
    }
  }
  return true;
}

// What a deployment uses in the workflow account: S3 for the key and log backups, SSM for the key
// download.
struct WorkflowClients {
  std::shared_ptr<awsapi::AwsClient> s3;
  std::shared_ptr<awsapi::AwsClient> ssm;
  std::optional<awsapi::Session> session;
};

// The workflow account's number and region: the second and third fields of
// --workflow_account_role when given, else those of the instance the tool runs on.
std::pair<std::string, std::string> workflowAccount(const std::vector<std::string>& fields) {
  if (fields.size() >= 3) return {fields[1], fields[2]};
  json doc = get_aws_metadata();
  return {doc.at("accountId").get<std::string>(), doc.at("region").get<std::string>()};
}

// The workflow account's clients: through --workflow_account_role when given (then the key named
// by --key_name is downloaded from its SSM), else the profile's own account's S3 alone.
WorkflowClients workflowClients(const Args& args) {
  WorkflowClients clients;
  if (!given(args.workflow_account_role)) {
    clients.session = awsapi::Session::from_profile(awsContext(), args.profile);
    clients.s3 = clients.session->client("s3");
    return clients;
  }
  const auto fields = splitCommas(*args.workflow_account_role);
  const auto [number, region] = workflowAccount(fields);
  const std::string arn = "arn:" + awsapi::partition_of(region) + ":iam::" + number + ":role/" + fields[0];
  lib::logger()->info("- Use role " + arn + " for SSM access");
  clients.session = sessionFor(arn, args.profile);
  clients.ssm = clients.session->client("ssm", region);
  clients.s3 = clients.session->client("s3");
  if (given(args.key_name)) getPemKeyFromSSM(*clients.ssm, "/quenfold/workflow/secrets/" + *args.key_name, args);
  return clients;
}

// Uploads the log file this run's logger wrote, even if its path was replaced meanwhile. A failed
// upload fails the run's exit status; nothing else depends on it.
void uploadLog(const awsapi::AwsClient* s3_client, const std::string& bucket) {
  try {
    const auto logFile = lib::Common::openedLogFile();
    if (!logFile) throw std::runtime_error("no log file was written");
    lib::S3BackupCmd(s3_client, ".", bucket, logFile->path, logFile->read_path).uploadAFile();
  } catch (const std::exception& e) {
    lib::recordError(std::string("log upload failed: ") + e.what(), "log upload failed");
  }
}

// The run's last lines: the summary of its entries, once, after whatever error ended the run.
void logSummary() {
  static std::atomic<bool> logged{false};
  if (core::EntryOutcomes::all().empty() || logged.exchange(true)) return;
  const auto lines = core::EntryOutcomes::summaryLines();
  auto log = lib::logger();
  log->info("- Summary: " + lines.front());
  for (std::size_t i = 1; i < lines.size(); ++i) log->info("  " + lines[i]);
}

int run(const Args& args, const std::vector<std::string>& argv) {
  const std::string folder = args.backup_folder.value_or("");
  core::Globals::dry_run = args.dry_run;

  // The folder is checked before anything is created in it.
  if (!backupFolderIsUsable(folder)) return 1;
  lib::Common::initLogLocation(folder);
  lib::Common::logCommandOptions("deploy_test_ec2 " + joinArgs(argv));
  if (!tagResourceIsUsable(args)) return 1;
  // Read once: what is checked is what is used, even if the file changes meanwhile.
  const std::string configPath = args.test_config.value_or("");
  json config = readTestConfig(configPath);
  validateTestConfig(config, configPath, !args.revert);

  WorkflowClients workflow;
  if (!args.revert) workflow = workflowClients(args);
  awsapi::Session deploySession = sessionFor(args.assume_role, args.profile);
  // New EC2 resources may answer NotFound for a short while: calls naming them are retried.
  std::shared_ptr<awsapi::AwsClient> ec2_client =
      std::make_shared<awsapi::FreshIdRetryClient>(deploySession.client("ec2", args.region));
  auto iam_client = deploySession.client("iam", args.region);

  std::shared_ptr<awsapi::AwsClient> s3_client = workflow.s3;
  // STS: the caller's identity, and AWS's encoded reasons of refusals, decoded.
  auto sts_client = deploySession.client("sts", args.region);
  explainDenialsThrough(sts_client.get());
  struct ExplainerReset {
    ~ExplainerReset() { explainDenialsThrough(nullptr); }
  } explainerReset;
  if (!args.revert) {
    const lib::AmazonImage image = lib::latestAmazonLinuxImage(*ec2_client, args.image.value_or("al2023-ami-2023*"),
                                                               args.instance_type.value_or("t3.micro"));
    // The launch asks for what the image supports (IMDSv2 only, say).
    Args deployArgs = args;
    deployArgs.image_imds_support = image.imds_support;
    // The preflight's own clients: the caller's identity and decoded denials (STS), the vCPU quota.
    std::shared_ptr<awsapi::AwsClient> quotas_client;
    try {
      quotas_client = deploySession.client("servicequotas", args.region);
    } catch (const std::exception& e) {
      lib::logger()->info(std::string("  Service Quotas cannot be reached (") + e.what() +
                          "); the vCPU quota is not checked");
    }
    deployEc2s(*ec2_client, s3_client.get(), *iam_client, image.id, std::move(config), deployArgs,
               PreflightClients{sts_client.get(), quotas_client.get(), image.default_vcpus});
  } else {
    // The IAM objects stay while test instances that use them remain.
    const bool cleared = terminateEc2s(*ec2_client, *iam_client, config, args, sts_client.get());
    if (cleared && args.ec2_role && *args.ec2_role == "default") deleteInstanceProfile(*iam_client, args);
    // A teardown has no workflow session; its log goes up with the deployment account's S3 client.
    if (given(args.s3_bucket)) s3_client = deploySession.client("s3");
  }

  logSummary();  // before the log goes up
  if (given(args.s3_bucket) && core::interruptSignal() == 0) uploadLog(s3_client.get(), *args.s3_bucket);
  return core::AppExitStatus().getStatus();
}

}  // namespace

int runDeployTestEc2(const std::vector<std::string>& argv) {
  ParseOutcome parsed = parseArgs(argv);
  if (!parsed.args) {
    std::cout << parsed.out;
    // Option values are echoed in the error line: none of their control characters may reach the
    // console as such (the usage lines before it are the tool's own).
    std::string err = parsed.err;
    const std::string usage = usageText();
    if (err.rfind(usage, 0) == 0) {
      std::string line = err.substr(usage.size());
      if (!line.empty() && line.back() == '\n') line.pop_back();
      err = usage + lib::escapeControlCharacters(line) + "\n";
    }
    std::cerr << err;
    return parsed.exit_status;
  }
  const Args& args = *parsed.args;
  if (!args.revert && !given(args.output_test_config)) {
    // A deployment must be able to write its result: refuse before anything is made.
    std::cerr
        << usageText()
        << "deploy_test_ec2: error: argument --output_test_config is required when deploying (without --revert)\n";
    return 2;
  }
  // However the run ends, its summary comes last: after the error that ended it.
  try {
    const int status = run(args, argv);
    // Interrupted runs end with the shell's status for the signal, whatever else happened.
    if (int sig = core::interruptSignal()) return 128 + sig;
    return status;
  } catch (const core::Interrupted& e) {
    logSummary();
    return 128 + e.signal;
  } catch (const core::ExitRequest& e) {
    if (e.status != 0) core::EntryOutcomes::noteRunEnded();
    logSummary();
    if (int sig = core::interruptSignal()) return 128 + sig;
    return e.status;
  } catch (const std::exception& e) {
    lib::logError(e.what(), &e);
    core::EntryOutcomes::noteFailure(e.what());
    logSummary();
    if (int sig = core::interruptSignal()) return 128 + sig;
    return 1;
  }
}

}  // namespace quenfold_testlibs
