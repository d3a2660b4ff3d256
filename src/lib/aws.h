// Image selection of the test library: the newest public Amazon image matching a name pattern
// whose architecture the instance type supports.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "awsapi/client/client.h"

namespace quenfold_testlibs::lib {

// The DescribeInstanceTypes entry of `instance_type`; null when EC2 does not know the type.
nlohmann::ordered_json instanceTypeInfo(const awsapi::AwsClient& ec2_client, const std::string& instance_type);

// An image as the launch needs it.
struct AmazonImage {
  std::string id;
  std::string imds_support;          // DescribeImages' ImdsSupport: "v2.0" when its instances take IMDSv2 only, else ""
  std::optional<int> default_vcpus;  // the instance type's DefaultVCpus, read on the way
};

// `image`: a name pattern ("al2023-ami-2023*"); `instance_type`: whose architectures count.
AmazonImage latestAmazonLinuxImage(const awsapi::AwsClient& ec2_client, const std::string& image,
                                   const std::string& instance_type);
// The same image's id alone.
std::string get_latest_amazon_linux_ami(const awsapi::AwsClient& ec2_client, const std::string& image,
                                        const std::string& instance_type);

}  // namespace quenfold_testlibs::lib
