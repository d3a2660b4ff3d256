// The EC2 waiters the tool uses, with the reference SDK's operation, delay, attempt limit and
// acceptors, and its error texts. Pauses go through the tool's clock. A wait on instance ids polls
// through the shared poller of its kind, which answers many waiting workers with one call.
#include <algorithm>
#include <array>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "awsapi/base/error.h"
#include "awsapi/client/client.h"
#include "awsapi/waiters/waiter_poller.h"
#include "core/clock.h"

namespace quenfold_testlibs::awsapi {

namespace {

enum class State { Success, Failure, Retry };
enum class Matcher { PathAll, PathAny, Error };

struct Acceptor {
  State state;
  Matcher matcher;
  std::string_view argument;  // path expression, for the path matchers
  std::string_view expected;
};

struct WaiterConfig {
  std::string_view snake_name;
  std::string_view name;  // the reference SDK's name, used in error texts
  std::string_view operation;
  std::chrono::seconds delay;
  int max_attempts;
  std::vector<Acceptor> acceptors;
};

// The reference SDK's waiters. instance_status_ok also fails at once on an instance that is going
// away or whose checks failed (asked with IncludeAllInstances, the answer lists it in any state):
// otherwise a launch that dies is polled for the full ten minutes.
const std::array<WaiterConfig, 3>& waiters() {
  static const std::array<WaiterConfig, 3> table = {
      WaiterConfig{"instance_status_ok",
                   "InstanceStatusOk",
                   "DescribeInstanceStatus",
                   std::chrono::seconds(15),
                   40,
                   {{State::Success, Matcher::PathAll, "InstanceStatuses[].InstanceStatus.Status", "ok"},
                    {State::Failure, Matcher::PathAny, "InstanceStatuses[].InstanceState.Name", "shutting-down"},
                    {State::Failure, Matcher::PathAny, "InstanceStatuses[].InstanceState.Name", "terminated"},
                    {State::Failure, Matcher::PathAny, "InstanceStatuses[].InstanceState.Name", "stopping"},
                    {State::Failure, Matcher::PathAny, "InstanceStatuses[].InstanceState.Name", "stopped"},
                    {State::Failure, Matcher::PathAny, "InstanceStatuses[].InstanceStatus.Status", "impaired"},
                    {State::Failure, Matcher::PathAny, "InstanceStatuses[].SystemStatus.Status", "impaired"},
                    {State::Retry, Matcher::Error, "", "InvalidInstanceID.NotFound"}}},
      WaiterConfig{"instance_terminated",
                   "InstanceTerminated",
                   "DescribeInstances",
                   std::chrono::seconds(15),
                   40,
                   {{State::Success, Matcher::PathAll, "Reservations[].Instances[].State.Name", "terminated"},
                    {State::Failure, Matcher::PathAny, "Reservations[].Instances[].State.Name", "pending"},
                    {State::Failure, Matcher::PathAny, "Reservations[].Instances[].State.Name", "stopping"}}},
      WaiterConfig{"instance_stopped",
                   "InstanceStopped",
                   "DescribeInstances",
                   std::chrono::seconds(15),
                   40,
                   {{State::Success, Matcher::PathAll, "Reservations[].Instances[].State.Name", "stopped"},
                    {State::Failure, Matcher::PathAny, "Reservations[].Instances[].State.Name", "pending"},
                    {State::Failure, Matcher::PathAny, "Reservations[].Instances[].State.Name", "terminated"}}},
  };
  return table;
}

const WaiterConfig* find_waiter(const std::string& name) {
  for (const auto& w : waiters())
    if (name == w.snake_name || name == w.name) return &w;
  return nullptr;
}

// One step of an expression over every current value: "A" takes each value's field A, "A[]"
// takes the elements of each value's array field A. Missing fields and nulls drop out.
std::vector<json> apply_segment(const std::vector<json>& values, const std::string& field, bool flatten) {
  std::vector<json> next;
  for (const auto& v : values) {
    if (!v.is_object()) continue;
    auto it = v.find(field);
    if (it == v.end() || it->is_null()) continue;
    if (!flatten) {
      next.push_back(*it);
      continue;
    }
    if (!it->is_array()) continue;
    std::copy_if(it->begin(), it->end(), std::back_inserter(next), [](const json& e) { return !e.is_null(); });
  }
  return next;
}

// The waiters' expressions use only field access and the flatten projection ("A[].B.C"), so this
// evaluates exactly that subset of the query language rather than carrying a full engine, which
// no packaged C++ library provides. Returns a list when the expression projects.
json search(std::string_view expr, const json& root) {
  std::vector<json> values{root};
  bool projected = false;
  while (!expr.empty()) {
    const auto dot = expr.find('.');
    std::string_view seg = expr.substr(0, dot);
    expr = dot == std::string_view::npos ? std::string_view() : expr.substr(dot + 1);
    const bool flatten = seg.size() >= 2 && seg.substr(seg.size() - 2) == "[]";
    const std::string field(flatten ? seg.substr(0, seg.size() - 2) : seg);
    values = apply_segment(values, field, flatten);
    projected = projected || flatten;
  }
  if (projected) return json(values);
  return values.empty() ? json() : values.front();
}

bool matches(const Acceptor& a, const json& response, const ClientError* error) {
  if (a.matcher == Matcher::Error) return error && error->code() == a.expected;
  if (error) return false;
  const json result = search(a.argument, response);
  // Both path matchers need a non-empty list, as the reference SDK requires.
  if (!result.is_array() || result.empty()) return false;
  auto equal = [&](const json& e) { return e.is_string() && e.get<std::string>() == a.expected; };
  if (a.matcher == Matcher::PathAll) return std::all_of(result.begin(), result.end(), equal);
  return std::any_of(result.begin(), result.end(), equal);
}

std::string explanation(const Acceptor& a) {
  const std::string arg(a.argument), exp(a.expected);
  switch (a.matcher) {
    case Matcher::PathAll:
      return "For expression \"" + arg + "\" all members matched expected path: \"" + exp + "\"";
    case Matcher::PathAny:
      return "For expression \"" + arg + "\" we matched expected path: \"" + exp + "\" at least once";
    case Matcher::Error:
      return "Matched expected service error code: " + exp;
  }
  return {};
}

// Calls the waiter's operation once, leaving its answer in `response`. Returns the service error
// the call ended with, if any; other failures (transport, credentials) propagate.
std::optional<ClientError> poll_once(const AwsClient& client, const WaiterConfig& cfg, const json& request,
                                     json& response) {
  try {
    response = client.call(std::string(cfg.operation), request);
  } catch (const ClientError& e) {
    return e;
  }
  return std::nullopt;
}

// The first acceptor, in the table's order, that this call's outcome matches.
const Acceptor* first_match(const WaiterConfig& cfg, const json& response, const std::optional<ClientError>& error) {
  for (const auto& a : cfg.acceptors) {
    if (matches(a, response, error ? &*error : nullptr)) return &a;
  }
  return nullptr;
}

// A service error that no acceptor expects ends the wait, with the error's code.
WaiterError unexpected_error(const std::string& prefix, const ClientError& error) {
  return WaiterError(prefix + "An error occurred (" + (error.code().empty() ? "Unknown" : error.code()) +
                         "): " + (error.message().empty() ? "Unknown" : error.message()),
                     error.code());
}

// The error for running out of attempts. The reference SDK names the acceptor its loop stopped
// at: the one matched in this attempt, else the last of the list.
WaiterError attempts_exceeded(const std::string& prefix, const WaiterConfig& cfg, const Acceptor* last_matched,
                              const Acceptor* matched, const json& response) {
  if (!last_matched) return WaiterError(prefix + "Max attempts exceeded", {}, response);
  const Acceptor& named = matched ? *matched : cfg.acceptors.back();
  return WaiterError(prefix + "Max attempts exceeded. Previously accepted state: " + explanation(named), {}, response);
}

}  // namespace

bool Waiter::exists(const std::string& name) { return find_waiter(name) != nullptr; }

Waiter::Waiter(const AwsClient& c, std::string n) : client_(c), name_(std::move(n)) {
  if (!exists(name_)) throw std::invalid_argument("Waiter does not exist: " + name_);
}

void Waiter::wait(const json& request) const {
  const WaiterConfig& cfg = *find_waiter(name_);
  const std::string prefix = "Waiter " + std::string(cfg.name) + " failed: ";
  std::optional<SharedPoller> shared;
  // A wait that names its instances by id shares its polls with other waits of the same kind.
  if (SharedPoller::can_share(std::string(cfg.operation), request))
    shared.emplace(client_, std::string(cfg.operation), request, cfg.delay);
  std::optional<std::chrono::steady_clock::time_point> due;
  const Acceptor* last_matched = nullptr;
  for (int attempt = 1;; ++attempt) {
    json response;
    std::optional<ClientError> error;
    if (shared) {
      PollAnswer answer = shared->poll(due);
      response = std::move(answer.response);
      error = std::move(answer.error);
      due = answer.at + cfg.delay;  // the shared poller pauses until then
    } else {
      error = poll_once(client_, cfg, request, response);
    }
    const Acceptor* matched = first_match(cfg, response, error);
    if (matched) {
      last_matched = matched;
      if (matched->state == State::Success) return;
      if (matched->state == State::Failure)
        throw WaiterError(prefix + "Waiter encountered a terminal failure state: " + explanation(*matched), {},
                          response);
    } else if (error) {
      throw unexpected_error(prefix, *error);
    }
    if (attempt >= cfg.max_attempts) throw attempts_exceeded(prefix, cfg, last_matched, matched, response);
    if (!shared) core::the_clock().sleep_for(cfg.delay);
  }
}

}  // namespace quenfold_testlibs::awsapi
