#include "core/clock.h"

#include "core/interrupt.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <string>

namespace quenfold_testlibs::core {

namespace {
double scale_from_env() {
  const char* v = std::getenv("QUENFOLD_TIME_SCALE");
  if (v == nullptr || *v == '\0') return 1.0;
  try {
    double s = std::stod(v);
    return s >= 0 ? s : 1.0;
  } catch (...) {
    return 1.0;
  }
}

std::atomic<Clock*> g_override{nullptr};
}  // namespace

SystemClock::SystemClock() : scale_(scale_from_env()) {}

std::chrono::system_clock::time_point SystemClock::now() const { return std::chrono::system_clock::now(); }

std::chrono::steady_clock::time_point SystemClock::monotonic() const {
  const auto real = std::chrono::steady_clock::now();
  if (scale_ == 1.0) return real;
  const double factor = 1.0 / std::max(scale_, 1e-6);
  const auto elapsed = std::chrono::duration<double>(real - start_) * factor;
  return start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(elapsed);
}

void SystemClock::sleep_for(std::chrono::milliseconds d) {
  if (d.count() <= 0) return;
  // An interruption (SIGINT, SIGTERM) ends every pause at once: the run then starts no new work.
  auto scaled = std::chrono::duration<double, std::milli>(static_cast<double>(d.count()) * scale_);
  interruptibleSleep(std::chrono::duration_cast<std::chrono::nanoseconds>(scaled));
}

void SystemClock::wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                           std::chrono::milliseconds d) {
  // At least a millisecond of real time, so that a time scale near 0 does not make a watcher spin.
  const double scaled = std::max(1.0, static_cast<double>(d.count()) * scale_);
  cv.wait_for(lock, std::chrono::duration<double, std::milli>(scaled));
}

RecordingClock::RecordingClock(std::chrono::system_clock::time_point start) : wall_(start) {}

std::chrono::system_clock::time_point RecordingClock::now() const {
  std::lock_guard lk(mu_);
  return wall_ + elapsed_;
}

std::chrono::steady_clock::time_point RecordingClock::monotonic() const {
  std::lock_guard lk(mu_);
  return std::chrono::steady_clock::time_point(elapsed_);
}

void RecordingClock::sleep_for(std::chrono::milliseconds d) {
  std::lock_guard lk(mu_);
  sleeps_.push_back(d);
  elapsed_ += d;
}

void RecordingClock::wait_for(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                              std::chrono::milliseconds /*d*/) {
  cv.wait(lock);
}

void RecordingClock::advance(std::chrono::milliseconds d) {
  std::lock_guard lk(mu_);
  elapsed_ += d;
}

std::vector<std::chrono::milliseconds> RecordingClock::sleeps() const {
  std::lock_guard lk(mu_);
  return sleeps_;
}

std::chrono::milliseconds RecordingClock::total_slept() const {
  std::lock_guard lk(mu_);
  std::chrono::milliseconds t{0};
  for (auto s : sleeps_) t += s;
  return t;
}

Clock& the_clock() {
  if (Clock* c = g_override.load()) return *c;
  static SystemClock system;
  return system;
}

ScopedClock::ScopedClock(Clock& c) : previous_(g_override.exchange(&c)) {}
ScopedClock::~ScopedClock() { g_override.store(previous_); }

}  // namespace quenfold_testlibs::core
