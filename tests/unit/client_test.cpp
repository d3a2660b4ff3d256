#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "awsapi/base/environment.h"
#include "awsapi/base/error.h"
#include "awsapi/client/service_client.h"
#include "awsapi/credentials/credentials.h"
#include "awsapi/transport/sigv4.h"
#include "core/clock.h"
#include "fakes.h"
#include "loopback_server.h"

using namespace quenfold_testlibs;
using namespace quenfold_testlibs::awsapi;
using quenfold_testlibs::fakes::FakeTransport;
using namespace std::chrono_literals;

namespace {

const char* kEmptyDescribe =
    "<DescribeInstancesResponse xmlns=\"http://ec2.amazonaws.com/doc/2016-11-15/\">"
    "<requestId>r-1</requestId><reservationSet/></DescribeInstancesResponse>";

// Hands out credentials whose key id counts the refreshes, so a test can see which ones signed.
class CountingProvider : public CredentialsProvider {
 public:
  explicit CountingProvider(std::string token = {}) : token_(std::move(token)) {}
  Credentials get() override {
    ++gets;
    return {"AKIDGEN" + std::to_string(invalidations.load()), "secretkey", token_, std::nullopt};
  }
  void invalidate() override { ++invalidations; }
  std::string name() const override { return "counting"; }
  std::atomic<int> gets{0}, invalidations{0};

 private:
  std::string token_;
};

std::string http_date(std::chrono::system_clock::time_point t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&tt, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return buf;
}

std::string s3_error(const std::string& code, const std::string& extra = {}) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>" + code + "</Code><Message>m</Message>" + extra +
         "<RequestId>s3req</RequestId></Error>";
}

struct Rig {
  core::RecordingClock clock;
  core::ScopedClock scope{clock};
  std::shared_ptr<FakeTransport> http = std::make_shared<FakeTransport>();
  std::shared_ptr<CountingProvider> creds = std::make_shared<CountingProvider>();
  std::shared_ptr<RetryQuota> quota = std::make_shared<RetryQuota>();
  std::shared_ptr<RateLimiters> limiters = std::make_shared<RateLimiters>();
  std::string mode = "standard";

  std::unique_ptr<ServiceClient> client(const std::string& service = "ec2", int max_attempts = 3,
                                        std::optional<std::string> region = "us-east-1") {
    ClientConfig cfg;
    cfg.service = service;
    cfg.region = region;
    cfg.credentials = creds;
    cfg.http = http;
    cfg.quota = quota;
    cfg.limiters = limiters;
    cfg.retry.mode = mode;
    cfg.retry.max_attempts = max_attempts;
    cfg.random = [] { return 1.0; };  // the longest pause, so that every retry lands in a new second
    return std::make_unique<ServiceClient>(std::move(cfg));
  }
  std::string header(size_t i, const char* name) const { return http->requests().at(i).header(name).value_or(""); }
};

std::filesystem::path fresh_dir(const std::string& name) {
  auto dir =
      std::filesystem::temp_directory_path() / ("quenfold-client-test-" + name + "-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

}  // namespace

TEST(ClientErrorText, ReadsLikeTheReferenceSdk) {
  ClientError e("InvalidParameterValue", "Value (x) for parameter groupId is invalid", "RunInstances", 400, "rid");
  EXPECT_STREQ(e.what(),
               "An error occurred (InvalidParameterValue) when calling the RunInstances operation: "
               "Value (x) for parameter groupId is invalid");
  EXPECT_EQ(e.code(), "InvalidParameterValue");
  EXPECT_EQ(e.http_status(), 400);
  EXPECT_EQ(e.request_id(), "rid");
  EXPECT_FALSE(e.max_retries_reached());

  ClientError retried("Throttling", "Rate exceeded", "DescribeInstances", 400, "", 2);
  EXPECT_STREQ(retried.what(),
               "An error occurred (Throttling) when calling the DescribeInstances operation "
               "(reached max retries: 2): Rate exceeded");
  ClientError bare("", "", "GetObject", 404);
  EXPECT_STREQ(bare.what(), "An error occurred (Unknown) when calling the GetObject operation: Unknown");
}

TEST(ClientPipeline, SuccessfulCallIsSignedOnceAndRefundsTheQuota) {
  Rig rig;
  rig.http->answer(200, kEmptyDescribe);
  auto c = rig.client();
  json out = c->describe_instances();
  EXPECT_TRUE(out.is_object());
  ASSERT_EQ(rig.http->count(), 1u);
  const auto req = rig.http->requests()[0];
  EXPECT_EQ(req.method, "POST");
  EXPECT_EQ(req.url.rfind(c->endpoint().url, 0), 0u) << req.url;
  EXPECT_NE(req.body.find("Action=DescribeInstances"), std::string::npos);
  EXPECT_EQ(rig.header(0, "user-agent"), ServiceClient::user_agent());
  EXPECT_EQ(rig.header(0, "x-amz-date"), "20231114T221320Z");
  EXPECT_NE(rig.header(0, "authorization").find("Credential=AKIDGEN0/20231114/us-east-1/ec2/aws4_request"),
            std::string::npos);
  EXPECT_TRUE(rig.clock.sleeps().empty());
  EXPECT_EQ(rig.quota->available(), 500);
}

TEST(ClientPipeline, ThrottlingIsRetriedThreeTimesEachAttemptSignedAfresh) {
  Rig rig;
  for (int i = 0; i < 3; ++i)
    rig.http->answer(400, fakes::ec2_error_body("RequestLimitExceeded", "Request limit exceeded."));
  auto c = rig.client();
  try {
    c->describe_instances();
    FAIL() << "no error";
  } catch (const ClientError& e) {
    EXPECT_STREQ(e.what(),
                 "An error occurred (RequestLimitExceeded) when calling the DescribeInstances operation "
                 "(reached max retries: 2): Request limit exceeded.");
    EXPECT_EQ(e.request_id(), "req-1");
  }
  ASSERT_EQ(rig.http->count(), 3u);
  EXPECT_EQ(rig.clock.sleeps(), (std::vector<std::chrono::milliseconds>{1000ms, 2000ms}));
  EXPECT_EQ(rig.header(0, "x-amz-date"), "20231114T221320Z");
  EXPECT_EQ(rig.header(1, "x-amz-date"), "20231114T221321Z");
  EXPECT_EQ(rig.header(2, "x-amz-date"), "20231114T221323Z");
  EXPECT_NE(rig.header(1, "authorization"), rig.header(2, "authorization"));
  EXPECT_EQ(rig.quota->available(), 490);  // a failed call gives nothing back
}

TEST(ClientPipeline, RetryThenSuccessReturnsTheRetryCost) {
  Rig rig;
  rig.http->fail(TransportError("connection reset by peer")).answer(200, kEmptyDescribe);
  auto c = rig.client();
  EXPECT_NO_THROW(c->describe_instances());
  EXPECT_EQ(rig.http->count(), 2u);
  EXPECT_EQ(rig.quota->available(), 500);
}

TEST(ClientPipeline, TimeoutsCostMoreAndTheTransportErrorSurvivesTheLastAttempt) {
  Rig rig;
  for (int i = 0; i < 3; ++i) rig.http->fail(TransportError("Operation timed out", true));
  auto c = rig.client();
  EXPECT_THROW(c->describe_instances(), TransportError);
  EXPECT_EQ(rig.http->count(), 3u);
  EXPECT_EQ(rig.quota->available(), 480);
}

TEST(ClientPipeline, NonRetryableErrorIsThrownAtOnce) {
  Rig rig;
  rig.http->answer(400, fakes::ec2_error_body("InvalidGroup.NotFound", "The security group 'sg-1' does not exist"));
  auto c = rig.client();
  try {
    c->call("DescribeSecurityGroups", json{{"GroupIds", {"sg-1"}}});
    FAIL() << "no error";
  } catch (const ClientError& e) {
    EXPECT_STREQ(e.what(),
                 "An error occurred (InvalidGroup.NotFound) when calling the DescribeSecurityGroups operation: "
                 "The security group 'sg-1' does not exist");
    EXPECT_EQ(e.http_status(), 400);
    EXPECT_FALSE(e.max_retries_reached());
  }
  EXPECT_EQ(rig.http->count(), 1u);
  EXPECT_TRUE(rig.clock.sleeps().empty());
}

TEST(ClientPipeline, OneAttemptMeansNoRetryAndTheReferenceSuffix) {
  Rig rig;
  rig.http->answer(503, fakes::ec2_error_body("Unavailable", "Service unavailable")).answer(200, kEmptyDescribe);
  auto c = rig.client("ec2", 1);
  try {
    c->describe_instances();
    FAIL() << "no error";
  } catch (const ClientError& e) {
    EXPECT_EQ(e.max_retries_reached(), 0);
    EXPECT_NE(std::string(e.what()).find("operation (reached max retries: 0): Service unavailable"), std::string::npos);
  }
  EXPECT_EQ(rig.http->count(), 1u);
}

TEST(ClientPipeline, ExhaustedQuotaStopsRetriesWithoutTheSuffix) {
  Rig rig;
  rig.quota = std::make_shared<RetryQuota>(7);  // one retry's worth
  for (int i = 0; i < 3; ++i) rig.http->answer(400, fakes::ec2_error_body("Throttling", "slow down"));
  auto c = rig.client();
  try {
    c->describe_instances();
    FAIL() << "no error";
  } catch (const ClientError& e) {
    EXPECT_FALSE(e.max_retries_reached());
    EXPECT_EQ(e.code(), "Throttling");
  }
  EXPECT_EQ(rig.http->count(), 2u);
}

TEST(ClientPipeline, QuotaIsSharedByClientsAndThreads) {
  Rig rig;
  rig.quota = std::make_shared<RetryQuota>(50);  // ten retries in all
  rig.http->otherwise(
      [](const HttpRequest&) { return fakes::http_answer(400, fakes::ec2_error_body("Throttling", "x")); });
  auto a = rig.client();
  auto b = rig.client();
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        try {
          (t % 2 ? a : b)->describe_instances();
        } catch (const ClientError&) {
          ++failures;
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 20);
  EXPECT_EQ(rig.http->count(), 20u + 10u);
  EXPECT_EQ(rig.quota->available(), 0);
}

TEST(ClientPipeline, ClockSkewLearnsTheServerOffsetAndRetriesOnce) {
  Rig rig;
  const auto server = rig.clock.now() + 1h;
  rig.http
      ->answer(400,
               fakes::ec2_error_body("RequestTimeTooSkewed",
                                     "The difference between the request time and the current time is too large."),
               {{"date", http_date(server)}})
      .answer(200, kEmptyDescribe)
      .answer(200, kEmptyDescribe);
  auto c = rig.client();
  EXPECT_NO_THROW(c->describe_instances());
  EXPECT_EQ(c->clock_offset(), 1h);
  EXPECT_EQ(rig.header(1, "x-amz-date"), "20231114T231320Z");
  EXPECT_TRUE(rig.clock.sleeps().empty());
  c->describe_instances();  // later calls keep the offset
  EXPECT_EQ(rig.header(2, "x-amz-date"), "20231114T231320Z");
}

TEST(ClientPipeline, ClockSkewIsCorrectedOnlyOncePerCall) {
  Rig rig;
  const auto date = http_date(rig.clock.now() - 2h);
  rig.http->otherwise([&](const HttpRequest&) {
    return fakes::http_answer(403, fakes::ec2_error_body("RequestTimeTooSkewed", "too skewed"), {{"date", date}});
  });
  auto c = rig.client("ec2", 1);
  EXPECT_THROW(c->describe_instances(), ClientError);
  EXPECT_EQ(rig.http->count(), 2u);
}

TEST(ClientPipeline, ExpiredTokenRefreshesTheCredentialsOnce) {
  Rig rig;
  rig.http->answer(400, fakes::ec2_error_body("ExpiredToken", "The security token included in the request is expired"))
      .answer(200, kEmptyDescribe);
  auto c = rig.client();
  EXPECT_NO_THROW(c->describe_instances());
  EXPECT_EQ(rig.creds->invalidations.load(), 1);
  EXPECT_NE(rig.header(1, "authorization").find("Credential=AKIDGEN1/"), std::string::npos);
  EXPECT_TRUE(rig.clock.sleeps().empty());

  rig.http->otherwise([](const HttpRequest&) {
    return fakes::http_answer(400, fakes::ec2_error_body("ExpiredTokenException", "expired"));
  });
  EXPECT_THROW(c->describe_instances(), ClientError);
  EXPECT_EQ(rig.http->count(), 4u);
  EXPECT_EQ(rig.creds->invalidations.load(), 2);
}

TEST(ClientPipeline, RequestExpiredWithAgreeingClockMeansExpiredTemporaryCredentials) {
  Rig rig;
  rig.creds = std::make_shared<CountingProvider>("session-token");
  rig.http
      ->answer(400, fakes::ec2_error_body("RequestExpired", "Request has expired."),
               {{"date", http_date(rig.clock.now())}})
      .answer(200, kEmptyDescribe);
  auto c = rig.client();
  EXPECT_NO_THROW(c->describe_instances());
  EXPECT_EQ(rig.creds->invalidations.load(), 1);
  EXPECT_EQ(c->clock_offset(), 0ms);
  EXPECT_EQ(rig.header(1, "x-amz-security-token"), "session-token");
}

TEST(ClientPipeline, IdempotencyTokenIsTheSameOnEveryAttempt) {
  Rig rig;
  rig.http->answer(503, fakes::ec2_error_body("Unavailable", "later"))
      .answer(200,
              "<RunInstancesResponse xmlns=\"http://ec2.amazonaws.com/doc/2016-11-15/\"><requestId>r</requestId>"
              "<reservationId>r-1</reservationId><instancesSet/></RunInstancesResponse>");
  auto c = rig.client();
  c->run_instances(json{{"ImageId", "ami-1"}, {"MinCount", 1}, {"MaxCount", 1}});
  auto reqs = rig.http->requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_NE(reqs[0].body.find("ClientToken="), std::string::npos);
  EXPECT_EQ(reqs[0].body, reqs[1].body);
}

TEST(ClientPipeline, SharedByManyThreads) {
  Rig rig;
  rig.http->otherwise([](const HttpRequest&) { return fakes::http_answer(200, kEmptyDescribe); });
  auto c = rig.client();
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i)
        if (c->describe_instances().is_object()) ++ok;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 160);
}

TEST(ClientAdaptive, ThrottledCallGoesOnWhileItsOperationGetsCallsThrough) {
  Rig rig;
  rig.mode = "adaptive";
  rig.http->answer(200, kEmptyDescribe);
  for (int i = 0; i < 5; ++i)
    rig.http->answer(503, fakes::ec2_error_body("RequestLimitExceeded", "Request limit exceeded."));
  rig.http->answer(200, kEmptyDescribe);
  auto c = rig.client();
  c->describe_instances();
  // Five throttles on a call of three attempts: the limiter paces the retries, no backoff, no quota.
  EXPECT_NO_THROW(c->describe_instances());
  EXPECT_EQ(rig.http->count(), 7u);
  EXPECT_EQ(rig.quota->available(), 500);
  for (auto pause : rig.clock.sleeps()) EXPECT_LE(pause, 2000ms);
  EXPECT_TRUE(rig.limiters->get("ec2/us-east-1/DescribeInstances")->snapshot().enabled);
  EXPECT_FALSE(rig.limiters->get("ec2/us-east-1/RunInstances")->snapshot().enabled);

  // A minute later with nothing getting through, the attempts run out as in the standard mode.
  rig.clock.advance(61s);
  for (int i = 0; i < 3; ++i)
    rig.http->answer(503, fakes::ec2_error_body("RequestLimitExceeded", "Request limit exceeded."));
  try {
    c->describe_instances();
    FAIL() << "no error";
  } catch (const ClientError& e) {
    EXPECT_EQ(e.max_retries_reached(), 2);
  }
  EXPECT_EQ(rig.http->count(), 10u);
}

TEST(ClientS3, RedirectReSignsForTheBucketRegionOnceAndRemembersIt) {
  Rig rig;
  auto dir = fresh_dir("redirect");
  rig.http->answer(301, s3_error("PermanentRedirect"), {{"x-amz-bucket-region", "eu-west-1"}})
      .answer(200, "hello")
      .answer(200, "again");
  auto c = rig.client("s3");
  c->download_file("results-bucket", "run 1/log.txt", dir / "log.txt");
  std::ifstream in(dir / "log.txt");
  std::string content((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(content, "hello");
  auto reqs = rig.http->requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].method, "GET");
  EXPECT_NE(reqs[0].header("authorization")->find("/us-east-1/s3/aws4_request"), std::string::npos);
  EXPECT_NE(reqs[1].header("authorization")->find("/eu-west-1/s3/aws4_request"), std::string::npos);
  EXPECT_NE(reqs[1].url.find("eu-west-1"), std::string::npos);
  EXPECT_EQ(reqs[1].header("x-amz-content-sha256"), sha256_hex(""));
  // Only the final file is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);

  c->download_file("results-bucket", "other", dir / "other.txt");
  EXPECT_NE(rig.http->requests()[2].url.find("eu-west-1"), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(ClientS3, AuthorizationHeaderMalformedNamesTheRegionInItsBody) {
  Rig rig;
  auto dir = fresh_dir("malformed");
  rig.http->answer(400, s3_error("AuthorizationHeaderMalformed", "<Region>ap-southeast-2</Region>")).answer(200, "x");
  auto c = rig.client("s3");
  c->download_file("b", "k", dir / "k");
  EXPECT_NE(rig.http->requests()[1].header("authorization")->find("/ap-southeast-2/s3/"), std::string::npos);
  std::filesystem::remove_all(dir);
}

TEST(ClientS3, IllegalLocationConstraintAsksHeadBucketForTheRegionAndRetriesThereOnce) {
  Rig rig;
  auto dir = fresh_dir("illegal");
  std::ofstream(dir / "up.log") << "x";
  // HeadBucket is itself sent to the wrong region first and redirected.
  rig.http->answer(400, s3_error("IllegalLocationConstraintException"))
      .answer(301, "", {{"x-amz-bucket-region", "ap-east-1"}})
      .answer(200, "", {{"x-amz-bucket-region", "ap-east-1"}})
      .answer(200, "");
  auto c = rig.client("s3");
  c->upload_file(dir / "up.log", "b", "k");
  auto reqs = rig.http->requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[1].method, "HEAD");
  EXPECT_EQ(reqs[3].method, "PUT");
  EXPECT_NE(reqs[3].url.find("ap-east-1"), std::string::npos);
  EXPECT_NE(reqs[3].header("authorization")->find("/ap-east-1/s3/"), std::string::npos);
  // A region HeadBucket cannot name leaves the answer as it was.
  rig.http->answer(400, s3_error("IllegalLocationConstraintException")).answer(403, "");
  EXPECT_THROW(c->upload_file(dir / "up.log", "other", "k"), ClientError);
  std::filesystem::remove_all(dir);
}

TEST(ClientS3, SecondRedirectIsAnErrorAndLeavesNoFile) {
  Rig rig;
  auto dir = fresh_dir("twice");
  rig.http->otherwise([](const HttpRequest&) {
    return fakes::http_answer(301, s3_error("PermanentRedirect"), {{"x-amz-bucket-region", "eu-west-1"}});
  });
  auto c = rig.client("s3");
  EXPECT_THROW(c->download_file("b", "k", dir / "k"), ClientError);
  EXPECT_EQ(rig.http->count(), 2u);
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  std::filesystem::remove_all(dir);
}

TEST(ClientS3, UploadStreamsTheFileWithItsHashSigned) {
  Rig rig;
  auto dir = fresh_dir("upload");
  const std::string content = "line one\nline two\n";
  std::ofstream(dir / "up.log") << content;
  rig.http->answer(200, "");
  auto c = rig.client("s3");
  c->upload_file(dir / "up.log", "bucket-1", "logs/up.log");
  auto req = rig.http->requests().at(0);
  EXPECT_EQ(req.method, "PUT");
  EXPECT_EQ(req.upload_file, dir / "up.log");
  EXPECT_TRUE(req.body.empty());
  EXPECT_EQ(req.header("x-amz-content-sha256"), sha256_hex(content));
  std::filesystem::remove_all(dir);
}

TEST(ClientS3, FileTransfersNeedAnS3Client) {
  Rig rig;
  auto c = rig.client("ec2");
  EXPECT_THROW(c->download_file("b", "k", "/tmp/never"), std::logic_error);
}

// The same pipeline over the real libcurl transport against a loopback stub: headers as they
// really arrive (Date, lower-cased names), bodies as curl delivers them.
TEST(ClientOverHttp, RetriesAndLearnsTheClockFromARealDateHeader) {
  core::RecordingClock clock;
  core::ScopedClock scope(clock);
  quenfold_testlibs::testing::LoopbackServer srv;
  std::atomic<int> hits{0};
  std::mutex mu;
  std::vector<std::string> dates, agents;
  const std::string server_date = http_date(clock.now() + 30min);
  srv.server().Post("/", [&](const httplib::Request& req, httplib::Response& res) {
    {
      std::lock_guard lk(mu);
      dates.push_back(req.get_header_value("X-Amz-Date"));
      agents.push_back(req.get_header_value("User-Agent"));
    }
    switch (hits++) {
      case 0:
        res.status = 503;
        res.set_content(fakes::ec2_error_body("Unavailable", "try later"), "text/xml");
        break;
      case 1:
        res.status = 400;
        res.set_header("Date", server_date);
        res.set_content(fakes::ec2_error_body("RequestTimeTooSkewed", "too skewed"), "text/xml");
        break;
      default:
        res.set_content(kEmptyDescribe, "text/xml;charset=UTF-8");
    }
  });
  srv.start();

  Environment env(std::map<std::string, std::string>{{"AWS_ENDPOINT_URL_EC2", srv.url()}});
  ClientConfig cfg;
  cfg.service = "ec2";
  cfg.region = "us-east-1";
  cfg.credentials = make_static_provider({"AKIDLOOP", "loopsecret", "", std::nullopt});
  cfg.http = make_curl_transport(env);
  cfg.env = env;
  cfg.random = [] { return 0.5; };
  ServiceClient client(std::move(cfg));
  EXPECT_TRUE(client.describe_instances().is_object());

  EXPECT_EQ(hits.load(), 3);
  EXPECT_EQ(clock.sleeps(), (std::vector<std::chrono::milliseconds>{500ms}));
  EXPECT_EQ(client.clock_offset(), 30min - 500ms);  // the server's time less ours after the pause
  std::lock_guard lk(mu);
  EXPECT_EQ(dates, (std::vector<std::string>{"20231114T221320Z", "20231114T221320Z", "20231114T224320Z"}));
  EXPECT_EQ(agents.at(0), ServiceClient::user_agent());
}

// The fake that the tool's own tests use: its script semantics are part of their contract.
TEST(FakeClient, StepsRunInOrderAndTheLastOneRepeats) {
  fakes::FakeAwsClient ec2;
  ec2.on("DescribeSubnets").reply(json{{"n", 1}}).fail("InvalidSubnetID.NotFound", "gone").reply(json{{"n", 3}});
  EXPECT_EQ(ec2.describe_subnets(json{{"SubnetIds", {"subnet-1"}}})["n"], 1);
  try {
    ec2.describe_subnets(json::object());
    FAIL() << "no error";
  } catch (const ClientError& e) {
    EXPECT_STREQ(e.what(),
                 "An error occurred (InvalidSubnetID.NotFound) when calling the DescribeSubnets operation: gone");
  }
  EXPECT_EQ(ec2.describe_subnets(json::object())["n"], 3);
  EXPECT_EQ(ec2.describe_subnets(json::object())["n"], 3);
  EXPECT_EQ(ec2.count("DescribeSubnets"), 4u);
  EXPECT_EQ(ec2.calls("DescribeSubnets")[0]["SubnetIds"][0], "subnet-1");
}

// An unscripted call fails the test even when the code under test swallows the exception.
TEST(FakeClient, UnscriptedOperationsFailTheTestUnlessLenient) {
  fakes::FakeAwsClient iam("iam", std::nullopt);
  EXPECT_NONFATAL_FAILURE(
      {
        try {
          iam.delete_role(json{{"RoleName", "r"}});
        } catch (const std::logic_error& e) {
          EXPECT_STREQ(e.what(), "FakeAwsClient: no script for DeleteRole");
        }
      },
      "FakeAwsClient(iam): no script for DeleteRole");
  EXPECT_EQ(iam.unscripted(), (std::vector<std::string>{"DeleteRole"}));
  iam.on("DeleteRole").fail(TransportError("connection reset"));
  EXPECT_THROW(iam.delete_role(json{{"RoleName", "r"}}), TransportError);
  iam.lenient();
  EXPECT_EQ(iam.create_role(json{{"RoleName", "r"}}), json::object());
  EXPECT_EQ(iam.operations(), (std::vector<std::string>{"DeleteRole", "DeleteRole", "CreateRole"}));
  EXPECT_EQ(iam.unscripted(), (std::vector<std::string>{"DeleteRole"}));
}

TEST(FakeClient, FileTransfersAreRecordedWithTheirContent) {
  fakes::FakeAwsClient s3("s3", std::nullopt);
  auto dir = fresh_dir("fake-s3");
  s3.on("GetObject").reply(json{{"Body", "key material"}});
  s3.on("PutObject").reply(json{{"ETag", "\"6f1ed002ab5595859014ebf0951522d9\""}});
  s3.download_file("b", "keys/k.pem", dir / "k.pem");
  std::ifstream in(dir / "k.pem");
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "key material");
  s3.upload_file(dir / "k.pem", "b2", "copy.pem");
  EXPECT_EQ(s3.calls("PutObject").at(0)["Body"], "key material");
  EXPECT_EQ(s3.calls("GetObject").at(0)["Key"], "keys/k.pem");
  std::filesystem::remove_all(dir);
}
