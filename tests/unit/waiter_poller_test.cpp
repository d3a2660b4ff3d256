// Many workers waiting at once share the describe calls, and each still ends on its own instance.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <semaphore>
#include <thread>

#include "awsapi/base/error.h"
#include "awsapi/client/client.h"
#include "awsapi/waiters/waiter_poller.h"
#include "core/clock.h"
#include "fakes.h"

using namespace quenfold_testlibs;
using namespace quenfold_testlibs::awsapi;
using quenfold_testlibs::fakes::FakeAwsClient;
using namespace std::chrono_literals;

namespace {

std::string id_of(int n) { return "i-" + std::to_string(n); }

json status(const std::string& id, const char* state, const char* checks) {
  return {{"InstanceId", id}, {"InstanceState", {{"Name", state}}}, {"InstanceStatus", {{"Status", checks}}}};
}

std::string outcome(const AwsClient& ec2, const std::string& id) {
  try {
    ec2.get_waiter("instance_status_ok").wait({{"InstanceIds", {id}}, {"IncludeAllInstances", true}});
    return "ok";
  } catch (const WaiterError& e) {
    return e.what();
  }
}

}  // namespace

// Workers launched over a few seconds: one instance dies, one never passes its checks, one is
// unknown to EC2 for a while (which fails a list call whole), and the rest pass after a minute.
TEST(SharedPoller, WorkersShareCallsAndEachEndsOnItsOwnInstance) {
  constexpr int kWorkers = 40, kDies = 7, kStuck = 13, kLate = 21;
  core::SystemClock clock(0.004);  // a nominal second in 4 ms
  core::ScopedClock scope(clock);
  auto start = clock.monotonic();
  auto nominal = [&] { return std::chrono::duration_cast<std::chrono::seconds>(clock.monotonic() - start); };
  FakeAwsClient ec2;
  ec2.on("DescribeInstanceStatus").reply_with([&](const json& request) {
    const auto t = nominal();
    json list = json::array();
    for (const auto& id : request["InstanceIds"]) {
      if (id == id_of(kLate) && t < 20s)
        throw ClientError("InvalidInstanceID.NotFound", "The instance ID '" + id_of(kLate) + "' does not exist",
                          "DescribeInstanceStatus", 400);
      if (id == id_of(kDies) && t >= 20s)
        list.push_back(status(id, "terminated", "not-applicable"));
      else if (id == id_of(kStuck) || t < 60s)
        list.push_back(status(id, "running", "initializing"));
      else
        list.push_back(status(id, "running", "ok"));
    }
    return json{{"InstanceStatuses", list}};
  });

  std::vector<std::string> outcomes(kWorkers);
  std::vector<std::chrono::seconds> started(kWorkers), ended(kWorkers);
  {
    // Threads made first (slow under the sanitizers), then let go 200 ms apart: launches over 8 s.
    std::vector<std::unique_ptr<std::binary_semaphore>> go;
    std::vector<std::jthread> workers;
    for (int n = 0; n < kWorkers; ++n) go.push_back(std::make_unique<std::binary_semaphore>(0));
    for (int n = 0; n < kWorkers; ++n) {
      workers.emplace_back([&, n] {
        const auto i = static_cast<std::size_t>(n);
        go[i]->acquire();
        started[i] = nominal();
        outcomes[i] = outcome(ec2, id_of(n));
        ended[i] = nominal();
      });
    }
    start = clock.monotonic();
    for (auto& g : go) {
      g->release();
      clock.sleep_for(200ms);
    }
  }
  EXPECT_EQ(shared_poller_members(ec2), 0u);

  for (int n = 0; n < kWorkers; ++n) {
    const auto i = static_cast<std::size_t>(n);
    if (n == kDies) {
      EXPECT_NE(outcomes[i].find("terminal failure state"), std::string::npos) << outcomes[i];
      EXPECT_LE(ended[i], 20s + 3 * 15s);
    } else if (n == kStuck) {
      EXPECT_EQ(outcomes[i].rfind("Waiter InstanceStatusOk failed: Max attempts exceeded", 0), 0u) << outcomes[i];
    } else {
      EXPECT_EQ(outcomes[i], "ok") << id_of(n);
      // Noticed within an interval of passing, or of its first round when it started late (plus
      // the scheduling jitter of a loaded machine).
      EXPECT_LE(ended[i], std::max(60s, started[i] + 8s) + 15s + 10s) << id_of(n) << " from " << started[i].count();
    }
  }
  std::size_t stuck_polls = 0, total = 0;
  for (const auto& call : ec2.calls("DescribeInstanceStatus")) {
    ++total;
    for (const auto& id : call["InstanceIds"]) stuck_polls += id == id_of(kStuck);
  }
  EXPECT_EQ(stuck_polls, 40u);  // its own 40 attempts, whoever else was asked with it
  // Alone, each worker would poll five times or more in the first minute: 200 calls and more.
  EXPECT_LT(total, 100u);
}

TEST(SharedPoller, ListsOverAHundredIdsArePagedAndAnUnattributedNotFoundIsAskedPerId) {
  core::RecordingClock clock;
  core::ScopedClock scope(clock);
  FakeAwsClient ec2;
  bool first = true;
  ec2.on("DescribeInstances").reply_with([&](const json& request) {
    if (std::exchange(first, false))
      throw ClientError("InvalidInstanceID.NotFound", "unknown", "DescribeInstances", 400);
    json instances = json::array();
    for (const auto& id : request["InstanceIds"])
      instances.push_back({{"InstanceId", id}, {"State", {{"Name", "terminated"}}}});
    return json{{"Reservations", {{{"Instances", instances}}}}};
  });
  json ids = json::array();
  for (int n = 0; n < 150; ++n) ids.push_back(id_of(n));
  ec2.get_waiter("instance_terminated").wait({{"InstanceIds", ids}});
  const auto calls = ec2.calls("DescribeInstances");
  ASSERT_EQ(calls.size(), 1u + 100u + 1u);  // the first page failed whole: asked per id
  EXPECT_EQ(calls[0]["InstanceIds"].size(), 100u);
  EXPECT_EQ(calls[1]["InstanceIds"], json::array({id_of(0)}));
  EXPECT_EQ(calls.back()["InstanceIds"].size(), 50u);
}
