// Process entry of deploy_test_ec2.
#include <iostream>
#include <string>

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "-h" || a == "--help") {
      std::cout << "usage: deploy_test_ec2 [-h] --test_config TEST_CONFIG --backup_folder BACKUP_FOLDER\n\n"
                   "Deploy test EC2 in test subnets\n";
      return 0;
    }
  }
  std::cerr << "deploy_test_ec2: the command-line driver is not built yet\n";
  return 2;
}
