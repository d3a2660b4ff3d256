// Header look-ups shared by requests and responses. HTTP header names compare without case.
#include "awsapi/http.h"

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

}  // namespace quenfold_testlibs::awsapi
