// Teardown: terminate each test subnet's instances (in parallel), then, once no test instance is
// left in the VPC, delete the groups, the leftover interfaces and the key pair.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "awsapi/client/client.h"
#include "deploy_test_ec2/common/args.h"
#include "deploy_test_ec2/lookup/lookup.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;

using awsapi::AwsClient;

// True when the VPC was found clear of test instances (or in a dry run), so that the shared
// resources were removed and the IAM objects may go too; false when instances remain.
bool terminateEc2s(const AwsClient& ec2_client, const AwsClient& iam_client, const Args& args);
// The same with the configuration already read (and checked) by the caller.
bool terminateEc2s(const AwsClient& ec2_client, const AwsClient& iam_client, const json& config, const Args& args);
// The same, first asking AWS whether each kind of delete would be allowed (EC2 dry runs on real
// ids, IAM's policy simulator with --ec2_role default, STS decoding a refusal): a refusal ends the
// run (exit 1) before anything is deleted, in a dry run too.
bool terminateEc2s(const AwsClient& ec2_client, const AwsClient& iam_client, const json& config, const Args& args,
                   const AwsClient* sts_client);
// Deletes the test instances of the gateway subnet; `found` is what a lookup of the whole VPC saw
// in it (absent: it looks in the subnet itself).
void deleteEc2(const AwsClient& ec2_client, const AwsClient& iam_client, const std::string& subnet_id, const Args& args,
               const std::vector<FoundEc2>* found = nullptr);
// Ids of the test instances not yet terminated in the VPC (pending, running, shutting-down,
// stopping or stopped), every instance of every reservation; absent when none.
// When the lookup fails, the error is reported, `lookup_failed` set and absent returned.
std::optional<std::vector<std::string>> getAllEc2InVpc(const AwsClient& ec2_client, const std::string& vpc_id,
                                                       bool* lookup_failed = nullptr);

}  // namespace quenfold_testlibs
