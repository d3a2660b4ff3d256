#include <gtest/gtest.h>

#include "awsapi/base/error.h"
#include "awsapi/client/client.h"
#include "core/clock.h"
#include "fakes.h"

using namespace quenfold_testlibs;
using namespace quenfold_testlibs::awsapi;
using quenfold_testlibs::fakes::FakeAwsClient;
using namespace std::chrono_literals;

namespace {

json statuses(std::initializer_list<const char*> states) {
  json list = json::array();
  int n = 0;
  for (const char* s : states)
    list.push_back({{"InstanceId", "i-" + std::to_string(n++)}, {"InstanceStatus", {{"Status", s}}}});
  return {{"InstanceStatuses", list}};
}

json reservations(std::initializer_list<std::initializer_list<const char*>> groups) {
  json rs = json::array();
  for (const auto& g : groups) {
    json instances = json::array();
    for (const char* s : g) instances.push_back({{"InstanceId", "i-1"}, {"State", {{"Name", s}}}});
    rs.push_back({{"Instances", instances}});
  }
  return {{"Reservations", rs}};
}

struct WaiterRig {
  core::RecordingClock clock;
  core::ScopedClock scope{clock};
  FakeAwsClient ec2;
  const json request{{"InstanceIds", {"i-0"}}};
};

std::string waiter_failure(const Waiter& w, const json& request) {
  try {
    w.wait(request);
  } catch (const WaiterError& e) {
    return e.what();
  }
  return "no WaiterError";
}

}  // namespace

TEST(WaiterStatusOk, SucceedsOnceEveryStatusIsOkPausingFifteenSeconds) {
  WaiterRig rig;
  rig.ec2.on("DescribeInstanceStatus")
      .reply(statuses({"initializing"}))
      .reply(statuses({"ok", "initializing"}))
      .reply(statuses({"ok", "ok"}));
  rig.ec2.get_waiter("instance_status_ok").wait(rig.request);
  ASSERT_EQ(rig.ec2.count("DescribeInstanceStatus"), 3u);
  EXPECT_EQ(rig.ec2.calls("DescribeInstanceStatus")[0], rig.request);
  EXPECT_EQ(rig.clock.sleeps(), (std::vector<std::chrono::milliseconds>{15s, 15s}));
}

TEST(WaiterStatusOk, NotFoundIsRetriedUntilTheInstanceShowsUp) {
  WaiterRig rig;
  rig.ec2.on("DescribeInstanceStatus")
      .fail("InvalidInstanceID.NotFound", "The instance ID 'i-0' does not exist")
      .reply(statuses({"ok"}));
  rig.ec2.get_waiter("InstanceStatusOk").wait(rig.request);
  EXPECT_EQ(rig.ec2.count("DescribeInstanceStatus"), 2u);
}

TEST(WaiterStatusOk, EmptyListNeverCountsAsSuccessAndGivesUpAfterForty) {
  WaiterRig rig;
  rig.ec2.on("DescribeInstanceStatus").reply(json{{"InstanceStatuses", json::array()}});
  EXPECT_EQ(waiter_failure(rig.ec2.get_waiter("instance_status_ok"), rig.request),
            "Waiter InstanceStatusOk failed: Max attempts exceeded");
  EXPECT_EQ(rig.ec2.count("DescribeInstanceStatus"), 40u);
  EXPECT_EQ(rig.clock.sleeps().size(), 39u);
  EXPECT_EQ(rig.clock.total_slept(), 39 * 15s);
}

TEST(WaiterStatusOk, GivingUpAfterRetriesNamesTheRetryAcceptor) {
  WaiterRig rig;
  rig.ec2.on("DescribeInstanceStatus").fail("InvalidInstanceID.NotFound", "gone");
  EXPECT_EQ(waiter_failure(rig.ec2.get_waiter("instance_status_ok"), rig.request),
            "Waiter InstanceStatusOk failed: Max attempts exceeded. Previously accepted state: "
            "Matched expected service error code: InvalidInstanceID.NotFound");
  EXPECT_EQ(rig.ec2.count("DescribeInstanceStatus"), 40u);
}

TEST(WaiterStatusOk, UnexpectedServiceErrorEndsTheWaitAtOnce) {
  WaiterRig rig;
  rig.ec2.on("DescribeInstanceStatus")
      .fail("UnauthorizedOperation", "You are not authorized to perform this operation.");
  EXPECT_EQ(waiter_failure(rig.ec2.get_waiter("instance_status_ok"), rig.request),
            "Waiter InstanceStatusOk failed: An error occurred (UnauthorizedOperation): "
            "You are not authorized to perform this operation.");
  EXPECT_EQ(rig.ec2.count("DescribeInstanceStatus"), 1u);
  EXPECT_TRUE(rig.clock.sleeps().empty());
}

TEST(WaiterStatusOk, AnInstanceGoingAwayOrImpairedEndsTheWaitAtOnceWithItsLastAnswer) {
  for (const char* state : {"shutting-down", "terminated", "stopping", "stopped"}) {
    WaiterRig rig;
    const json dying = {{"InstanceStatuses", json::array({json{{"InstanceId", "i-0"},
                                                               {"InstanceState", {{"Name", state}}},
                                                               {"InstanceStatus", {{"Status", "not-applicable"}}}}})}};
    rig.ec2.on("DescribeInstanceStatus").reply(statuses({"initializing"})).reply(dying);
    try {
      rig.ec2.get_waiter("instance_status_ok").wait(rig.request);
      ADD_FAILURE() << state << ": no failure";
    } catch (const WaiterError& e) {
      EXPECT_NE(std::string(e.what()).find("terminal failure state"), std::string::npos) << e.what();
      EXPECT_EQ(e.last_response(), dying);
    }
    EXPECT_EQ(rig.ec2.count("DescribeInstanceStatus"), 2u) << state;
  }
  for (const char* check : {"InstanceStatus", "SystemStatus"}) {
    WaiterRig rig;
    json impaired = statuses({"initializing"});
    impaired["InstanceStatuses"][0][check] = {{"Status", "impaired"}};
    rig.ec2.on("DescribeInstanceStatus").reply(impaired);
    EXPECT_NE(waiter_failure(rig.ec2.get_waiter("instance_status_ok"), rig.request).find("\"impaired\""),
              std::string::npos)
        << check;
    EXPECT_EQ(rig.ec2.count("DescribeInstanceStatus"), 1u);
  }
}

TEST(WaiterStatusOk, TransportFailuresPropagateUnchanged) {
  WaiterRig rig;
  rig.ec2.on("DescribeInstanceStatus").fail(TransportError("Could not connect to the endpoint URL"));
  EXPECT_THROW(rig.ec2.get_waiter("instance_status_ok").wait(rig.request), TransportError);
}

TEST(WaiterTerminated, SucceedsWhenEveryInstanceOfEveryReservationIsTerminated) {
  WaiterRig rig;
  rig.ec2.on("DescribeInstances")
      .reply(reservations({{"shutting-down"}}))
      .reply(reservations({{"terminated"}, {"shutting-down"}}))
      .reply(reservations({{"terminated"}, {"terminated", "terminated"}}));
  rig.ec2.get_waiter("instance_terminated").wait(rig.request);
  EXPECT_EQ(rig.ec2.count("DescribeInstances"), 3u);
  EXPECT_EQ(rig.clock.sleeps().size(), 2u);
}

TEST(WaiterTerminated, PendingOrStoppingIsATerminalFailure) {
  {
    WaiterRig rig;
    rig.ec2.on("DescribeInstances")
        .reply(reservations({{"shutting-down"}}))
        .reply(reservations({{"terminated", "pending"}}));
    EXPECT_EQ(waiter_failure(rig.ec2.get_waiter("instance_terminated"), rig.request),
              "Waiter InstanceTerminated failed: Waiter encountered a terminal failure state: For expression "
              "\"Reservations[].Instances[].State.Name\" we matched expected path: \"pending\" at least once");
    EXPECT_EQ(rig.ec2.count("DescribeInstances"), 2u);
  }
  {
    WaiterRig rig;
    rig.ec2.on("DescribeInstances").reply(reservations({{"stopping"}}));
    EXPECT_NE(waiter_failure(rig.ec2.get_waiter("InstanceTerminated"), rig.request)
                  .find("we matched expected path: \"stopping\" at least once"),
              std::string::npos);
  }
}

TEST(WaiterTerminated, NoReservationsKeepsWaiting) {
  WaiterRig rig;
  rig.ec2.on("DescribeInstances").reply(json{{"Reservations", json::array()}}).reply(reservations({{"terminated"}}));
  rig.ec2.get_waiter("instance_terminated").wait(rig.request);
  EXPECT_EQ(rig.ec2.count("DescribeInstances"), 2u);
}

TEST(WaiterNames, UnknownWaiterIsRefused) {
  FakeAwsClient ec2;
  EXPECT_TRUE(Waiter::exists("instance_terminated"));
  EXPECT_TRUE(Waiter::exists("InstanceStopped"));
  EXPECT_FALSE(Waiter::exists("instance_running"));
  try {
    ec2.get_waiter("instance_running");
    FAIL() << "no error";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Waiter does not exist: instance_running");
  }
}
