#include <gtest/gtest.h>
#include <signal.h>

#include "awsapi/client/service_client.h"
#include "core/app_exit_status.h"
#include "core/clock.h"
#include "core/interrupt.h"
#include "deploy_test_ec2/common/workers.h"
#include "fakes.h"

using namespace quenfold_testlibs;
using namespace std::chrono_literals;
using json = nlohmann::ordered_json;

namespace {
struct Interruption : ::testing::Test {
  void TearDown() override {
    core::interruptFor(0);
    core::AppExitStatus::reset();
  }
};
}  // namespace

TEST_F(Interruption, StopsNewCallsAndRetriesAndEndsPausesWhileWorkersEndQuietly) {
  auto http = std::make_shared<fakes::FakeTransport>();
  http->otherwise([](const awsapi::HttpRequest&) { return fakes::http_answer(200, "<R/>"); });
  awsapi::ClientConfig cfg;
  cfg.service = "ec2";
  cfg.region = "us-east-1";
  cfg.http = http;
  awsapi::ServiceClient client(cfg);

  core::interruptFor(SIGTERM);
  EXPECT_THROW(client.call("DescribeInstances", json::object()), core::Interrupted);
  EXPECT_EQ(http->count(), 0u);

  core::SystemClock clock(1.0);
  const auto start = std::chrono::steady_clock::now();
  clock.sleep_for(10min);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);

  runWorkers({{"subnet-1", [&] { client.call("DescribeInstances", json::object()); }}});
  EXPECT_EQ(core::AppExitStatus::failures(), (std::vector<std::string>{"worker for subnet-1 interrupted"}));
}
