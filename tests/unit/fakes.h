// Test doubles for the AWS access layer.
//
// FakeAwsClient stands in for a service client in the tool's unit tests: it records every call
// and answers from a per-operation script.
//
//   FakeAwsClient ec2;                                   // service "ec2", region "us-east-1"
//   ec2.on("DescribeInstances").reply(first).reply(then);  // steps in order; the last repeats
//   ec2.on("CreateSecurityGroup").fail("InvalidGroup.Duplicate", "exists");  // a ClientError
//   ec2.on("RunInstances").fail(awsapi::TransportError("connection reset"));   // any exception
//   ec2.on("DescribeSubnets").reply_with([](const json& req) { return ...; });
//   ... run the code under test ...
//   EXPECT_EQ(ec2.count("RunInstances"), 1u);
//   EXPECT_EQ(ec2.calls("RunInstances")[0]["SubnetId"], "subnet-1");
//
// An operation without a script fails the test: the call is recorded in unscripted(), reported with
// ADD_FAILURE() (so the test fails even when the code under test catches the exception and carries
// on) and throws std::logic_error naming the operation. Script every call the code makes; a test
// that truly accepts any answer may call lenient(), after which unscripted operations answer {}.
// Safe to use from many threads at once, like the real client.
//
// FakeTransport stands in for the HTTP layer under the real client: it records each request and
// answers from a queue of responses or transport failures.
#pragma once

#include <deque>
#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include "awsapi/base/error.h"
#include "awsapi/client/client.h"
#include "awsapi/transport/http.h"

namespace quenfold_testlibs::fakes {

using json = nlohmann::ordered_json;

class FakeAwsClient : public awsapi::AwsClient {
 public:
  struct Call {
    std::string operation;
    json request;
  };

  class Script {
   public:
    // Answers `response`.
    Script& reply(json response) {
      return step([response = std::move(response)](const json&) { return response; });
    }
    // Answers what `fn` makes of the request.
    Script& reply_with(std::function<json(const json&)> fn) { return step(std::move(fn)); }
    // Throws a ClientError of this operation, as the service would.
    Script& fail(std::string code, std::string message = "", int http_status = 400) {
      return step(
          [code = std::move(code), message = std::move(message), http_status, op = operation_](const json&) -> json {
            throw awsapi::ClientError(code, message, op, http_status, "fake-request-id");
          });
    }
    // Throws the given exception (a ClientError, TransportError, CredentialsError, ...).
    template <class E>
    requires std::is_base_of_v<std::exception, E> Script& fail(E error) {
      return step(
          [ptr = std::make_exception_ptr(std::move(error))](const json&) -> json { std::rethrow_exception(ptr); });
    }

   private:
    friend class FakeAwsClient;
    Script(std::string operation, std::mutex& mu) : operation_(std::move(operation)), mu_(mu) {}
    Script& step(std::function<json(const json&)> fn) {
      std::lock_guard lk(mu_);
      steps_.push_back(std::move(fn));
      return *this;
    }
    // Called with the client's lock held: the next step, the last one staying for good.
    std::function<json(const json&)> next() {
      if (steps_.empty()) return nullptr;
      auto fn = steps_.front();
      if (steps_.size() > 1) steps_.pop_front();
      return fn;
    }

    std::string operation_;
    std::mutex& mu_;
    std::deque<std::function<json(const json&)>> steps_;
  };

  explicit FakeAwsClient(std::string service = "ec2", std::optional<std::string> region = "us-east-1")
      : service_(std::move(service)), region_(std::move(region)) {}

  Script& on(const std::string& operation) {
    std::lock_guard lk(mu_);
    auto& slot = scripts_[operation];
    if (!slot) slot.reset(new Script(operation, mu_));
    return *slot;
  }
  // Unscripted operations answer {} instead of failing the test.
  FakeAwsClient& lenient() {
    std::lock_guard lk(mu_);
    strict_ = false;
    return *this;
  }

  // The requests of one operation, in call order.
  std::vector<json> calls(const std::string& operation) const {
    std::lock_guard lk(mu_);
    std::vector<json> out;
    for (const auto& c : calls_)
      if (c.operation == operation) out.push_back(c.request);
    return out;
  }
  std::size_t count(const std::string& operation) const { return calls(operation).size(); }
  // Every call, in order: useful to check the sequence of operations.
  std::vector<Call> all_calls() const {
    std::lock_guard lk(mu_);
    return calls_;
  }
  std::vector<std::string> operations() const {
    std::vector<std::string> out;
    for (const auto& c : all_calls()) out.push_back(c.operation);
    return out;
  }
  // The operations called without a script, in call order.
  std::vector<std::string> unscripted() const {
    std::lock_guard lk(mu_);
    return unscripted_;
  }

  // A request with DryRun true is recorded and scripted as "Operation:DryRun"; without a script it
  // answers as EC2 does when the call would be allowed (DryRunOperation).
  json call(const std::string& name, const json& request) const override {
    const bool dry = request.is_object() && request.value("DryRun", false);
    const std::string operation = dry ? name + ":DryRun" : name;
    std::function<json(const json&)> fn;
    bool strict = false;
    {
      std::lock_guard lk(mu_);
      calls_.push_back({operation, request});
      if (auto it = scripts_.find(operation); it != scripts_.end()) fn = it->second->next();
      if (!fn && dry)
        throw awsapi::ClientError("DryRunOperation", "Request would have succeeded, but DryRun flag is set.", name, 412,
                                  "fake-request-id");
      strict = strict_;
      if (!fn && strict) unscripted_.push_back(operation);
    }
    if (fn) return fn(request);
    if (!strict) return json::object();
    // Reported here too: the code under test may swallow the exception.
    ADD_FAILURE() << "FakeAwsClient(" << service_ << "): no script for " << operation << " " << request.dump();
    throw std::logic_error("FakeAwsClient: no script for " + operation);
  }

  // Recorded as GetObject {Bucket, Key, File}; writes the scripted answer's "Body" text to the file.
  void download_file(const std::string& bucket, const std::string& key,
                     const std::filesystem::path& file) const override {
    json answer = call("GetObject", json{{"Bucket", bucket}, {"Key", key}, {"File", file.string()}});
    std::ofstream out(file, std::ios::binary);
    if (answer.contains("Body")) out << answer["Body"].get<std::string>();
  }
  // Recorded as PutObject {Bucket, Key, File, Body} with the file's content as Body.
  void upload_file(const std::filesystem::path& file, const std::string& bucket,
                   const std::string& key) const override {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw std::runtime_error("FakeAwsClient: cannot read " + file.string());
    std::ostringstream body;
    body << in.rdbuf();
    call("PutObject", json{{"Bucket", bucket}, {"Key", key}, {"File", file.string()}, {"Body", body.str()}});
  }

  std::string service() const override { return service_; }
  std::optional<std::string> region() const override { return region_; }

 private:
  std::string service_;
  std::optional<std::string> region_;
  mutable std::mutex mu_;
  std::map<std::string, std::unique_ptr<Script>> scripts_;
  mutable std::vector<Call> calls_;
  mutable std::vector<std::string> unscripted_;
  bool strict_ = true;
};

// An HTTP answer for FakeTransport scripts.
inline awsapi::HttpResponse http_answer(int status, std::string body = {}, awsapi::Headers headers = {}) {
  awsapi::HttpResponse r;
  r.status = status;
  r.body = std::move(body);
  r.headers = std::move(headers);
  return r;
}

// EC2's error body.
inline std::string ec2_error_body(const std::string& code, const std::string& message) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Response><Errors><Error><Code>" + code + "</Code><Message>" +
         message + "</Message></Error></Errors><RequestID>req-1</RequestID></Response>";
}

// Scripts the lookups a deploy's preflight makes before anything is made, answering an account
// without walls: the type's vCPUs, no zone facts, the VPC's internet gateway and route.
inline void scriptPreflightLookups(FakeAwsClient& ec2) {
  ec2.on("DescribeInstanceTypes")
      .reply({{"InstanceTypes", json::array({{{"InstanceType", "t3.micro"},
                                              {"VCpuInfo", {{"DefaultVCpus", 2}}},
                                              {"ProcessorInfo", {{"SupportedArchitectures", {"x86_64"}}}}}})}});
  ec2.on("DescribeInstanceTypeOfferings").reply({{"InstanceTypeOfferings", json::array()}});
  ec2.on("DescribeInternetGateways").reply_with([](const json& req) {
    const json vpc = req["Filters"][0]["Values"][0];
    return json{{"InternetGateways",
                 json::array({{{"InternetGatewayId", "igw-1"},
                               {"Attachments", json::array({{{"State", "available"}, {"VpcId", vpc}}})}}})}};
  });
  ec2.on("DescribeRouteTables").reply({{"RouteTables", json::array()}});
}

class FakeTransport : public awsapi::HttpTransport {
 public:
  using Answer = std::variant<awsapi::HttpResponse, awsapi::TransportError>;

  FakeTransport& answer(awsapi::HttpResponse r) {
    std::lock_guard lk(mu_);
    queue_.emplace_back(std::move(r));
    return *this;
  }
  FakeTransport& answer(int status, std::string body = {}, awsapi::Headers headers = {}) {
    return answer(http_answer(status, std::move(body), std::move(headers)));
  }
  FakeTransport& fail(awsapi::TransportError e) {
    std::lock_guard lk(mu_);
    queue_.emplace_back(std::move(e));
    return *this;
  }
  // Answers every request once the queue is empty.
  FakeTransport& otherwise(std::function<awsapi::HttpResponse(const awsapi::HttpRequest&)> fn) {
    std::lock_guard lk(mu_);
    fallback_ = std::move(fn);
    return *this;
  }

  awsapi::HttpResponse send(const awsapi::HttpRequest& request) override {
    std::optional<Answer> a;
    std::function<awsapi::HttpResponse(const awsapi::HttpRequest&)> fallback;
    {
      std::lock_guard lk(mu_);
      requests_.push_back(request);
      if (!queue_.empty()) {
        a = std::move(queue_.front());
        queue_.pop_front();
      } else {
        fallback = fallback_;
      }
    }
    awsapi::HttpResponse response;
    if (!a) {
      if (!fallback) throw std::logic_error("FakeTransport: no answer scripted for " + request.url);
      response = fallback(request);
    } else if (auto* e = std::get_if<awsapi::TransportError>(&*a)) {
      throw *e;
    } else {
      response = std::get<awsapi::HttpResponse>(*a);
    }
    // Like the real transport, a 2xx body of a download goes into the file.
    if (!request.download_file.empty() && response.status >= 200 && response.status < 300) {
      std::ofstream(request.download_file, std::ios::binary) << response.body;
      response.body.clear();
    }
    return response;
  }

  std::vector<awsapi::HttpRequest> requests() const {
    std::lock_guard lk(mu_);
    return requests_;
  }
  std::size_t count() const {
    std::lock_guard lk(mu_);
    return requests_.size();
  }

 private:
  mutable std::mutex mu_;
  std::deque<Answer> queue_;
  std::function<awsapi::HttpResponse(const awsapi::HttpRequest&)> fallback_;
  std::vector<awsapi::HttpRequest> requests_;
};

}  // namespace quenfold_testlibs::fakes
