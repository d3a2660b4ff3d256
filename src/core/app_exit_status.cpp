#include "core/app_exit_status.h"

#include <algorithm>
#include <mutex>

#include "core/entry_outcomes.h"

namespace quenfold_testlibs::core {

namespace {
std::mutex g_mu;
int g_status = 0;
std::vector<std::string> g_failures;
}  // namespace

int AppExitStatus::getStatus() const {
  std::lock_guard lk(g_mu);
  return g_status;
}

void AppExitStatus::recordFailure(const std::string& what, int status) {
  {
    std::lock_guard lk(g_mu);
    g_status = std::max(g_status, status <= 0 ? 1 : status);
    g_failures.push_back(what);
  }
  EntryOutcomes::noteFailure(what);
}

std::vector<std::string> AppExitStatus::failures() {
  std::lock_guard lk(g_mu);
  return g_failures;
}

void AppExitStatus::reset() {
  std::lock_guard lk(g_mu);
  g_status = 0;
  g_failures.clear();
  EntryOutcomes::reset();
}

}  // namespace quenfold_testlibs::core
