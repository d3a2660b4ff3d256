// The one clock of the tool. Everything that waits (pauses, retries, waiters, polls) and
// everything that reads the time for signing goes through it, so that tests can run the
// timing rules without real sleeps.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace quenfold_testlibs::core {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock time, as used for request signing and credential expiry.
  virtual std::chrono::system_clock::time_point now() const = 0;
  // Monotonic time, for deadlines, elapsed-time bounds and rates. It runs in the same time as the
  // pauses: under a time scale, a 2-second pause moves it on by 2 seconds.
  virtual std::chrono::steady_clock::time_point monotonic() const = 0;
  // Pauses the calling thread (the system clock's pauses end early on an interruption).
  virtual void sleep_for(std::chrono::milliseconds d) = 0;
  // Waits on `cv`, `lock` held, until it is notified or `d` has passed (it may also end early, as
  // any wait on a condition variable). For a watcher that must wake when the watched work ends.
  virtual void wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, std::chrono::milliseconds d) {
    cv.wait_for(lock, d);
  }
};

// Real time. Pauses are multiplied by QUENFOLD_TIME_SCALE (a non-negative number, default 1)
// so that the sandbox, the demo and the end-to-end tests keep their waits short; monotonic time
// is divided by it (nominal time, as the sandbox counts it), so that a deadline or a send rate
// means the same to both sides. Scale 0 makes nominal time run a million times faster.
class SystemClock final : public Clock {
 public:
  SystemClock();
  explicit SystemClock(double scale) : scale_(scale) {}
  std::chrono::system_clock::time_point now() const override;
  std::chrono::steady_clock::time_point monotonic() const override;
  void sleep_for(std::chrono::milliseconds d) override;
  void wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, std::chrono::milliseconds d) override;
  double scale() const { return scale_; }

 private:
  double scale_ = 1.0;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Virtual time for tests: sleeping only advances the time and records the pause. A wait_for ends
// only on its notification: virtual time moves when someone sleeps, never by itself.
class RecordingClock final : public Clock {
 public:
  explicit RecordingClock(std::chrono::system_clock::time_point start =
                              std::chrono::system_clock::time_point(std::chrono::seconds(1700000000)));
  std::chrono::system_clock::time_point now() const override;
  std::chrono::steady_clock::time_point monotonic() const override;
  void sleep_for(std::chrono::milliseconds d) override;
  void wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, std::chrono::milliseconds d) override;
  void advance(std::chrono::milliseconds d);
  std::vector<std::chrono::milliseconds> sleeps() const;
  std::chrono::milliseconds total_slept() const;

 private:
  mutable std::mutex mu_;
  std::chrono::system_clock::time_point wall_;
  std::chrono::milliseconds elapsed_{0};
  std::vector<std::chrono::milliseconds> sleeps_;
};

// The process-wide clock: a SystemClock unless a test installed another one.
Clock& the_clock();

// Installs `c` as the process-wide clock for the lifetime of this object (tests only).
class ScopedClock {
 public:
  explicit ScopedClock(Clock& c);
  ~ScopedClock();
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;

 private:
  Clock* previous_;
};

}  // namespace quenfold_testlibs::core
