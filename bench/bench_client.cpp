// The client's own cost per call, for a DescribeInstances answered with 20 instances: the whole
// pipeline against a loopback stub, and its serialise / sign / parse steps alone. CPU time is the
// calling thread's, so it leaves out the stub, which answers from threads of its own (or from
// another process, when QUENFOLD_BENCH_ENDPOINT names one).
//
//   bench_client                 runs the benchmarks against an in-process stub
//   bench_client --print-body    prints the stub's answer (for bench/client_vs_botocore.py)
//   QUENFOLD_BENCH_ENDPOINT=http://127.0.0.1:PORT bench_client --benchmark_filter=Pipeline
#include <benchmark/benchmark.h>
#include <httplib.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <thread>

#include "awsapi/base/environment.h"
#include "awsapi/client/service_client.h"
#include "awsapi/credentials/credentials.h"
#include "awsapi/protocol/protocol.h"
#include "awsapi/transport/endpoints.h"
#include "awsapi/transport/http.h"
#include "awsapi/transport/sigv4.h"
#include "core/clock.h"
#include "describe_instances_body.h"

using namespace quenfold_testlibs;
using namespace quenfold_testlibs::awsapi;

namespace {

const json& request() {
  static const json r = {{"Filters",
                          {{{"Name", "tag:Name"}, {"Values", {"quenfold-test-ec2"}}},
                           {{"Name", "instance-state-name"}, {"Values", {"pending", "running"}}}}}};
  return r;
}

const std::string& body() {
  static const std::string b = bench::describe_instances_body(20);
  return b;
}

Credentials credentials() { return {"AKIDEXAMPLEBENCH", "benchsecretkeybenchsecretkey", "", std::nullopt}; }

// The in-process stub, started on first use unless an external one is named.
class Stub {
 public:
  static const std::string& endpoint() {
    static Stub stub;
    return stub.endpoint_;
  }

 private:
  Stub() {
    if (const char* e = std::getenv("QUENFOLD_BENCH_ENDPOINT"); e && *e) {
      endpoint_ = e;
      return;
    }
    server_.Post("/", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(body(), "text/xml;charset=UTF-8");
    });
    const int port = server_.bind_to_any_port("127.0.0.1");
    // The socket already listens after the bind, so early connections queue until the loop runs;
    // stop() needs the loop running, so wait for it to start (it is the thread's first step).
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
    endpoint_ = "http://127.0.0.1:" + std::to_string(port);
  }
  ~Stub() {
    if (thread_.joinable()) {
      server_.stop();
      thread_.join();
    }
  }
  httplib::Server server_;
  std::thread thread_;
  std::string endpoint_;
};

void Pipeline_DescribeInstances20(benchmark::State& state) {
  Environment env(std::map<std::string, std::string>{{"AWS_ENDPOINT_URL_EC2", Stub::endpoint()}});
  ClientConfig cfg;
  cfg.service = "ec2";
  cfg.region = "us-east-1";
  cfg.credentials = make_static_provider(credentials());
  cfg.http = make_curl_transport(env);
  cfg.env = env;
  ServiceClient client(std::move(cfg));
  const json first = client.describe_instances(request());
  if (!first.contains("Reservations") || first["Reservations"].size() != 20) {
    state.SkipWithError("the stub's answer did not parse into 20 reservations");
    return;
  }
  for (auto _ : state) {
    json out = client.describe_instances(request());
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(Pipeline_DescribeInstances20)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void Step_Serialize(benchmark::State& state) {
  for (auto _ : state) {
    WireRequest w = serialize_request("ec2", "DescribeInstances", request());
    benchmark::DoNotOptimize(w);
  }
}
BENCHMARK(Step_Serialize)->Unit(benchmark::kMicrosecond);

void Step_Sign(benchmark::State& state) {
  const WireRequest w = serialize_request("ec2", "DescribeInstances", request());
  HttpRequest base;
  base.method = w.method;
  base.url = "https://ec2.us-east-1.amazonaws.com/";
  base.headers = w.headers;
  base.body = w.body;
  const Credentials c = credentials();
  for (auto _ : state) {
    HttpRequest r = base;
    sign_request(r, c, SigningInput{"ec2", "us-east-1", core::the_clock().now(), false}, sha256_hex(r.body));
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(Step_Sign)->Unit(benchmark::kMicrosecond);

void Step_Parse20(benchmark::State& state) {
  HttpResponse resp;
  resp.status = 200;
  resp.headers = {{"content-type", "text/xml;charset=UTF-8"}};
  resp.body = body();
  for (auto _ : state) {
    json out = parse_response("ec2", "DescribeInstances", resp);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(Step_Parse20)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--print-body") == 0) {
      std::cout << body();
      return 0;
    }
  }
  benchmark::Initialize(&argc, argv);
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__)
  benchmark::AddCustomContext("quenfold_build", "optimised");
#else
  benchmark::AddCustomContext("quenfold_build", "debug or sanitized: figures not comparable");
#endif
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
