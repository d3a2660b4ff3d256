// Settings the shared library reads process-wide. The tool publishes its dry-run flag here once,
// before any work; its own operations read the flag from the option set.
#pragma once

#include <atomic>

namespace quenfold_testlibs::core {

struct Globals {
  static inline std::atomic<bool> dry_run{false};
};

}  // namespace quenfold_testlibs::core
