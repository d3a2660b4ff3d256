#include "deploy_test_ec2/driver/version.h"

// Written at build time by cmake/version.cmake.
#include "quenfold_version.h"

namespace quenfold_testlibs {

std::string versionText(const std::string& program) {
  std::string text = program + " " + QUENFOLD_VERSION;
  if (const std::string commit = QUENFOLD_COMMIT; !commit.empty()) text += " (commit " + commit + ")";
  return text;
}

}  // namespace quenfold_testlibs
