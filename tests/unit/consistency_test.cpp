#include <gtest/gtest.h>

#include "awsapi/base/error.h"
#include "awsapi/client/consistency.h"
#include "core/clock.h"
#include "fakes.h"

using namespace quenfold_testlibs;
using namespace std::chrono_literals;
using json = nlohmann::ordered_json;

TEST(FreshIdRetry, RetriesNotFoundOnlyForIdsItMadeAndOnlyForAWhile) {
  core::RecordingClock clock;
  core::ScopedClock scope(clock);
  auto inner = std::make_shared<fakes::FakeAwsClient>();
  inner->on("CreateSecurityGroup").reply({{"GroupId", "sg-new"}});
  inner->on("AuthorizeSecurityGroupIngress")
      .fail("InvalidGroup.NotFound", "The security group 'sg-new' does not exist")
      .fail("InvalidGroup.NotFound", "The security group 'sg-new' does not exist")
      .reply(json::object());
  awsapi::FreshIdRetryClient ec2(inner);
  ec2.call("CreateSecurityGroup", {{"GroupName", "g"}});
  EXPECT_NO_THROW(ec2.call("AuthorizeSecurityGroupIngress", {{"GroupId", "sg-new"}}));
  EXPECT_EQ(inner->count("AuthorizeSecurityGroupIngress"), 3u);
  EXPECT_EQ(clock.sleeps(), (std::vector<std::chrono::milliseconds>{1s, 2s}));

  // Not made here: the answer is the answer.
  inner->on("DeleteSecurityGroup").fail("InvalidGroup.NotFound", "The security group 'sg-old' does not exist");
  EXPECT_THROW(ec2.call("DeleteSecurityGroup", {{"GroupId", "sg-old"}}), awsapi::ClientError);
  EXPECT_EQ(inner->count("DeleteSecurityGroup"), 1u);

  // Made here but never visible: given up after about a minute.
  EXPECT_THROW(ec2.call("DeleteSecurityGroup", {{"GroupId", "sg-new"}}), awsapi::ClientError);
  EXPECT_GE(clock.total_slept(), 3s + 60s);
  EXPECT_LE(clock.total_slept(), 3s + 65s);
}
