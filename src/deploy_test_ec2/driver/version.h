// What --version prints: the program's name, the project's version and, for a build from a git
// checkout, the commit it was built from.
#pragma once

#include <string>

namespace quenfold_testlibs {

// "deploy_test_ec2 1.0.0 (commit 0123456789ab)", without a line break.
std::string versionText(const std::string& program);

}  // namespace quenfold_testlibs
