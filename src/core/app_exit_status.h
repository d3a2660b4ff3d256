// The run's exit status, kept for the whole process. Every failure that leaves the run's goal
// unmet is recorded here (from any thread); main ends with getStatus(), so a failed run never
// exits 0.
#pragma once

#include <string>
#include <vector>

namespace quenfold_testlibs::core {

class AppExitStatus {
 public:
  AppExitStatus() = default;
  // 0 when nothing failed, otherwise the highest status recorded (1 for ordinary failures).
  int getStatus() const;

  // Records a failure with a short description (kept for the summary, never shown with secrets).
  static void recordFailure(const std::string& what, int status = 1);
  static std::vector<std::string> failures();
  // Tests only: forget everything recorded.
  static void reset();
};

}  // namespace quenfold_testlibs::core
