// One request pipeline for every service. Each attempt is built and signed afresh (after its
// pause, with the learned clock offset), so that retries never reuse a stale signature. The
// special corrections — clock skew, expired credentials, S3's wrong region — are made at most
// once per call and do not wait; throttling and transient failures follow the standard mode,
// and in the adaptive mode every attempt first waits for its operation's rate limiter.
#include "awsapi/service_client.h"

#include <curl/curl.h>

#include <cstdlib>
#include <random>
#include <system_error>

#include <pugixml.hpp>

#include "awsapi/error.h"
#include "awsapi/sigv4.h"
#include "core/clock.h"
#include "core/interrupt.h"

namespace quenfold_testlibs::awsapi {

namespace {

using std::chrono::milliseconds;

// Below this difference between our clock and the service's, a rejected request time is not
// explained by the clock (the services allow 5 to 15 minutes), so it is not corrected.
constexpr milliseconds kSkewThreshold = std::chrono::minutes(4);

// Adaptive mode: a throttled call goes on past its attempts while calls of the same operation
// still get through (one did within this window), up to this many attempts in all. The rate
// limiter, not a backoff or the retry quota, then decides when it is sent again.
constexpr milliseconds kThrottleProgressWindow = std::chrono::seconds(60);
constexpr int kMaxThrottledAttempts = 100;

bool is_2xx(int status) { return status >= 200 && status < 300; }

// HTTP-date of the Date header. libcurl's parser is used because it already accepts the three
// date forms HTTP allows.
std::optional<std::chrono::system_clock::time_point> parse_http_date(const std::string& text) {
  const time_t t = curl_getdate(text.c_str(), nullptr);
  if (t == -1) return std::nullopt;
  return std::chrono::system_clock::from_time_t(t);
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

std::string random_suffix() {
  static thread_local std::mt19937_64 gen{std::random_device{}()};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s(8, '0');
  for (auto& c : s) c = kHex[gen() % 16];
  return s;
}

}  // namespace

// What one call needs for every attempt: the serialised request and, for S3, where it goes.
struct ServiceClient::Prepared {
  WireRequest wire;
  std::string key;                      // S3: the object key, unencoded
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

ServiceClient::RetryStep ServiceClient::throttle_or_transient(ErrorKind kind, bool timed_out, int attempts,
                                                             const RateLimiter* limiter) const {
  RetryStep step;
  const int max_attempts = std::max(config_.retry.max_attempts, 1);
  if (kind == ErrorKind::Throttling && limiter) {
    step.retry = attempts < max_attempts ||
                 (attempts < kMaxThrottledAttempts && limiter->succeeded_within(kThrottleProgressWindow));
    return step;
  }
  if ((kind == ErrorKind::Throttling || kind == ErrorKind::Transient) && attempts < max_attempts &&
      config_.quota->acquire(timed_out, &step.cost)) {
    step.retry = true;
    step.pause = backoff_delay(attempts - 1, draw(), config_.retry);
  }
  return step;
}

HttpResponse ServiceClient::execute(const std::string& operation, const Prepared& p) const {
  auto& clock = core::the_clock();
  ResolvedEndpoint ep = endpoint_for(p.wire.bucket);
  const int max_attempts = std::max(config_.retry.max_attempts, 1);
  int attempts = 0;
  int last_cost = 0;  // quota taken by the latest retry, returned on success
  bool skew_corrected = false, token_refreshed = false, redirected = false;
  const std::shared_ptr<RateLimiter> limiter =
      config_.retry.adaptive() ? config_.limiters->get(config_.service + "/" + ep.signing_region + "/" + operation)
                               : nullptr;
  RateLimiter::Ticket ticket = 0;

  for (;;) {
    core::throwIfInterrupted();  // after SIGINT/SIGTERM no new call and no retry starts
    if (limiter) limiter->acquire(ticket);  // before signing: the wait may be long
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

    bool had_session_token = false;
    if (config_.credentials) {
      const Credentials creds = config_.credentials->get();
      had_session_token = !creds.session_token.empty();
      SigningInput in{ep.signing_name, ep.signing_region, clock.now() + clock_offset(), config_.service == "s3"};
      sign_request(req, creds, in, p.payload_sha256);
    }

    ++attempts;
    HttpResponse resp;
    bool transport_failed = false, timed_out = false;
    std::exception_ptr transport_error;
    if (!p.download_file.empty()) {
      std::error_code ec;
      std::filesystem::remove(p.download_file, ec);
    }
    try {
      resp = config_.http->send(req);
    } catch (const TransportError& e) {
      transport_failed = true;
      timed_out = e.timed_out();
      transport_error = std::current_exception();
    }

    if (!transport_failed && is_2xx(resp.status)) {
      if (limiter) limiter->on_answer(false);
      config_.quota->release(last_cost > 0 ? last_cost : RetryQuota::kNoRetryIncrement);
      return resp;
    }

    ErrorInfo info;
    if (!transport_failed) info = parse_error(config_.service, resp);
    ErrorKind kind = classify(info.code, info.message, resp.status, transport_failed);
    if (limiter && !transport_failed) limiter->on_answer(kind == ErrorKind::Throttling);
    milliseconds pause{0};
    bool retry = false;

    if (kind == ErrorKind::S3Redirect && !redirected && p.wire.bucket) {
      if (auto region = redirect_region(resp)) {
        const Profile* profile = config_.profile ? &*config_.profile : nullptr;
        ep = resolve_endpoint(config_.service, *region, config_.env, profile);
        std::lock_guard lk(redirects_mu_);
        redirects_[*p.wire.bucket] = ep;
        redirected = retry = true;
      }
    } else if (kind == ErrorKind::ClockSkew) {
      std::optional<milliseconds> learned;
      if (auto date = resp.header("date")) {
        if (auto server = parse_http_date(*date))
          learned = std::chrono::duration_cast<milliseconds>(*server - clock.now());
      }
      const bool clock_to_blame =
          learned && (is_definite_clock_skew(info.code) ||
                      std::chrono::abs(*learned - clock_offset()) >= kSkewThreshold);
      if (clock_to_blame && !skew_corrected) {
        offset_ms_.store(learned->count());
        skew_corrected = retry = true;
      } else if (!clock_to_blame && had_session_token) {
        // "Request has expired" with a clock that agrees: the temporary credentials ran out.
        kind = ErrorKind::ExpiredToken;
      }
    }
    if (kind == ErrorKind::ExpiredToken && !token_refreshed && config_.credentials) {
      config_.credentials->invalidate();
      token_refreshed = retry = true;
    }
    if (kind == ErrorKind::Throttling || kind == ErrorKind::Transient) {
      const RetryStep step = throttle_or_transient(kind, timed_out, attempts, limiter.get());
      if (step.retry) {
        retry = true;
        pause = step.pause;
        if (step.cost > 0) last_cost = step.cost;
      }
    }

    if (retry) {
      if (pause.count() > 0) clock.sleep_for(pause);
      continue;
    }
    if (transport_failed) std::rethrow_exception(transport_error);
    std::optional<int> retries;
    if (attempts >= max_attempts) retries = attempts - 1;
    throw ClientError(info.code, info.message, operation, resp.status, info.request_id, retries);
  }
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
  // Written beside the target and renamed into place, so a failed transfer never leaves a
  // partial file under the final name.
  p.download_file = file;
  p.download_file += '.';
  p.download_file += random_suffix();
  try {
    execute("GetObject", p);
    std::filesystem::rename(p.download_file, file);
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
