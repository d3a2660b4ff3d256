// Container credentials: the container agent serves role credentials over HTTP on a link-local or
// loopback address (or any HTTPS address), optionally behind an Authorization token. Never proxied.
#include <curl/curl.h>

#include <fstream>
#include <sstream>

#include "awsapi/base/error.h"
#include "awsapi/credentials/credentials_providers.h"
#include "awsapi/transport/http.h"
#include "core/clock.h"

namespace quenfold_testlibs::awsapi::detail {

namespace {

constexpr const char* kContainerHost = "http://169.254.170.2";
constexpr int kAttempts = 3;

struct UrlParts {
  std::string scheme, host;
};

UrlParts parts_of(const std::string& url) {
  UrlParts out;
  CURLU* u = curl_url();
  if (u == nullptr) return out;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* v = nullptr;
    if (curl_url_get(u, CURLUPART_SCHEME, &v, 0) == CURLUE_OK && v != nullptr) out.scheme = v;
    curl_free(v);
    v = nullptr;
    if (curl_url_get(u, CURLUPART_HOST, &v, 0) == CURLUE_OK && v != nullptr) out.host = v;
    curl_free(v);
  }
  curl_url_cleanup(u);
  return out;
}

// Plain HTTP is accepted only towards loopback and the container agents' own addresses.
bool allowed_http_host(std::string host) {
  if (!host.empty() && host.front() == '[') host = host.substr(1, host.size() - 2);
  if (host.rfind("127.", 0) == 0 || host == "::1" || host == "localhost") return true;
  return host == "169.254.170.2" || host == "169.254.170.23" || host == "fd00:ec2::23";
}

class ContainerFetcher final : public CredentialsProvider {
 public:
  ContainerFetcher(SourcesPtr s, std::string url) : s_(std::move(s)), url_(std::move(url)) {}

  Credentials get() override {
    if (!s_->http) throw CredentialsError("Container credentials need an HTTP transport");
    HttpRequest req;
    req.url = url_;
    req.set_header("Accept", "application/json");
    if (auto token = auth_token()) req.set_header("Authorization", *token);
    req.connect_timeout = std::chrono::milliseconds(2000);
    req.timeout = std::chrono::milliseconds(2000);
    req.bypass_proxy = true;

    std::string failure;
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
      if (attempt > 1) core::the_clock().sleep_for(std::chrono::seconds(1));
      try {
        HttpResponse resp = s_->http->send(req);
        if (resp.status == 200) return parse(resp.body);
        // The body is not quoted: an error answer could still echo something sensitive.
        failure = "the container credentials endpoint answered HTTP " + std::to_string(resp.status);
      } catch (const TransportError& e) {
        failure = e.what();
      }
    }
    throw CredentialsError("Error retrieving container credentials: " + failure);
  }

  std::string name() const override { return "container-role"; }

 private:
  std::optional<std::string> auth_token() const {
    std::optional<std::string> token;
    if (auto file = s_->env.get("AWS_CONTAINER_AUTHORIZATION_TOKEN_FILE")) {
      std::ifstream in(*file, std::ios::binary);
      if (!in) throw CredentialsError("Unable to read the container authorization token file " + *file);
      std::ostringstream ss;
      ss << in.rdbuf();
      token = ss.str();
      while (!token->empty() && (token->back() == '\n' || token->back() == '\r')) token->pop_back();
    } else {
      token = s_->env.get("AWS_CONTAINER_AUTHORIZATION_TOKEN");
    }
    if (token && token->find_first_of("\r\n") != std::string::npos)
      throw CredentialsError("The container authorization token is not a legal header value");
    return token;
  }

  static Credentials parse(const std::string& body) {
    auto doc = nlohmann::ordered_json::parse(body, nullptr, false);
    if (doc.is_discarded() || !doc.is_object())
      throw CredentialsError("Unable to parse JSON returned from the container credentials endpoint");
    for (const char* key : {"AccessKeyId", "SecretAccessKey", "Token"}) {
      if (!doc.contains(key) || !doc[key].is_string())
        throw CredentialsError(std::string("The container credentials lack ") + key);
    }
    Credentials c;
    c.access_key_id = doc["AccessKeyId"].get<std::string>();
    c.secret_access_key = doc["SecretAccessKey"].get<std::string>();
    c.session_token = doc["Token"].get<std::string>();
    if (doc.contains("Expiration")) c.expiration = parse_expiration(doc["Expiration"]);
    return checked_credentials(std::move(c), "the container credentials endpoint");
  }

  SourcesPtr s_;
  std::string url_;
};

}  // namespace

std::shared_ptr<CredentialsProvider> container_provider(const SourcesPtr& s) {
  std::string url;
  if (auto rel = s->env.get("AWS_CONTAINER_CREDENTIALS_RELATIVE_URI")) {
    url = std::string(kContainerHost) + *rel;
  } else if (auto full = s->env.get("AWS_CONTAINER_CREDENTIALS_FULL_URI")) {
    auto parts = parts_of(*full);
    if (parts.scheme != "https" && !(parts.scheme == "http" && allowed_http_host(parts.host)))
      throw ConfigError("Unsupported host '" + parts.host +
                        "' in AWS_CONTAINER_CREDENTIALS_FULL_URI: plain HTTP is allowed only to a loopback "
                        "address or to 169.254.170.2, 169.254.170.23, fd00:ec2::23, localhost");
    url = *full;
  } else {
    return nullptr;
  }
  return make_refreshing(std::make_shared<ContainerFetcher>(s, std::move(url)));
}

}  // namespace quenfold_testlibs::awsapi::detail
