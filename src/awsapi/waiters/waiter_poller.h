// One poller per client, waiter kind and request (less its ids), shared by every worker
// waiting on it: workers due for a poll at about the same time are answered by one describe call
// over all their ids, so that N waiting workers cost a few calls an interval instead of N.
// Each worker still sees only its own instances' part of the answer and keeps its own count.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "awsapi/base/error.h"
#include "awsapi/client/client.h"

namespace quenfold_testlibs::awsapi {

class PollerState;

// What one poll told one worker: the answer its own request would have had, or the service error
// it would have ended with. `at` is when the call was due (the start of the worker's interval).
struct PollAnswer {
  json response;
  std::optional<ClientError> error;
  std::chrono::steady_clock::time_point at;
};

// A worker's membership of the shared poller for (client, operation, request less its ids),
// held for the whole wait. The poller lives while it has members.
class SharedPoller {
 public:
  // `request` must name its ids in "InstanceIds" (DescribeInstances, DescribeInstanceStatus) or
  // "NetworkInterfaceIds" (DescribeNetworkInterfaces); `delay` is the waiter's interval.
  SharedPoller(const AwsClient& client, std::string operation, const json& request, std::chrono::seconds delay);
  ~SharedPoller();
  SharedPoller(const SharedPoller&) = delete;
  SharedPoller& operator=(const SharedPoller&) = delete;

  // Answers the worker's request in the first round at or after `due` (nullopt: now, for the first
  // poll). Transport and credential failures of the shared call propagate.
  PollAnswer poll(std::optional<std::chrono::steady_clock::time_point> due);

  // Whether `operation` can be shared and `request` names a non-empty list of ids for it.
  static bool can_share(const std::string& operation, const json& request);

  // While more workers than kGridFrom wait on one poller, its rounds fall on a grid and a poll goes
  // to the first grid point at or after it is due, so that workers that started at different
  // moments share calls. The grid has 2, 4 or 8 rounds an interval, one for about every
  // kMembersPerRound workers: the more wait, the less late a worker's first poll on the grid (at
  // most an eighth of an interval from 160 workers on), while the poller spends no more than about
  // one call an interval per kMembersPerRound workers. A worker's later polls keep its place on the
  // grid as workers leave. With kGridFrom or fewer,
  // each worker polls when due, as an unshared waiter does (sharing a round only with workers due
  // at the same moment).
  static constexpr std::size_t kGridFrom = 16;
  static constexpr std::size_t kMembersPerRound = 20;
  static constexpr int rounds_per_interval(std::size_t waiting) {
    return waiting >= 8 * kMembersPerRound ? 8 : waiting >= 4 * kMembersPerRound ? 4 : 2;
  }
  // The most ids one describe call names (DescribeInstanceStatus accepts up to 100; the others
  // take more, and 100 keeps each answer small).
  static constexpr std::size_t kPageSize = 100;

 private:
  std::shared_ptr<PollerState> state_;
  std::string key_;
  json request_;
  std::vector<std::string> ids_;
};

// Workers currently waiting on any shared poller of `client` (tests).
std::size_t shared_poller_members(const AwsClient& client);

}  // namespace quenfold_testlibs::awsapi
