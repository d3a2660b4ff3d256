// The retry wrapper: calls `fn` up to `tries` times while it fails with exception type E, pausing
// a fixed `delay` (through the clock) between attempts. The last E, and any other exception,
// propagates unchanged.
#pragma once

#include <chrono>

#include "core/clock.h"

namespace quenfold_testlibs::core {

template <class E, class F>
auto retry(int tries, std::chrono::milliseconds delay, F&& fn) -> decltype(fn()) {
  for (int attempt = 1;; ++attempt) {
    try {
      return fn();
    } catch (const E&) {
      if (attempt >= tries) throw;
    }
    the_clock().sleep_for(delay);
  }
}

}  // namespace quenfold_testlibs::core
