// Header look-ups shared by requests and responses (HTTP header names compare without case), and
// the percent-encoding every URL and signature is built with.
#include "awsapi/transport/http.h"

#include <strings.h>

#include <algorithm>

namespace quenfold_testlibs::awsapi {

namespace {

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::optional<std::string> find_header(const Headers& headers, std::string_view name) {
  for (const auto& [k, v] : headers) {
    if (same_name(k, name)) return v;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> HttpRequest::header(std::string_view name) const { return find_header(headers, name); }

void HttpRequest::set_header(std::string name, std::string value) {
  std::erase_if(headers, [&](const auto& h) { return same_name(h.first, name); });
  headers.emplace_back(std::move(name), std::move(value));
}

std::optional<std::string> HttpResponse::header(std::string_view name) const { return find_header(headers, name); }

// Hand-written: libcurl's escaper cannot keep characters such as '/', and SigV4 fixes the kept set
// and the upper-case hex exactly.
std::string percent_encode(std::string_view text, std::string_view keep) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                            c == '.' || c == '_' || c == '~';
    if (unreserved || keep.find(ch) != std::string_view::npos) {
      out.push_back(ch);
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0f]);
    }
  }
  return out;
}

}  // namespace quenfold_testlibs::awsapi
