// Process entry of deploy_test_ec2.
#include <string>
#include <vector>

#include "deploy_test_ec2/driver/driver.h"

int main(int argc, char** argv) {
  return quenfold_testlibs::runDeployTestEc2(std::vector<std::string>(argv + 1, argv + argc));
}
