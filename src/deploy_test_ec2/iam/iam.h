// The IAM side of --ec2_role default: a policy allowing three S3 actions, a role EC2 may assume
// with that policy attached, and an instance profile holding the role; and their removal.
#pragma once

#include <string>
#include <vector>

#include "awsapi/client/client.h"
#include "deploy_test_ec2/common/args.h"
#include "deploy_test_ec2/common/names.h"

namespace quenfold_testlibs {

using awsapi::AwsClient;

// The two documents, serialised as they are sent: one line, ", " and ": " separators. The policy's
// resource is in `partition` ("aws", "aws-cn", "aws-us-gov").
std::string s3PolicyDocument(const std::string& partition = "aws");
std::string ec2TrustDocument();

// The partition of the client's region: every ARN the tool writes is in it.
std::string partitionOf(const AwsClient& client);

// The three creations log each step and tag what they make with its Name and the --tag_resource
// pairs; the role gets --permissions_boundary as its permissions boundary when given. "Already
// exists" is an alert and the existing object is used; any other error of a create call is logged
// at error level with AWS's code and message and ends the run (exit 1) before the next IAM call. A
// NoSuchEntity answer right after a creation (IAM still propagating the new object) is retried
// through the clock for about a minute.
std::string createS3Policy(const AwsClient& iam_client, const Args& args);
void createEc2Role(const AwsClient& iam_client, const std::string& policy_arn, const Args& args);
void createInstanceProfile(const AwsClient& iam_client, const Args& args);
// The ARNs of the tool's policy, attached or not (a run may have died before attaching it).
std::vector<std::string> findPolicyArns(const AwsClient& iam_client);
// Removes the profile, the policy (found by name, attached or not) and the role; in a dry run it
// only looks up and logs. Already-removed objects are not failures.
void deleteInstanceProfile(const AwsClient& iam_client, const Args& args);

}  // namespace quenfold_testlibs
