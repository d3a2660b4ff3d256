// Process entry of deploy_test_ec2.
#include <signal.h>

#include <string>
#include <vector>

#include "core/interrupt.h"
#include "deploy_test_ec2/driver/driver.h"
#include "lib/commonlib.h"

int main(int argc, char** argv) {
  using namespace quenfold_testlibs;
  // Before any thread exists, so that every thread leaves SIGINT and SIGTERM to the watcher.
  core::setInterruptNotice([](int sig) {
    lib::logger()->error(std::string("  **Error** Interrupted by ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") +
                         ": no new AWS work starts; calls in flight may finish for 30 s; the output is written "
                         "with what is known; a second signal ends the run at once");
  });
  core::installInterruptHandling();
  return runDeployTestEc2(std::vector<std::string>(argv + 1, argv + argc));
}
