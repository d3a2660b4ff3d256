// Timestamp reading. HTTP dates go to libcurl's date parser, which reads all the forms HTTP allows.
// ISO 8601 is read by hand: libcurl does not read it, and std::chrono::parse is not yet in this
// compiler's library.
#include "awsapi/base/timestamp.h"

#include <curl/curl.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>

namespace quenfold_testlibs::awsapi {

namespace {

using namespace std::chrono;

class Cursor {
 public:
  explicit Cursor(std::string_view t) : t_(t) {}
  bool done() const { return i_ >= t_.size(); }
  char peek() const { return done() ? '\0' : t_[i_]; }
  bool at_digit() const { return peek() >= '0' && peek() <= '9'; }
  bool take(char c) {
    if (peek() != c) return false;
    ++i_;
    return true;
  }
  bool take_any(std::string_view chars) {
    if (done() || chars.find(peek()) == std::string_view::npos) return false;
    ++i_;
    return true;
  }
  // Exactly n digits, or -1.
  long digits(std::size_t n) {
    long v = 0;
    for (std::size_t k = 0; k < n; ++k) {
      if (!at_digit()) return -1;
      v = v * 10 + (t_[i_++] - '0');
    }
    return v;
  }
  // n digits followed by one of `separators` (none needed when empty), or -1.
  long field(std::size_t n, std::string_view separators) {
    const long v = digits(n);
    if (v < 0 || (!separators.empty() && !take_any(separators))) return -1;
    return v;
  }

 private:
  std::string_view t_;
  std::size_t i_ = 0;
};

struct Civil {
  long year = -1, month = -1, day = -1, hour = -1, minute = -1, second = -1;
};

// 2026-12-07T21:00:00
bool read_date_time(Cursor& c, Civil& t) {
  t.year = c.field(4, "-");
  t.month = c.field(2, "-");
  t.day = c.field(2, "Tt ");
  t.hour = c.field(2, ":");
  t.minute = c.field(2, ":");
  t.second = c.field(2, "");
  return t.year >= 0 && t.month >= 0 && t.day >= 0 && t.hour >= 0 && t.minute >= 0 && t.second >= 0;
}

// ".123456789" as microseconds (digits past the sixth are cut); false for a point without digits.
bool read_fraction(Cursor& c, long& micros) {
  micros = 0;
  if (!c.take('.') && !c.take(',')) return true;
  int n = 0;
  for (; c.at_digit(); ++n) {
    const long digit = c.digits(1);
    if (n < 6) micros = micros * 10 + digit;
  }
  for (int k = n; k < 6; ++k) micros *= 10;
  return n > 0;
}

// "Z", nothing, or a numeric offset east of UTC ("+02:00", "-0100"), in seconds.
bool read_offset(Cursor& c, long& offset) {
  offset = 0;
  if (c.take('Z') || c.take('z') || (c.peek() != '+' && c.peek() != '-')) return true;
  const long sign = c.take('-') ? -1 : 1;
  c.take('+');
  const long hours = c.digits(2);
  c.take(':');
  const long minutes = c.digits(2);
  if (hours < 0 || minutes < 0) return false;
  offset = sign * (hours * 3600 + minutes * 60);
  return true;
}

std::optional<sys_seconds> civil_time(const Civil& t) {
  const year_month_day ymd{year{static_cast<int>(t.year)}, month{static_cast<unsigned>(t.month)},
                           day{static_cast<unsigned>(t.day)}};
  if (!ymd.ok() || t.hour > 23 || t.minute > 59 || t.second > 60) return std::nullopt;
  return sys_days{ymd} + hours{t.hour} + minutes{t.minute} + seconds{t.second};
}

// Epoch seconds written as text: digits and a point only, so that no date form is taken for one.
std::optional<Timestamp> parse_epoch_text(std::string_view text) {
  const std::string s(text);
  char* end = nullptr;
  const double v = std::strtod(s.c_str(), &end);
  if (end == s.c_str() || *end != '\0') return std::nullopt;
  return timestamp_of_epoch(v);
}

bool is_epoch_text(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789.") == std::string_view::npos;
}

std::optional<Timestamp> parse_http_date(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;  // libcurl would stop there
  const time_t t = curl_getdate(std::string(text).c_str(), nullptr);
  if (t == -1) return std::nullopt;
  return Timestamp{seconds{t}};
}

}  // namespace

std::optional<Timestamp> parse_iso8601(std::string_view text) {
  Cursor c(text);
  Civil t;
  long micros = 0;
  long offset = 0;
  if (!read_date_time(c, t) || !read_fraction(c, micros) || !read_offset(c, offset) || !c.done()) return std::nullopt;
  const auto local = civil_time(t);
  if (!local) return std::nullopt;
  return Timestamp{*local - seconds{offset}} + microseconds{micros};
}

std::optional<Timestamp> timestamp_of_epoch(double v) {
  // Beyond about 290,000 years the microsecond count no longer fits.
  if (!std::isfinite(v) || std::fabs(v) > 9e12) return std::nullopt;
  const double whole = std::floor(v);
  // Rounded to the microsecond, as the reference SDK's datetime does.
  const auto micros = static_cast<std::int64_t>(std::llround((v - whole) * 1e6));
  return Timestamp{seconds{static_cast<std::int64_t>(whole)}} + microseconds{micros};
}

std::optional<Timestamp> parse_timestamp(std::string_view text) {
  if (auto t = parse_iso8601(text)) return t;
  if (is_epoch_text(text)) return parse_epoch_text(text);
  return parse_http_date(text);
}

std::string format_iso8601(std::chrono::system_clock::time_point t) {
  const std::time_t secs = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char buf[32];
  const std::size_t n = std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return std::string(buf, n);
}

}  // namespace quenfold_testlibs::awsapi
