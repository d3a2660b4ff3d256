// The adaptive retry mode's client-side rate limiting. AWS throttles per account, region and
// action with token buckets; a sender that learns each action's sustainable rate from the
// throttling answers gets its calls through at that rate instead of losing them to retries.
// One limiter per service, region and operation, so that a slow RunInstances bucket never slows
// DescribeInstances; all clients and threads of a process share them.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace quenfold_testlibs::awsapi {

// The learning rule as pure arithmetic over times in seconds, tested on data. Sending side: a
// token bucket whose fill rate is the allowed send rate. Before the first throttling answer the
// bucket is off and calls go out freely. On each throttle the rate drops to 0.7 times the rate
// the calls were really sent at (measured over half-second windows, smoothed); after it, the rate
// climbs back on a cubic curve that reaches the old rate after a while and then probes above
// it. The rate never exceeds twice the measured send rate, nor falls below half a call a second.
struct AdaptiveRate {
  static constexpr double kMinRate = 0.5;    // calls per second
  static constexpr double kBeta = 0.7;       // share of the rate kept after a throttle
  static constexpr double kScale = 0.4;      // the cubic's steepness
  static constexpr double kSmoothing = 0.8;  // weight of the newest window in the measured rate
  static constexpr double kWindow = 0.5;     // seconds per measuring window
  static constexpr double kMaxOverMeasured = 2.0;

  bool enabled = false;
  double fill_rate = kMinRate;  // tokens per second
  double max_tokens = 1;
  double tokens = 0;
  double last_refill = -1;  // < 0: not yet

  double measured_rate = 0;
  double window_start = 0;
  int window_count = 0;

  double w_max = 0;  // the rate at the last throttle
  double k = 0;      // seconds the cubic takes to climb back to w_max
  double last_throttle = 0;

  explicit AdaptiveRate(double now = 0);
  void refill(double now);
  // Takes a token if one is there (always true while disabled).
  bool try_take(double now);
  // Seconds until `n` tokens are there at the current fill rate.
  double seconds_until(double n) const;
  // An answer arrived: throttled or not. Updates the measured rate and the allowed rate.
  void on_answer(double now, bool throttled);
  // The allowed rate the cubic gives `dt` seconds after the last throttle.
  double cubic(double now) const;

 private:
  void set_rate(double now, double rate);
  void measure(double now);
};

// Thread-safe wrapper: callers wait their turn in arrival order. A call keeps the ticket of its
// first attempt, so a retried call goes before calls that arrived after it. Waits go through the
// tool's clock; time is the clock's monotonic (nominal) time.
class RateLimiter {
 public:
  using Ticket = std::uint64_t;  // 0: none yet
  RateLimiter();
  // Blocks until the caller may send. `ticket` is assigned on the first call and kept.
  void acquire(Ticket& ticket);
  void on_answer(bool throttled);
  // Whether a call sent through this limiter succeeded in the last `window`.
  bool succeeded_within(std::chrono::milliseconds window) const;
  AdaptiveRate snapshot() const;

 private:
  double now() const;
  mutable std::mutex mu_;
  AdaptiveRate rate_;
  std::set<Ticket> waiting_;
  Ticket next_ticket_ = 1;
  double last_success_ = -1;
};

// The limiters of a process, one per key ("ec2/us-east-1/RunInstances"), made on first use.
class RateLimiters {
 public:
  std::shared_ptr<RateLimiter> get(const std::string& key);

 private:
  std::mutex mu_;
  std::map<std::string, std::shared_ptr<RateLimiter>> limiters_;
};

}  // namespace quenfold_testlibs::awsapi
