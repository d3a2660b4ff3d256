// Image selection of the test library: the newest public Amazon image matching a name pattern
// whose architecture the instance type supports.
#pragma once

#include <string>

#include "awsapi/client.h"
#include "deploy_test_ec2/driver/options.h"

namespace quenfold_testlibs::lib {

std::string get_latest_amazon_linux_ami(const awsapi::AwsClient& ec2_client, const Args& args);

}  // namespace quenfold_testlibs::lib
