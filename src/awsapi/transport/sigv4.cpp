// SigV4 request signing. The header selection, value trimming, path normalisation and query
// canonicalisation follow the reference SDK's signer exactly, because a signature that differs
// in one byte is refused; the contract tests compare the two on a table of requests.
#include "awsapi/transport/sigv4.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <utility>
#include <vector>

#include "awsapi/base/error.h"

namespace quenfold_testlibs::awsapi {

namespace {

// Headers that proxies or the transport may add, drop or rewrite; never part of a signature.
constexpr std::array<std::string_view, 11> kUnsignedHeaders = {
    "connection",        "expect",  "keep-alive", "proxy-authenticate", "proxy-authorization", "te", "trailer",
    "transfer-encoding", "upgrade", "user-agent", "x-amzn-trace-id"};

constexpr std::string_view kAlgorithm = "AWS4-HMAC-SHA256";

std::string to_lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::string to_hex(const unsigned char* data, std::size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0x0f]);
  }
  return out;
}

std::string hmac_sha256(std::string_view key, std::string_view message) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(message.data()), message.size(), out, &len) == nullptr) {
    throw AwsError("HMAC-SHA256 failed");
  }
  return std::string(reinterpret_cast<const char*>(out), len);
}

// Python's str.split() whitespace within ASCII: the reference signer collapses runs of these.
bool is_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d) || (c >= 0x1c && c <= 0x1f); }

// Trims a header value and turns each inner run of whitespace into one space.
std::string trim_all(std::string_view v) {
  std::string out;
  bool pending_space = false;
  for (unsigned char c : v) {
    if (is_space(c)) {
      pending_space = !out.empty();
      continue;
    }
    if (pending_space) out.push_back(' ');
    pending_space = false;
    out.push_back(static_cast<char>(c));
  }
  return out;
}

struct UrlParts {
  std::string host;  // lower case, with the port unless it is the scheme's default
  std::string path;  // as written (already encoded)
  std::string query;
};

// Parsed with libcurl's URL API, the same parser the transport uses, so the signed host, path
// and query are the ones that go on the wire.
UrlParts split_url(const std::string& url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> h(curl_url(), &curl_url_cleanup);
  if (!h ||
      curl_url_set(h.get(), CURLUPART_URL, url.c_str(), CURLU_PATH_AS_IS | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
    throw AwsError("Cannot sign a request with an invalid URL: " + url);
  }
  auto part = [&](CURLUPart which) {
    char* value = nullptr;
    std::string out;
    if (curl_url_get(h.get(), which, &value, 0) == CURLUE_OK && value != nullptr) out = value;
    curl_free(value);
    return out;
  };
  UrlParts parts;
  std::string scheme = to_lower(part(CURLUPART_SCHEME));
  parts.host = to_lower(part(CURLUPART_HOST));
  std::string port = part(CURLUPART_PORT);  // empty unless written in the URL
  if (!port.empty() && !((scheme == "https" && port == "443") || (scheme == "http" && port == "80"))) {
    parts.host += ":" + port;
  }
  parts.path = part(CURLUPART_PATH);
  parts.query = part(CURLUPART_QUERY);
  return parts;
}

// RFC 3986 dot-segment removal; empty segments are dropped too, as AWS services expect.
std::string normalize_path(std::string_view path) {
  if (path.empty()) return "/";
  std::vector<std::string_view> out;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    std::string_view seg = path.substr(start, end - start);
    if (seg == "..") {
      if (!out.empty()) out.pop_back();
    } else if (!seg.empty() && seg != ".") {
      out.push_back(seg);
    }
    start = end + 1;
  }
  std::string result = path.front() == '/' ? "/" : "";
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (i > 0) result += '/';
    result += out[i];
  }
  if (path.back() == '/' && !out.empty()) result += '/';
  return result;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Plain percent-decoding ('+' stays '+'): the inverse of percent_encode.
std::string percent_decode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && hex_value(s[i + 1]) >= 0 && hex_value(s[i + 2]) >= 0) {
      out.push_back(static_cast<char>(hex_value(s[i + 1]) * 16 + hex_value(s[i + 2])));
      i += 2;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// Each key and value decoded and encoded again strictly, then sorted by key and, for repeated
// keys, by value; a key without '=' gets an empty value.
std::string canonical_query(std::string_view query) {
  if (query.empty()) return {};
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t start = 0;
  while (start <= query.size()) {
    std::size_t end = query.find('&', start);
    if (end == std::string_view::npos) end = query.size();
    std::string_view item = query.substr(start, end - start);
    std::size_t eq = item.find('=');
    std::string_view key = item.substr(0, eq);
    std::string_view value = eq == std::string_view::npos ? std::string_view{} : item.substr(eq + 1);
    pairs.emplace_back(percent_encode(percent_decode(key)), percent_encode(percent_decode(value)));
    start = end + 1;
  }
  std::sort(pairs.begin(), pairs.end());
  std::string out;
  for (const auto& [k, v] : pairs) {
    if (!out.empty()) out += '&';
    out += k;
    out += '=';
    out += v;
  }
  return out;
}

std::tm utc(std::chrono::system_clock::time_point t) {
  std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  gmtime_r(&secs, &tm);
  return tm;
}

std::string format_time(const std::tm& tm, const char* format) {
  char buf[64];
  std::size_t n = std::strftime(buf, sizeof buf, format, &tm);
  return std::string(buf, n);
}

// RFC 2822 date with "-0000", as the reference SDK writes a Date header it signs.
std::string http_date(const std::tm& tm) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d -0000", kDays[tm.tm_wday], tm.tm_mday,
                kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

bool has_header(const Headers& headers, std::string_view name) {
  return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return iequals(h.first, name); });
}

void remove_header(Headers& headers, std::string_view name) {
  std::erase_if(headers, [&](const auto& h) { return iequals(h.first, name); });
}

void replace_header(Headers& headers, std::string name, std::string value) {
  remove_header(headers, name);
  headers.emplace_back(std::move(name), std::move(value));
}

// Drops what an earlier signature set, then sets this signature's host, time and token headers.
// A Date header, when the caller sent one, carries the time instead of x-amz-date (the reference
// SDK does the same).
void set_signing_headers(Headers& headers, const std::string& host, const std::tm& tm, const std::string& amz_date,
                         const std::string& session_token) {
  remove_header(headers, "Authorization");
  replace_header(headers, "Host", host);
  if (has_header(headers, "Date")) {
    replace_header(headers, "Date", http_date(tm));
    remove_header(headers, "X-Amz-Date");
  } else {
    replace_header(headers, "X-Amz-Date", amz_date);
  }
  if (!session_token.empty()) {
    replace_header(headers, "X-Amz-Security-Token", session_token);
  } else {
    remove_header(headers, "X-Amz-Security-Token");
  }
}

// A service that takes a declared payload hash is signed with that hash (the last one given).
std::string declared_payload_hash(const Headers& headers, std::string payload_hash) {
  for (const auto& [name, value] : headers) {
    if (iequals(name, "X-Amz-Content-SHA256")) payload_hash = value;
  }
  return payload_hash;
}

// The lower-cased names of the headers to sign, each once, sorted.
std::vector<std::string> signed_header_names(const Headers& headers) {
  std::vector<std::string> names;
  for (const auto& [name, value] : headers) {
    std::string lname = to_lower(name);
    if (std::find(kUnsignedHeaders.begin(), kUnsignedHeaders.end(), lname) != kUnsignedHeaders.end()) continue;
    if (std::find(names.begin(), names.end(), lname) == names.end()) names.push_back(std::move(lname));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The trimmed values of every header named `lname`, joined with ',' in request order.
std::string joined_values(const Headers& headers, std::string_view lname) {
  std::string joined;
  bool first = true;
  for (const auto& [name, value] : headers) {
    if (!iequals(name, lname)) continue;
    if (!first) joined += ',';
    joined += trim_all(value);
    first = false;
  }
  return joined;
}

struct SignedHeaders {
  std::string canonical;  // "name:values\n" per signed header
  std::string names;      // "name;name;..."
};

// Canonical headers: lower-cased names, sorted; repeated names joined with ',' in request order.
SignedHeaders canonical_headers(const Headers& headers) {
  SignedHeaders out;
  for (const auto& lname : signed_header_names(headers)) {
    out.canonical += lname;
    out.canonical += ':';
    out.canonical += joined_values(headers, lname);
    out.canonical += '\n';
    if (!out.names.empty()) out.names += ';';
    out.names += lname;
  }
  return out;
}

// S3 signs the path exactly as sent; every other service signs it normalised and encoded again.
std::string canonical_uri(const std::string& path, bool s3) {
  if (s3) return path.empty() ? "/" : path;
  return percent_encode(normalize_path(path), "/");
}

std::string method_upper(std::string method) {
  std::transform(method.begin(), method.end(), method.begin(), [](unsigned char c) { return std::toupper(c); });
  return method;
}

// The key for this date, region and service, derived from the secret key.
std::string signing_key(const std::string& secret_access_key, const std::string& date, const SigningInput& input) {
  std::string key = hmac_sha256("AWS4" + secret_access_key, date);
  key = hmac_sha256(key, input.region);
  key = hmac_sha256(key, input.service);
  return hmac_sha256(key, "aws4_request");
}

}  // namespace

void sign_request(HttpRequest& request, const Credentials& credentials, const SigningInput& input,
                  const std::string& payload_sha256_hex) {
  const std::tm tm = utc(input.time);
  const std::string amz_date = format_time(tm, "%Y%m%dT%H%M%SZ");
  const std::string date = amz_date.substr(0, 8);
  const UrlParts url = split_url(request.url);

  std::string payload_hash = payload_sha256_hex;
  if (payload_hash.empty()) {
    payload_hash = request.upload_file.empty() ? sha256_hex(request.body) : sha256_file_hex(request.upload_file);
  }

  Headers& headers = request.headers;
  set_signing_headers(headers, url.host, tm, amz_date, credentials.session_token);
  if (input.s3) {
    replace_header(headers, "X-Amz-Content-SHA256", payload_hash);
  } else {
    payload_hash = declared_payload_hash(headers, payload_hash);
  }

  const SignedHeaders signed_headers = canonical_headers(headers);
  const std::string canonical_request = method_upper(request.method) + "\n" + canonical_uri(url.path, input.s3) + "\n" +
                                        canonical_query(url.query) + "\n" + signed_headers.canonical + "\n" +
                                        signed_headers.names + "\n" + payload_hash;
  const std::string scope = date + "/" + input.region + "/" + input.service + "/aws4_request";
  const std::string string_to_sign =
      std::string(kAlgorithm) + "\n" + amz_date + "\n" + scope + "\n" + sha256_hex(canonical_request);

  const std::string raw_signature =
      hmac_sha256(signing_key(credentials.secret_access_key, date, input), string_to_sign);
  const std::string signature =
      to_hex(reinterpret_cast<const unsigned char*>(raw_signature.data()), raw_signature.size());

  headers.emplace_back("Authorization", std::string(kAlgorithm) + " Credential=" + credentials.access_key_id + "/" +
                                            scope + ", SignedHeaders=" + signed_headers.names +
                                            ", Signature=" + signature);
}

std::string sha256_hex(std::string_view data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), md, &len, EVP_sha256(), nullptr) != 1) throw AwsError("SHA-256 failed");
  return to_hex(md, len);
}

std::string sha256_file_hex(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw AwsError("Cannot read the file " + file.string());
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) throw AwsError("SHA-256 failed");
  std::vector<char> buf(1 << 20);
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    if (in.gcount() > 0 && EVP_DigestUpdate(ctx.get(), buf.data(), static_cast<std::size_t>(in.gcount())) != 1) {
      throw AwsError("SHA-256 failed");
    }
  }
  if (in.bad()) throw AwsError("Cannot read the file " + file.string());
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_DigestFinal_ex(ctx.get(), md, &len) != 1) throw AwsError("SHA-256 failed");
  return to_hex(md, len);
}

}  // namespace quenfold_testlibs::awsapi
