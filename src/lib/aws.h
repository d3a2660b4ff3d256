// Image selection of the test library: the newest public Amazon image matching a name pattern
// whose architecture the instance type supports.
#pragma once

#include <string>

#include "awsapi/client/client.h"

namespace quenfold_testlibs::lib {

// `image`: a name pattern ("al2023-ami-2023*"); `instance_type`: whose architectures count.
std::string get_latest_amazon_linux_ami(const awsapi::AwsClient& ec2_client, const std::string& image,
                                        const std::string& instance_type);

}  // namespace quenfold_testlibs::lib
