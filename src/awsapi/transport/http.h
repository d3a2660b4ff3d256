// The HTTP layer under every AWS call and the two plain GETs of the tool (metadata, IP echo).
// One interface, so tests can replace the network; the real one is libcurl.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quenfold_testlibs::awsapi {

class Environment;

using Headers = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method = "GET";
  std::string url;  // absolute, with an already-encoded path and query
  Headers headers;
  std::string body;
  std::filesystem::path upload_file;    // when set, the body is streamed from this file
  std::filesystem::path download_file;  // when set and the status is 2xx, the body streams into this file
  std::chrono::milliseconds connect_timeout{10000};
  std::chrono::milliseconds timeout{120000};  // whole transfer
  bool bypass_proxy = false;                  // metadata and container endpoints never use a proxy

  std::optional<std::string> header(std::string_view name) const;  // case-insensitive
  void set_header(std::string name, std::string value);            // replaces any of the same name
};

struct HttpResponse {
  int status = 0;
  Headers headers;   // names lower-cased
  std::string body;  // empty when streamed into download_file

  std::optional<std::string> header(std::string_view name) const;  // case-insensitive
};

class HttpTransport {
 public:
  virtual ~HttpTransport() = default;
  // Sends one request; throws TransportError when there is no HTTP answer. Thread-safe.
  virtual HttpResponse send(const HttpRequest& request) = 0;
};

// RFC 3986 percent-encoding, for URL paths and queries, the SigV4 canonical request and form bodies:
// letters, digits and "-._~" stay, and so do the characters in `keep` (e.g. "/" for a path);
// every other byte becomes %XX with upper-case hex.
std::string percent_encode(std::string_view text, std::string_view keep = {});

// libcurl: one handle per thread with connection reuse, TLS verification always on, trust from
// AWS_CA_BUNDLE, else SSL_CERT_FILE, else the system store; proxies from HTTPS_PROXY/HTTP_PROXY/
// NO_PROXY (and lower-case forms).
std::shared_ptr<HttpTransport> make_curl_transport(const Environment& env);

}  // namespace quenfold_testlibs::awsapi
