// Many workers waiting at once share the describe calls, and each still ends on its own instance.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
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

// Virtual time that moves only when the test sets it; a pause ends only when the test lets it,
// so a round's leader waits for exactly the workers the test has let join.
class GateClock final : public core::Clock {
 public:
  std::chrono::system_clock::time_point now() const override { return {}; }
  std::chrono::steady_clock::time_point monotonic() const override {
    std::lock_guard lk(mu_);
    ++reads_;
    cv_.notify_all();
    return std::chrono::steady_clock::time_point(at_);
  }
  void sleep_for(std::chrono::milliseconds) override {
    std::unique_lock lk(mu_);
    ++sleepers_;
    cv_.notify_all();
    cv_.wait(lk, [&] { return open_; });
    --sleepers_;
  }
  void set(std::chrono::milliseconds t) {
    std::lock_guard lk(mu_);
    at_ = t;
  }
  void open() {
    std::lock_guard lk(mu_);
    open_ = true;
    cv_.notify_all();
  }
  // Until `n` threads are pausing, or the clock has been read `n` times in all.
  void await_sleepers(int n) {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return sleepers_ >= n; });
  }
  void await_reads(int n) {
    std::unique_lock lk(mu_);
    cv_.wait(lk, [&] { return reads_ >= n; });
  }
  int reads() const {
    std::lock_guard lk(mu_);
    return reads_;
  }

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  mutable int reads_ = 0;
  int sleepers_ = 0;
  bool open_ = false;
  std::chrono::milliseconds at_{0};
};

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
  // The stuck instance's answered polls: a round refused for the late id is asked again, so the
  // calls naming it may be one more than its attempts.
  std::atomic<std::size_t> stuck_polls = 0;
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
    for (const auto& id : request["InstanceIds"]) stuck_polls += id == id_of(kStuck) ? 1 : 0;
    return json{{"InstanceStatuses", list}};
  });

  std::vector<std::string> outcomes(kWorkers);
  std::vector<std::chrono::seconds> started(kWorkers), ended(kWorkers);
  {
    // Threads made first (slow under the sanitizers), then let go 200 ms apart: launches over 8 s.
    std::vector<std::unique_ptr<std::binary_semaphore>> go;
    std::vector<std::jthread> workers;
    go.reserve(kWorkers);
    workers.reserve(kWorkers);
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
  const std::size_t total = ec2.calls("DescribeInstanceStatus").size();
  EXPECT_EQ(stuck_polls.load(), 40u);  // its own 40 attempts, whoever else was asked with it
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

// Worker A's instance becomes unknown to EC2 while worker B's terminates; both are asked in one
// round. The NotFound is A's alone: B's wait ends on its own instance's state.
TEST(SharedPoller, AnIdUnknownInASharedRoundFailsOnlyItsOwnWorker) {
  GateClock clock;
  core::ScopedClock scope(clock);
  FakeAwsClient ec2;
  int callsForA = 0;
  ec2.on("DescribeInstances").reply_with([&](const json& request) {
    json instances = json::array();
    for (const auto& id : request["InstanceIds"]) {
      if (id == "i-a" && callsForA++ > 0)
        throw ClientError("InvalidInstanceID.NotFound", "The instance ID 'i-a' does not exist", "DescribeInstances",
                          400);
      instances.push_back({{"InstanceId", id}, {"State", {{"Name", id == "i-a" ? "shutting-down" : "terminated"}}}});
    }
    return json{{"Reservations", {{{"Instances", instances}}}}};
  });
  auto wait = [&](const char* id) -> std::string {
    try {
      ec2.get_waiter("instance_terminated").wait({{"InstanceIds", {id}}});
      return "terminated";
    } catch (const WaiterError& e) {
      return e.code();
    }
  };
  std::string a, b;
  {
    // A polls at 0 alone, then leads the round at 15 s and pauses until the test lets it go.
    std::jthread workerA([&] { a = wait("i-a"); });
    clock.await_sleepers(1);
    clock.set(15s);
    // B's first poll, due now, joins that round: its read of the clock happens under the poller's
    // lock, in the same hold as its join, so once it is seen the round holds B.
    const int reads = clock.reads();
    std::jthread workerB([&] { b = wait("i-b"); });
    clock.await_reads(reads + 1);
    clock.open();
  }
  EXPECT_EQ(a, "InvalidInstanceID.NotFound");
  EXPECT_EQ(b, "terminated");
  EXPECT_EQ(ec2.count("DescribeInstances"), 3u);  // A alone; the round of both; B again without A
}

// Up to kGridFrom waiting workers each poll when due; one more, and polls go to the grid.
TEST(SharedPoller, TheGridStartsAboveSixteenWaitingWorkers) {
  core::RecordingClock clock;
  core::ScopedClock scope(clock);
  FakeAwsClient ec2;
  ec2.on("DescribeInstanceStatus").reply(json{{"InstanceStatuses", json::array()}});
  std::vector<std::unique_ptr<SharedPoller>> members;
  auto join = [&] {
    members.push_back(std::make_unique<SharedPoller>(
        ec2, "DescribeInstanceStatus", json{{"InstanceIds", {id_of(static_cast<int>(members.size()))}}}, 15s));
  };
  while (members.size() < 16) join();
  members[0]->poll(std::nullopt);  // the grid's origin
  clock.advance(3s);
  members[1]->poll(clock.monotonic());
  EXPECT_TRUE(clock.sleeps().empty());
  join();  // 17: the next point of a grid of two rounds an interval, 7.5 s from the origin
  members[1]->poll(clock.monotonic());
  EXPECT_EQ(clock.sleeps(), (std::vector<std::chrono::milliseconds>{4500ms}));
}
