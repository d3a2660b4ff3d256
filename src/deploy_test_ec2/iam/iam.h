// The IAM side of --ec2_role default: a policy allowing three S3 actions, a role EC2 may assume
// with that policy attached, and an instance profile holding the role; and their removal.
#pragma once

#include <string>

#include "awsapi/client.h"
#include "deploy_test_ec2/common/args.h"
#include "deploy_test_ec2/common/names.h"

namespace quenfold_testlibs {

using awsapi::AwsClient;

// The two documents, serialised as they are sent: one line, ", " and ": " separators.
std::string s3PolicyDocument();
std::string ec2TrustDocument();

std::string createS3Policy(const AwsClient& iam_client, const Args& args);
void createEc2Role(const AwsClient& iam_client, const std::string& policy_arn);
void createInstanceProfile(const AwsClient& iam_client);
// Removes the profile, the policy (found by name, attached or not) and the role; in a dry run it
// only looks up and logs. Already-removed objects are not failures.
void deleteInstanceProfile(const AwsClient& iam_client, const Args& args);

}  // namespace quenfold_testlibs
