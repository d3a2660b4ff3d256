#include "core/interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/clock.h"

namespace quenfold_testlibs::core {

namespace {
std::atomic<int> g_signal{0};
std::atomic<long long> g_since_ns{0};  // the clock's monotonic time of the first signal
std::mutex g_mu;
std::condition_variable g_cv;
std::function<void(int)> g_notice;

long long monotonic_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(the_clock().monotonic().time_since_epoch()).count();
}

void watch(sigset_t set) {
  for (;;) {
    int sig = 0;
    if (sigwait(&set, &sig) != 0) continue;
    if (g_signal.load() != 0) {
      // The second signal: the user wants out now; nothing more is written.
      _exit(128 + sig);
    }
    interruptFor(sig);
  }
}
}  // namespace

void setInterruptNotice(std::function<void(int)> notice) {
  std::lock_guard lk(g_mu);
  g_notice = std::move(notice);
}

void installInterruptHandling() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread(watch, set).detach();
}

int interruptSignal() { return g_signal.load(); }

void throwIfInterrupted() {
  if (int sig = g_signal.load()) throw Interrupted{sig};
}

bool inFlightGraceOver() {
  if (g_signal.load() == 0) return false;
  return monotonic_ns() - g_since_ns.load() >= std::chrono::nanoseconds(kInFlightGrace).count();
}

void interruptFor(int signal) {
  std::function<void(int)> notice;
  {
    std::lock_guard lk(g_mu);
    g_since_ns.store(monotonic_ns());
    g_signal.store(signal);
    notice = g_notice;
  }
  g_cv.notify_all();
  if (signal != 0 && notice) notice(signal);
}

void interruptibleSleep(std::chrono::nanoseconds d) {
  std::unique_lock lk(g_mu);
  g_cv.wait_for(lk, d, [] { return g_signal.load() != 0; });
}

}  // namespace quenfold_testlibs::core
