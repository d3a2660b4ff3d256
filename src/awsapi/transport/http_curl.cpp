// The real HTTP transport, on libcurl. Many worker threads send through one transport at once, so
// easy handles are pooled (a handle is used by one thread at a time and keeps its connections open
// for the next request), and a share object holds the DNS cache and TLS sessions for all of them.
// Connections themselves are not put in the share: libcurl does not support sharing its
// connection cache between concurrently running threads.
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <vector>

#include "awsapi/base/environment.h"
#include "awsapi/base/error.h"
#include "awsapi/transport/http.h"
#include "core/interrupt.h"

namespace quenfold_testlibs::awsapi {

namespace {

void global_init_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) throw TransportError("libcurl could not be initialised");
  });
}

// scheme://host[:port]/ of a URL: enough to name the endpoint in an error, without the path,
// query or any user information it may carry.
std::string endpoint_of(const std::string& url) {
  std::string endpoint = "an unparsable URL";
  CURLU* u = curl_url();
  if (u == nullptr) return endpoint;
  if (curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
    char* scheme = nullptr;
    char* host = nullptr;
    char* port = nullptr;
    if (curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
        curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK) {
      endpoint = std::string(scheme) + "://" + host;
      if (curl_url_get(u, CURLUPART_PORT, &port, 0) == CURLUE_OK && port != nullptr)
        endpoint += std::string(":") + port;
      endpoint += "/";
    }
    curl_free(scheme);
    curl_free(host);
    curl_free(port);
  }
  curl_url_cleanup(u);
  return endpoint;
}

std::string lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

struct Proxies {
  std::string https, http, no_proxy;
};

// The reference SDK prefers the lower-case variable when both forms are set.
std::string first_of(const Environment& env, const char* lower_name, const char* upper_name) {
  if (auto v = env.get(lower_name)) return *v;
  return env.get(upper_name).value_or("");
}

// Everything one transfer needs while libcurl runs its callbacks.
struct Transfer {
  CURL* handle = nullptr;
  const HttpRequest* request = nullptr;
  HttpResponse response;
  std::ifstream upload;
  std::FILE* download = nullptr;  // opened on the first body byte of a 2xx answer
  bool download_failed = false;
  bool download_made = false;
  std::size_t body_offset = 0;  // read position in request->body

  ~Transfer() {
    if (download != nullptr) std::fclose(download);
  }
};

size_t on_header(char* data, size_t size, size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::string line(data, size * n);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new status line (after 100-continue or a proxy's CONNECT answer): start afresh.
    t->response.headers.clear();
    return size * n;
  }
  auto colon = line.find(':');
  if (colon != std::string::npos && colon > 0) {
    t->response.headers.emplace_back(lower(trim(line.substr(0, colon))), trim(line.substr(colon + 1)));
  }
  return size * n;
}

// Creates the download file: exclusively and without following a link, owner-only, so that a
// link or file planted at its name in a shared folder is refused rather than written through.
std::FILE* create_download_file(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* f = ::fdopen(fd, "wb");
  if (f == nullptr) ::close(fd);
  return f;
}

size_t on_body(char* data, size_t size, size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  const size_t bytes = size * n;
  long status = 0;
  curl_easy_getinfo(t->handle, CURLINFO_RESPONSE_CODE, &status);
  if (!t->request->download_file.empty() && status >= 200 && status < 300) {
    if (t->download == nullptr) {
      t->download = create_download_file(t->request->download_file);
      t->download_made = t->download != nullptr;
      if (t->download == nullptr) {
        t->download_failed = true;
        return 0;  // anything but `bytes` aborts the transfer
      }
    }
    if (std::fwrite(data, 1, bytes, t->download) != bytes) {
      t->download_failed = true;
      return 0;  // anything but `bytes` aborts the transfer
    }
    return bytes;
  }
  t->response.body.append(data, bytes);
  return bytes;
}

// After an interruption, calls in flight may finish within the grace; then they are cut off.
int on_progress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) { return core::inFlightGraceOver() ? 1 : 0; }

size_t on_read_file(char* buffer, size_t size, size_t n, void* user) {
  auto* t = static_cast<Transfer*>(user);
  t->upload.read(buffer, static_cast<std::streamsize>(size * n));
  if (t->upload.bad()) return CURL_READFUNC_ABORT;
  return static_cast<size_t>(t->upload.gcount());
}

class CurlTransport final : public HttpTransport {
 public:
  explicit CurlTransport(const Environment& env) {
    global_init_once();
    if (auto ca = env.get("AWS_CA_BUNDLE")) {
      ca_file_ = *ca;
    } else if (auto ssl = env.get("SSL_CERT_FILE")) {
      ca_file_ = *ssl;
    }
    proxies_.https = first_of(env, "https_proxy", "HTTPS_PROXY");
    proxies_.http = first_of(env, "http_proxy", "HTTP_PROXY");
    proxies_.no_proxy = first_of(env, "no_proxy", "NO_PROXY");

    share_ = curl_share_init();
    if (share_ == nullptr) throw TransportError("libcurl share object could not be created");
    curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &CurlTransport::lock);
    curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &CurlTransport::unlock);
    curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  }

  ~CurlTransport() override {
    for (CURL* h : idle_) curl_easy_cleanup(h);
    curl_share_cleanup(share_);
  }

  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  HttpResponse send(const HttpRequest& request) override {
    HandleLease lease(*this);
    Transfer t;
    t.handle = lease.handle;
    t.request = &request;
    curl_slist* headers = nullptr;
    struct SlistGuard {
      curl_slist*& list;
      ~SlistGuard() { curl_slist_free_all(list); }
    } guard{headers};

    CURL* h = lease.handle;
    set_connection_options(h, request);
    append_request_headers(headers, request);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    set_callbacks(h, t);
    set_body_options(h, request, t, headers);

    CURLcode rc = curl_easy_perform(h);
    if (t.download != nullptr) {
      if (std::fclose(t.download) != 0) t.download_failed = true;
      t.download = nullptr;
    }
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    t.response.status = static_cast<int>(status);
    const bool streamed = !request.download_file.empty() && status >= 200 && status < 300;

    if (rc != CURLE_OK || t.download_failed) throw_transfer_failure(request, t, rc, streamed);
    if (streamed && !t.download_made) {
      // An empty 2xx body never called on_body: still leave the (empty) file.
      std::FILE* f = create_download_file(request.download_file);
      if (f == nullptr) throw TransportError("Cannot write the downloaded body to " + request.download_file.string());
      std::fclose(f);
    }
    return std::move(t.response);
  }

 private:
  // Where and how to connect: URL, TLS, timeouts and proxy.
  void set_connection_options(CURL* h, const HttpRequest& request) const {
    curl_easy_reset(h);  // keeps the handle's open connections and caches
    curl_easy_setopt(h, CURLOPT_SHARE, share_);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    // Send the path exactly as signed: libcurl would otherwise squash "." and ".." segments of
    // an S3 key, and the request would name another object than the signature covers.
    curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!ca_file_.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, ca_file_.c_str());
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(request.connect_timeout.count()));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeout.count()));

    // Proxies come only from the snapshot; an empty string also stops libcurl reading the
    // process environment on its own.
    const bool https = request.url.rfind("https://", 0) == 0;
    const std::string& proxy = request.bypass_proxy ? empty_ : (https ? proxies_.https : proxies_.http);
    curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
    curl_easy_setopt(h, CURLOPT_NOPROXY, proxies_.no_proxy.c_str());
  }

  // Adds the request's headers to libcurl's list. The list is the caller's, which frees it
  // even when this throws halfway.
  static void append_request_headers(curl_slist*& headers, const HttpRequest& request) {
    for (const auto& [name, value] : request.headers) {
      // "Name;" is libcurl's way to send a header with an empty value.
      std::string line = name;
      line += value.empty() ? ";" : ": ";
      line += value;
      headers = curl_slist_append(headers, line.c_str());
    }
    headers = curl_slist_append(headers, "Expect:");  // no 100-continue round trip on uploads
  }

  static void set_callbacks(CURL* h, Transfer& t) {
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, &on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, &on_progress);
    curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  }

  // The method and what goes with it: a file streamed up, no body, or the request's body.
  // `headers` is the list already set on the handle; it may grow.
  static void set_body_options(CURL* h, const HttpRequest& request, Transfer& t, curl_slist*& headers) {
    if (!request.upload_file.empty()) {
      set_upload_options(h, request, t);
    } else if (request.method == "GET" && request.body.empty()) {
      curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    } else if (request.method == "HEAD") {
      curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else {
      // libcurl would add a form Content-Type of its own; send only what the caller set (and signed).
      if (!request.header("Content-Type")) {
        headers = curl_slist_append(headers, "Content-Type:");
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
      }
      curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
      curl_easy_setopt(h, CURLOPT_POSTFIELDS, request.body.data());
      if (request.method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    }
  }

  static void set_upload_options(CURL* h, const HttpRequest& request, Transfer& t) {
    std::error_code ec;
    auto size = std::filesystem::file_size(request.upload_file, ec);
    t.upload.open(request.upload_file, std::ios::binary);
    if (ec || !t.upload) throw TransportError("Cannot read the file to upload: " + request.upload_file.string());
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    curl_easy_setopt(h, CURLOPT_READFUNCTION, &on_read_file);
    curl_easy_setopt(h, CURLOPT_READDATA, &t);
    if (request.method != "PUT") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }

  // A transfer that failed, or whose body could not be written: the error to throw.
  [[noreturn]] static void throw_transfer_failure(const HttpRequest& request, const Transfer& t, CURLcode rc,
                                                  bool streamed) {
    if (streamed) {
      std::error_code ec;
      std::filesystem::remove(request.download_file, ec);  // no partial file left behind
    }
    if (t.download_failed)
      throw TransportError("Cannot write the downloaded body to " + request.download_file.string());
    // curl_easy_strerror gives a fixed text per code; libcurl's own error buffer could echo
    // parts of the request, so it is not used.
    throw TransportError(
        "Could not reach the endpoint URL \"" + endpoint_of(request.url) + "\": " + curl_easy_strerror(rc),
        rc == CURLE_OPERATION_TIMEDOUT);
  }

  // Borrows an idle easy handle (or makes one) for the length of one request.
  struct HandleLease {
    CurlTransport& owner;
    CURL* handle;
    explicit HandleLease(CurlTransport& o) : owner(o), handle(o.acquire()) {}
    ~HandleLease() { owner.release(handle); }
    HandleLease(const HandleLease&) = delete;
    HandleLease& operator=(const HandleLease&) = delete;
  };

  CURL* acquire() {
    {
      std::lock_guard lk(pool_mu_);
      if (!idle_.empty()) {
        CURL* h = idle_.back();
        idle_.pop_back();
        return h;
      }
    }
    CURL* h = curl_easy_init();
    if (h == nullptr) throw TransportError("libcurl handle could not be created");
    return h;
  }

  void release(CURL* h) {
    std::lock_guard lk(pool_mu_);
    idle_.push_back(h);
  }

  static void lock(CURL*, curl_lock_data data, curl_lock_access, void* user) {
    static_cast<CurlTransport*>(user)->locks_[static_cast<size_t>(data) % kLocks].lock();
  }
  static void unlock(CURL*, curl_lock_data data, void* user) {
    static_cast<CurlTransport*>(user)->locks_[static_cast<size_t>(data) % kLocks].unlock();
  }

  static constexpr size_t kLocks = CURL_LOCK_DATA_LAST;
  std::array<std::mutex, kLocks> locks_;  // one per kind of shared data, as libcurl asks
  CURLSH* share_ = nullptr;
  std::mutex pool_mu_;
  std::vector<CURL*> idle_;
  std::string ca_file_;
  Proxies proxies_;
  const std::string empty_;
};

}  // namespace

std::shared_ptr<HttpTransport> make_curl_transport(const Environment& env) {
  return std::make_shared<CurlTransport>(env);
}

}  // namespace quenfold_testlibs::awsapi
