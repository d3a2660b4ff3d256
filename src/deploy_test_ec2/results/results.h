// Collection of the test results that the test instances upload to S3 after their tests.
#pragma once

#include "awsapi/client/client.h"
#include "deploy_test_ec2/common/args.h"

namespace quenfold_testlibs {

// Logs each subnet's log and result objects; returns 1 when any subnet fails the pass rule (result
// text, trimmed, equals "PASS") or its objects could not be fetched, else 0. With --test_config
// every entry is collected; without it, the one subnet named by the run tag.
int getS3TestResults(const awsapi::AwsClient& s3_client, const Args& args);

// The pass rule on a result object's text.
bool resultPasses(const std::string& text);

}  // namespace quenfold_testlibs
