// One request pipeline for every service. Each attempt is built and signed afresh (after its
// pause, with the learned clock offset), so that retries never reuse a stale signature. What
// follows a failed attempt is decided by decide_after_attempt (retry.h) on plain data; this file
// gathers that data and carries the decision out. In the adaptive mode every attempt first waits
// for its operation's rate limiter.
#include "awsapi/client/service_client.h"

#include <cstdlib>
#include <random>
#include <system_error>

#include <pugixml.hpp>

#include "awsapi/base/error.h"
#include "awsapi/base/timestamp.h"
#include "awsapi/transport/sigv4.h"
#include "core/atomic_file.h"
#include "core/clock.h"
#include "core/interrupt.h"

namespace quenfold_testlibs::awsapi {

namespace {

using std::chrono::milliseconds;

bool is_2xx(int status) { return status >= 200 && status < 300; }

// The answer's Date minus the local clock, when the answer has a readable Date.
std::optional<milliseconds> server_offset(const HttpResponse& response) {
  const auto date = response.header("date");
  if (!date) return std::nullopt;
  const auto server = parse_timestamp(*date);
  if (!server) return std::nullopt;
  return std::chrono::duration_cast<milliseconds>(*server - core::the_clock().now());
}

// The region S3 names for a bucket: the x-amz-bucket-region header, else <Error><Region>.
std::optional<std::string> redirect_region(const HttpResponse& response) {
  if (auto h = response.header("x-amz-bucket-region"); h && !h->empty()) return h;
  pugi::xml_document doc;
  if (!doc.load_buffer(response.body.data(), response.body.size())) return std::nullopt;
  std::string region = doc.child("Error").child("Region").text().as_string();
  if (region.empty()) return std::nullopt;
  return region;
}

// A version 4 UUID, as the reference SDK puts in an idempotency token the caller left out.
std::string uuid4() {
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  unsigned char b[16];
  for (int i = 0; i < 16; i += 8) {
    const auto r = gen();
    for (int j = 0; j < 8; ++j) b[i + j] = static_cast<unsigned char>(r >> (8 * j));
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
    s += kHex[b[i] >> 4];
    s += kHex[b[i] & 0x0F];
  }
  return s;
}

}  // namespace

// What one call needs for every attempt: the serialised request and, for S3, where it goes.
struct ServiceClient::Prepared {
  WireRequest wire;
  std::string key;  // S3: the object key, unencoded
  std::string payload_sha256;
  std::filesystem::path upload_file;
  std::filesystem::path download_file;
};

const std::string& ServiceClient::user_agent() {
  static const std::string ua = "quenfold_testlibs-awsapi/1.0 deploy_test_ec2 (C++20; libcurl)";
  return ua;
}

ServiceClient::ServiceClient(ClientConfig config) : config_(std::move(config)) {
  if (!config_.http) throw std::invalid_argument("ServiceClient needs an HTTP transport");
  if (!config_.quota) config_.quota = std::make_shared<RetryQuota>();
  if (!config_.limiters) config_.limiters = std::make_shared<RateLimiters>();
  const Profile* profile = config_.profile ? &*config_.profile : nullptr;
  endpoint_ = resolve_endpoint(config_.service, config_.region, config_.env, profile);
}

double ServiceClient::draw() const {
  if (config_.random) return config_.random();
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  return std::uniform_real_distribution<double>(0.0, 1.0)(gen);
}

ResolvedEndpoint ServiceClient::endpoint_for(const std::optional<std::string>& bucket) const {
  if (bucket) {
    std::lock_guard lk(redirects_mu_);
    if (auto it = redirects_.find(*bucket); it != redirects_.end()) return it->second;
  }
  return endpoint_;
}

// One call's progress across its attempts.
struct ServiceClient::CallState {
  ResolvedEndpoint ep;
  std::shared_ptr<RateLimiter> limiter;  // adaptive mode only
  RateLimiter::Ticket ticket = 0;        // kept by every attempt: a retry keeps its place in line
  CallProgress progress;
  int last_cost = 0;  // quota taken by the latest retry, returned on success
};

// One attempt's answer, or the transport failure that took its place.
struct ServiceClient::Attempt {
  HttpResponse response;
  std::exception_ptr transport_error;
  bool timed_out = false;
  bool had_session_token = false;
  ErrorInfo error;  // parsed when the answer is an error
  bool succeeded() const { return !transport_error && is_2xx(response.status); }
};

HttpResponse ServiceClient::execute(const std::string& operation, const Prepared& p) const {
  CallState call = begin_call(operation, p);
  for (;;) {
    Attempt a = attempt(p, call);
    if (a.succeeded()) return succeed(call, std::move(a.response));
    AttemptOutcome outcome = outcome_of(a, p);
    if (p.wire.bucket && !outcome.redirect_region && !call.progress.redirected && operation != "HeadBucket" &&
        outcome.code == "IllegalLocationConstraintException")
      outcome.redirect_region = bucket_region(*p.wire.bucket);
    const Decision decision = decide(outcome, call);
    if (call.limiter && !outcome.transport_failed) call.limiter->on_answer(decision.kind == ErrorKind::Throttling);
    if (decision.step == NextStep::GiveUp) fail(a, decision, operation);
    act(decision, p, call);
  }
}

ServiceClient::CallState ServiceClient::begin_call(const std::string& operation, const Prepared& p) const {
  CallState call;
  call.ep = endpoint_for(p.wire.bucket);
  if (config_.retry.adaptive())
    call.limiter = config_.limiters->get(config_.service + "/" + call.ep.signing_region + "/" + operation);
  return call;
}

ServiceClient::Attempt ServiceClient::attempt(const Prepared& p, CallState& call) const {
  core::throwIfInterrupted();                            // after SIGINT/SIGTERM no new call and no retry starts
  if (call.limiter) call.limiter->acquire(call.ticket);  // before signing: the wait may be long
  HttpRequest req = request_for(p, call.ep);
  Attempt a;
  a.had_session_token = sign(req, call.ep, p.payload_sha256);
  ++call.progress.attempts;
  send(req, p, a);
  if (!a.transport_error && !a.succeeded()) a.error = parse_error(config_.service, a.response);
  return a;
}

HttpRequest ServiceClient::request_for(const Prepared& p, const ResolvedEndpoint& ep) const {
  HttpRequest req;
  req.method = p.wire.method;
  if (p.wire.bucket) {
    req.url = s3_object_url(ep, *p.wire.bucket, p.key);
  } else {
    req.url = ep.url + (p.wire.path.empty() ? "/" : p.wire.path);
  }
  if (!p.wire.query.empty()) req.url += (req.url.find('?') == std::string::npos ? "?" : "&") + p.wire.query;
  req.headers = p.wire.headers;
  req.body = p.wire.body;
  req.upload_file = p.upload_file;
  req.download_file = p.download_file;
  req.set_header("User-Agent", user_agent());
  return req;
}

// Signs with the current credentials at the local time plus the learned offset; true when they
// carry a session token. Unsigned without a credentials provider.
bool ServiceClient::sign(HttpRequest& req, const ResolvedEndpoint& ep, const std::string& payload_sha256) const {
  if (!config_.credentials) return false;
  const Credentials creds = config_.credentials->get();
  const SigningInput in{ep.signing_name, ep.signing_region, core::the_clock().now() + clock_offset(),
                        config_.service == "s3"};
  sign_request(req, creds, in, payload_sha256);
  return !creds.session_token.empty();
}

void ServiceClient::send(const HttpRequest& req, const Prepared& p, Attempt& a) const {
  if (!p.download_file.empty()) {
    std::error_code ec;
    std::filesystem::remove(p.download_file, ec);
  }
  try {
    a.response = config_.http->send(req);
  } catch (const TransportError& e) {
    a.timed_out = e.timed_out();
    a.transport_error = std::current_exception();
  }
}

HttpResponse ServiceClient::succeed(const CallState& call, HttpResponse response) const {
  if (call.limiter) call.limiter->on_answer(false);
  config_.quota->release(call.last_cost > 0 ? call.last_cost : RetryQuota::kNoRetryIncrement);
  return response;
}

AttemptOutcome ServiceClient::outcome_of(const Attempt& a, const Prepared& p) const {
  AttemptOutcome o;
  o.http_status = a.response.status;
  o.code = a.error.code;
  o.message = a.error.message;
  o.transport_failed = a.transport_error != nullptr;
  o.timed_out = a.timed_out;
  o.signed_request = config_.credentials != nullptr;
  o.had_session_token = a.had_session_token;
  o.server_offset = server_offset(a.response);
  o.clock_offset = clock_offset();
  if (p.wire.bucket) o.redirect_region = redirect_region(a.response);
  return o;
}

// The rules decide on the assumption that the quota grants a retry, and the quota is asked only
// when they want a backoff: asking takes its tokens. When it refuses, the rules decide again.
Decision ServiceClient::decide(const AttemptOutcome& outcome, CallState& call) const {
  CallProgress& progress = call.progress;
  progress.recent_success = call.limiter && call.limiter->succeeded_within(kThrottleProgressWindow);
  progress.random01 = draw();
  progress.quota_grants = true;
  Decision decision = decide_after_attempt(outcome, progress, config_.retry);
  if (decision.step != NextStep::Backoff) return decision;
  int cost = 0;
  if (config_.quota->acquire(outcome.timed_out, &cost)) {
    call.last_cost = cost;
    return decision;
  }
  progress.quota_grants = false;
  return decide_after_attempt(outcome, progress, config_.retry);
}

void ServiceClient::act(const Decision& decision, const Prepared& p, CallState& call) const {
  switch (decision.step) {
    case NextStep::Backoff:
      if (decision.pause.count() > 0) core::the_clock().sleep_for(decision.pause);
      break;
    case NextStep::CorrectClock:
      offset_ms_.store(decision.clock_offset.count());
      call.progress.clock_corrected = true;
      break;
    case NextStep::RefreshCredentials:
      config_.credentials->invalidate();
      call.progress.credentials_refreshed = true;
      break;
    case NextStep::Redirect:
      call.ep = redirect(*p.wire.bucket, decision.region);
      call.progress.redirected = true;
      break;
    case NextStep::RetryNow:
    case NextStep::GiveUp:
      break;
  }
}

void ServiceClient::fail(const Attempt& a, const Decision& decision, const std::string& operation) {
  if (a.transport_error) std::rethrow_exception(a.transport_error);
  throw ClientError(a.error.code, a.error.message, operation, a.response.status, a.error.request_id,
                    decision.retries_reached);
}

// The bucket's region as HeadBucket names it (following a redirect of its own); absent when it
// cannot be learnt, and the answer that asked stands.
std::optional<std::string> ServiceClient::bucket_region(const std::string& bucket) const {
  try {
    json answer = call("HeadBucket", json{{"Bucket", bucket}});
    const std::string region = answer.value("BucketRegion", "");
    if (!region.empty()) return region;
  } catch (const ClientError&) {
  }
  return std::nullopt;
}

// The endpoint of the bucket's region, remembered for the bucket's later calls.
ResolvedEndpoint ServiceClient::redirect(const std::string& bucket, const std::string& region) const {
  const Profile* profile = config_.profile ? &*config_.profile : nullptr;
  ResolvedEndpoint ep = resolve_endpoint(config_.service, region, config_.env, profile);
  std::lock_guard lk(redirects_mu_);
  redirects_[bucket] = ep;
  return ep;
}

json ServiceClient::call(const std::string& operation, const json& request) const {
  Prepared p;
  // Filled once here, before any retry, so that every attempt carries the same token.
  if (auto token = idempotency_token_member(config_.service, operation);
      token && request.is_object() && !request.contains(*token)) {
    json with_token = request;
    with_token[*token] = uuid4();
    p.wire = serialize_request(config_.service, operation, with_token);
  } else {
    p.wire = serialize_request(config_.service, operation, request);
  }
  if (p.wire.bucket && request.contains("Key") && request["Key"].is_string()) p.key = request["Key"].get<std::string>();
  p.payload_sha256 = sha256_hex(p.wire.body);
  HttpResponse resp = execute(operation, p);
  return parse_response(config_.service, operation, resp);
}

void ServiceClient::download_file(const std::string& bucket, const std::string& key,
                                  const std::filesystem::path& file) const {
  if (config_.service != "s3") throw std::logic_error("download_file needs an s3 client");
  Prepared p;
  p.wire = serialize_request("s3", "GetObject", json{{"Bucket", bucket}, {"Key", key}});
  p.key = key;
  p.payload_sha256 = sha256_hex("");
  // Written beside the target (created exclusively by the transport) and renamed into place, so
  // a failed transfer never leaves a partial file under the final name, and a link planted there
  // is replaced rather than followed.
  p.download_file = core::temporaryBeside(file);
  try {
    execute("GetObject", p);
    core::replaceWith(p.download_file, file);
  } catch (...) {
    std::error_code ec;
    std::filesystem::remove(p.download_file, ec);
    throw;
  }
}

void ServiceClient::upload_file(const std::filesystem::path& file, const std::string& bucket,
                                const std::string& key) const {
  if (config_.service != "s3") throw std::logic_error("upload_file needs an s3 client");
  Prepared p;
  p.wire = serialize_request("s3", "PutObject", json{{"Bucket", bucket}, {"Key", key}});
  p.wire.body.clear();
  p.key = key;
  p.upload_file = file;
  p.payload_sha256 = sha256_file_hex(file);
  execute("PutObject", p);
}

}  // namespace quenfold_testlibs::awsapi
