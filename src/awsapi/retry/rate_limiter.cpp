// Client-side rate limiting of the adaptive retry mode. The constants and the shape of the rule
// (cubic increase, multiplicative decrease, measured send rate) are the reference SDKs'; keying
// the limiters per operation and serving waiters in arrival order are ours.
#include "awsapi/retry/rate_limiter.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "core/clock.h"
#include "core/interrupt.h"

namespace quenfold_testlibs::awsapi {

namespace {
// Bounds of one pause while waiting for a turn: long enough not to spin, short enough that a
// waiter notices a faster rate soon.
constexpr double kMinNap = 0.001;
constexpr double kMaxNap = 1.0;
}  // namespace

AdaptiveRate::AdaptiveRate(double now) : window_start(std::floor(now / kWindow) * kWindow), last_throttle(now) {}

void AdaptiveRate::refill(double now) {
  if (last_refill >= 0 && now > last_refill) tokens = std::min(max_tokens, tokens + (now - last_refill) * fill_rate);
  if (last_refill < 0 || now > last_refill) last_refill = now;
}

bool AdaptiveRate::try_take(double now) {
  if (!enabled) return true;
  refill(now);
  if (tokens < 1) return false;
  tokens -= 1;
  return true;
}

double AdaptiveRate::seconds_until(double n) const { return std::max(0.0, (n - tokens) / fill_rate); }

double AdaptiveRate::cubic(double now) const { return kScale * std::pow(now - last_throttle - k, 3) + w_max; }

void AdaptiveRate::measure(double now) {
  ++window_count;
  const double window = std::floor(now / kWindow) * kWindow;
  if (window > window_start) {
    const double current = window_count / (window - window_start);
    measured_rate = current * kSmoothing + measured_rate * (1 - kSmoothing);
    window_count = 0;
    window_start = window;
  }
}

void AdaptiveRate::set_rate(double now, double rate) {
  refill(now);
  fill_rate = std::max(rate, kMinRate);
  max_tokens = std::max(rate, 1.0);
  tokens = std::min(tokens, max_tokens);
}

void AdaptiveRate::on_answer(double now, bool throttled) {
  measure(now);
  double rate;
  if (throttled) {
    // The rate the calls were really going out at when the service said no.
    const double base = enabled ? std::min(measured_rate, fill_rate) : measured_rate;
    if (!enabled) {
      enabled = true;
      tokens = 0;
      last_refill = now;
    }
    w_max = base;
    k = std::cbrt(w_max * (1 - kBeta) / kScale);
    last_throttle = now;
    rate = base * kBeta;
  } else {
    rate = cubic(now);
  }
  set_rate(now, std::min(rate, kMaxOverMeasured * measured_rate));
}

RateLimiter::RateLimiter() : rate_(now()) {}

double RateLimiter::now() const {
  return std::chrono::duration<double>(core::the_clock().monotonic().time_since_epoch()).count();
}

void RateLimiter::acquire(Ticket& ticket) {
  std::unique_lock lk(mu_);
  if (ticket == 0) ticket = next_ticket_++;
  waiting_.insert(ticket);
  for (;;) {
    if (!rate_.enabled) break;
    if (core::interruptSignal() != 0) {
      waiting_.erase(ticket);
      throw core::Interrupted{core::interruptSignal()};
    }
    const double t = now();
    const auto ahead = std::distance(waiting_.begin(), waiting_.find(ticket));
    if (ahead == 0 && rate_.try_take(t)) break;
    rate_.refill(t);
    const double wait = std::clamp(rate_.seconds_until(static_cast<double>(ahead) + 1), kMinNap, kMaxNap);
    lk.unlock();
    core::the_clock().sleep_for(std::chrono::milliseconds(static_cast<long long>(std::ceil(wait * 1000))));
    lk.lock();
  }
  waiting_.erase(ticket);
}

void RateLimiter::on_answer(bool throttled) {
  std::lock_guard lk(mu_);
  const double t = now();
  rate_.on_answer(t, throttled);
  if (!throttled) last_success_ = t;
}

bool RateLimiter::succeeded_within(std::chrono::milliseconds window) const {
  std::lock_guard lk(mu_);
  return last_success_ >= 0 && now() - last_success_ <= std::chrono::duration<double>(window).count();
}

AdaptiveRate RateLimiter::snapshot() const {
  std::lock_guard lk(mu_);
  return rate_;
}

std::shared_ptr<RateLimiter> RateLimiters::get(const std::string& key) {
  std::lock_guard lk(mu_);
  auto& slot = limiters_[key];
  if (!slot) slot = std::make_shared<RateLimiter>();
  return slot;
}

}  // namespace quenfold_testlibs::awsapi
