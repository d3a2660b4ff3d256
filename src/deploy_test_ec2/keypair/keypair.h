// The SSH key pair shared by the test instances of one VPC, and its private key file.
#pragma once

#include <string>

#include "awsapi/client/client.h"
#include "deploy_test_ec2/common/args.h"
#include "deploy_test_ec2/common/names.h"

namespace quenfold_testlibs {

using awsapi::AwsClient;

std::string createKeyPair(const AwsClient& ec2_client, const AwsClient* s3_client, const std::string& vpcId,
                          const Args& args);
// The CreateKeyPair request of the VPC's key pair `keyname`.
nlohmann::ordered_json keyPairRequest(const std::string& keyname, const Args& args);
void deleteKeyPair(const AwsClient& ec2_client, const std::string& keyname, const Args& args);

// Writes `content` to `path` owner-only (0600) from the moment the file exists: a new file is
// created with that mode and renamed over any old one, so no link planted at the path is followed.
void writePrivateFile(const std::string& path, const std::string& content);

}  // namespace quenfold_testlibs
