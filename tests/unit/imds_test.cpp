// The metadata client's IMDSv2 token flow and its fallbacks: against a loopback stub for the wire
// behaviour, and against a scripted transport where exact attempt counts and time-outs matter.
#include "awsapi/credentials/imds.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "awsapi/base/environment.h"
#include "awsapi/base/error.h"
#include "core/clock.h"
#include "loopback_server.h"

namespace qa = quenfold_testlibs::awsapi;
using Vars = std::map<std::string, std::string>;
namespace core = quenfold_testlibs::core;
using quenfold_testlibs::testing::LoopbackServer;
using namespace std::chrono_literals;

namespace {

// A metadata service stub: counts token and document requests, remembers the token header seen.
class ImdsStub {
 public:
  explicit ImdsStub(int token_status = 200) : token_status_(token_status) {
    srv_.server().Put("/latest/api/token", [this](const httplib::Request& req, httplib::Response& res) {
      ++puts;
      {
        std::lock_guard lk(mu_);
        ttl_header = req.get_header_value("X-aws-ec2-metadata-token-ttl-seconds");
      }
      res.status = token_status_;
      if (token_status_ == 200) res.set_content("token-" + std::to_string(puts.load()), "text/plain");
    });
    srv_.server().Get("/latest/dynamic/instance-identity/document",
                      [this](const httplib::Request& req, httplib::Response& res) {
                        ++gets;
                        std::lock_guard lk(mu_);
                        token_seen = req.get_header_value("X-aws-ec2-metadata-token");
                        res.set_content(R"({"accountId": "123456789012", "region": "eu-west-1"})", "application/json");
                      });
    srv_.start();
  }
  std::string url() const { return srv_.url(); }
  std::string last_token() {
    std::lock_guard lk(mu_);
    return token_seen;
  }
  std::string last_ttl() {
    std::lock_guard lk(mu_);
    return ttl_header;
  }

  std::atomic<int> puts{0};
  std::atomic<int> gets{0};

 private:
  int token_status_;
  std::mutex mu_;
  std::string token_seen, ttl_header;
  LoopbackServer srv_;
};

constexpr const char* kDoc = "/latest/dynamic/instance-identity/document";

// A transport whose answers the test scripts; it records every request.
class ScriptedTransport : public qa::HttpTransport {
 public:
  std::function<qa::HttpResponse(const qa::HttpRequest&)> answer;
  qa::HttpResponse send(const qa::HttpRequest& r) override {
    {
      std::lock_guard lk(mu);
      requests.push_back(r);
    }
    return answer(r);
  }
  std::vector<qa::HttpRequest> sent() {
    std::lock_guard lk(mu);
    return requests;
  }
  std::mutex mu;
  std::vector<qa::HttpRequest> requests;
};

qa::HttpResponse status(int code, std::string body = {}) {
  qa::HttpResponse r;
  r.status = code;
  r.body = std::move(body);
  return r;
}

qa::Environment env_for(const std::string& endpoint, std::map<std::string, std::string> extra = {}) {
  extra["AWS_EC2_METADATA_SERVICE_ENDPOINT"] = endpoint;
  extra["HTTP_PROXY"] = "http://127.0.0.1:1";  // a dead proxy: the client must never use it
  return qa::Environment(std::move(extra));
}

class ImdsClientTest : public ::testing::Test {
 protected:
  core::RecordingClock clock_;
  core::ScopedClock scoped_{clock_};
};

TEST_F(ImdsClientTest, TokenIsFetchedOnceAndSentWithEveryGet) {
  ImdsStub stub;
  auto env = env_for(stub.url() + "/");  // a trailing slash on the endpoint is harmless
  qa::ImdsClient imds(env, qa::make_curl_transport(env));
  for (int i = 0; i < 3; ++i) {
    auto r = imds.get(kDoc);
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("123456789012"), std::string::npos);
  }
  EXPECT_EQ(stub.puts.load(), 1);
  EXPECT_EQ(stub.gets.load(), 3);
  EXPECT_EQ(stub.last_token(), "token-1");
  EXPECT_EQ(stub.last_ttl(), "21600");
}

TEST_F(ImdsClientTest, TokenIsRenewedShortlyBeforeItsTtlEnds) {
  ImdsStub stub;
  auto env = env_for(stub.url());
  qa::ImdsClient imds(env, qa::make_curl_transport(env));
  imds.get(kDoc);
  clock_.advance(std::chrono::seconds(21600) - 2min);
  imds.get(kDoc);
  EXPECT_EQ(stub.puts.load(), 1);
  clock_.advance(90s);  // 30 s left: too close to trust
  imds.get(kDoc);
  EXPECT_EQ(stub.puts.load(), 2);
  EXPECT_EQ(stub.last_token(), "token-2");
}

TEST_F(ImdsClientTest, RefusedTokenFallsBackToTheTokenlessGet) {
  for (int refused : {403, 404, 405}) {
    ImdsStub stub(refused);
    auto env = env_for(stub.url());
    qa::ImdsClient imds(env, qa::make_curl_transport(env));
    EXPECT_EQ(imds.get(kDoc).status, 200) << refused;
    EXPECT_EQ(stub.gets.load(), 1) << refused;
    EXPECT_EQ(stub.last_token(), "") << refused;
    EXPECT_EQ(stub.puts.load(), 1) << refused;  // a refusal is final: no retry of the PUT
  }
}

TEST_F(ImdsClientTest, NoFallbackWhenV1IsDisabled) {
  ImdsStub stub(405);
  auto env = env_for(stub.url(), {{"AWS_EC2_METADATA_V1_DISABLED", "true"}});
  qa::ImdsClient imds(env, qa::make_curl_transport(env));
  EXPECT_THROW(imds.get(kDoc), qa::AwsError);
  EXPECT_EQ(stub.gets.load(), 0);
}

TEST_F(ImdsClientTest, DisabledClientSendsNothing) {
  ImdsStub stub;
  auto env = env_for(stub.url(), {{"AWS_EC2_METADATA_DISABLED", "true"}});
  qa::ImdsClient imds(env, qa::make_curl_transport(env));
  EXPECT_TRUE(imds.disabled());
  EXPECT_THROW(imds.get(kDoc), qa::AwsError);
  EXPECT_EQ(stub.puts.load() + stub.gets.load(), 0);
}

TEST_F(ImdsClientTest, UnreachableEndpointFailsAfterOneRetryWithoutAV1Attempt) {
  int dead_port;
  {
    LoopbackServer gone;
    gone.start();
    dead_port = gone.port();
  }
  auto env = env_for("http://127.0.0.1:" + std::to_string(dead_port));
  auto real = qa::make_curl_transport(env);
  auto counting = std::make_shared<ScriptedTransport>();
  counting->answer = [&](const qa::HttpRequest& r) { return real->send(r); };
  qa::ImdsClient imds(env, counting);
  try {
    imds.get(kDoc);
    FAIL() << "expected TransportError";
  } catch (const qa::TransportError& e) {
    EXPECT_FALSE(e.timed_out());
  }
  auto sent = counting->sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].method, "PUT");
  EXPECT_EQ(sent[1].method, "PUT");
  EXPECT_TRUE(clock_.sleeps().empty());
}

TEST_F(ImdsClientTest, TokenTimeoutFallsBackToV1AndRequestsAreShortAndUnproxied) {
  auto t = std::make_shared<ScriptedTransport>();
  t->answer = [](const qa::HttpRequest& r) -> qa::HttpResponse {
    if (r.method == "PUT") throw qa::TransportError("timed out", true);
    return status(200, "doc");
  };
  qa::ImdsClient imds(qa::Environment(), t);
  EXPECT_EQ(imds.get(kDoc).body, "doc");
  auto sent = t->sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].url, "http://169.254.169.254/latest/api/token");
  EXPECT_EQ(sent[1].url, std::string("http://169.254.169.254") + kDoc);
  EXPECT_FALSE(sent[1].header("X-aws-ec2-metadata-token"));
  for (const auto& r : sent) {
    EXPECT_TRUE(r.bypass_proxy);
    EXPECT_LE(r.connect_timeout, 1000ms);
    EXPECT_LE(r.timeout, 2000ms);
  }
}

TEST_F(ImdsClientTest, GetIsRetriedOnceOnServerErrorsAndDroppedConnections) {
  auto t = std::make_shared<ScriptedTransport>();
  int gets = 0;
  t->answer = [&](const qa::HttpRequest& r) -> qa::HttpResponse {
    if (r.method == "PUT") return status(200, "tok");
    if (++gets == 1) throw qa::TransportError("connection reset");
    return status(200, "doc");
  };
  qa::ImdsClient imds(qa::Environment(), t);
  EXPECT_EQ(imds.get(kDoc).body, "doc");

  gets = 0;
  t->answer = [&](const qa::HttpRequest& r) -> qa::HttpResponse {
    if (r.method == "PUT") return status(200, "tok");
    ++gets;
    return status(503);
  };
  EXPECT_EQ(imds.get(kDoc).status, 503);  // answered twice with 503: the answer is returned
  EXPECT_EQ(gets, 2);
}

TEST_F(ImdsClientTest, RejectedTokenIsReplacedOnce) {
  auto t = std::make_shared<ScriptedTransport>();
  int puts = 0;
  t->answer = [&](const qa::HttpRequest& r) -> qa::HttpResponse {
    if (r.method == "PUT") return status(200, "tok" + std::to_string(++puts));
    return r.header("X-aws-ec2-metadata-token") == "tok2" ? status(200, "doc") : status(401);
  };
  qa::ImdsClient imds(qa::Environment(), t);
  EXPECT_EQ(imds.get(kDoc).body, "doc");
  EXPECT_EQ(puts, 2);
}

TEST_F(ImdsClientTest, ConcurrentCallersShareOneTokenRequest) {
  ImdsStub stub;
  auto env = env_for(stub.url());
  qa::ImdsClient imds(env, qa::make_curl_transport(env));
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < 5; ++k) ok += imds.get(kDoc).status == 200 ? 1 : 0;
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(ok.load(), 30);
  EXPECT_EQ(stub.puts.load(), 1);
}

}  // namespace
