// Text conversions of the wire: timestamps in the services' three spellings, percent- and
// form-encoding as the reference SDK does them, and its JSON spelling (which nlohmann's dump
// does not produce: it writes no blanks after separators and keeps non-ASCII as UTF-8).
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "awsapi/error.h"
#include "awsapi/shapes_wire.h"

namespace quenfold_testlibs::awsapi::wire {

namespace {

using namespace std::chrono;

struct Instant {
  std::int64_t seconds = 0;  // since the epoch, UTC
  std::int64_t micros = 0;   // 0..999999
};

[[noreturn]] void bad_timestamp(std::string_view text) {
  throw ParseError("unreadable timestamp \"" + std::string(text.substr(0, 64)) + "\"");
}

class Cursor {
 public:
  explicit Cursor(std::string_view t) : t_(t) {}
  bool done() const { return i_ >= t_.size(); }
  char peek() const { return done() ? '\0' : t_[i_]; }
  bool take(char c) {
    if (peek() != c) return false;
    ++i_;
    return true;
  }
  // Exactly n digits (n > 0), or -1.
  long digits(std::size_t n) {
    long v = 0;
    for (std::size_t k = 0; k < n; ++k) {
      char c = peek();
      if (c < '0' || c > '9') return -1;
      v = v * 10 + (c - '0');
      ++i_;
    }
    return v;
  }
  std::string_view word() {
    std::size_t s = i_;
    while (!done() && std::isalpha(static_cast<unsigned char>(t_[i_]))) ++i_;
    return t_.substr(s, i_ - s);
  }
  void skip_blanks() {
    while (peek() == ' ') ++i_;
  }

 private:
  std::string_view t_;
  std::size_t i_ = 0;
};

std::int64_t civil_seconds(long y, long mo, long d, long h, long mi, long s, std::string_view text) {
  year_month_day ymd{year{static_cast<int>(y)}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
  if (!ymd.ok() || h > 23 || mi > 59 || s > 60) bad_timestamp(text);
  return static_cast<std::int64_t>(sys_days{ymd}.time_since_epoch().count()) * 86400 + h * 3600 + mi * 60 + s;
}

// 2026-12-07T21:00:00[.123456][Z|+02:00|+0200]
bool parse_iso(std::string_view text, Instant& out) {
  Cursor c(text);
  long y = c.digits(4);
  if (y < 0 || !c.take('-')) return false;
  long mo = c.digits(2);
  if (mo < 0 || !c.take('-')) return false;
  long d = c.digits(2);
  if (d < 0 || !(c.take('T') || c.take('t') || c.take(' '))) return false;
  long h = c.digits(2);
  if (h < 0 || !c.take(':')) return false;
  long mi = c.digits(2);
  if (mi < 0 || !c.take(':')) return false;
  long s = c.digits(2);
  if (s < 0) return false;
  std::int64_t micros = 0;
  if (c.take('.') || c.take(',')) {
    int n = 0;
    while (c.peek() >= '0' && c.peek() <= '9') {
      long dgt = c.digits(1);
      if (n < 6) micros = micros * 10 + dgt;
      ++n;
    }
    if (n == 0) return false;
    for (; n < 6; ++n) micros *= 10;
  }
  long offset = 0;
  if (!c.take('Z') && !c.take('z') && (c.peek() == '+' || c.peek() == '-')) {
    int sign = c.take('-') ? -1 : 1;
    c.take('+');
    long oh = c.digits(2);
    c.take(':');
    long om = c.digits(2);
    if (oh < 0 || om < 0) return false;
    offset = sign * (oh * 3600 + om * 60);
  }
  if (!c.done()) return false;
  out.seconds = civil_seconds(y, mo, d, h, mi, s, text) - offset;
  out.micros = micros;
  return true;
}

// Wed, 12 Oct 2009 17:50:00 GMT
bool parse_http_date(std::string_view text, Instant& out) {
  static constexpr std::array<std::string_view, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  Cursor c(text);
  c.word();
  if (!c.take(',')) return false;
  c.skip_blanks();
  long d = c.digits(2);
  if (d < 0) return false;
  c.skip_blanks();
  std::string_view mon = c.word();
  long mo = 0;
  for (std::size_t k = 0; k < kMonths.size(); ++k)
    if (mon == kMonths[k]) mo = static_cast<long>(k) + 1;
  if (mo == 0) return false;
  c.skip_blanks();
  long y = c.digits(4);
  c.skip_blanks();
  long h = c.digits(2);
  if (y < 0 || h < 0 || !c.take(':')) return false;
  long mi = c.digits(2);
  if (mi < 0 || !c.take(':')) return false;
  long s = c.digits(2);
  if (s < 0) return false;
  c.skip_blanks();
  std::string_view zone = c.word();
  if (!c.done() || (zone != "GMT" && zone != "UTC" && zone != "Z" && !zone.empty())) return false;
  out.seconds = civil_seconds(y, mo, d, h, mi, s, text);
  out.micros = 0;
  return true;
}

Instant from_epoch(double v) {
  if (!std::isfinite(v)) throw ParseError("unreadable timestamp");
  double whole = std::floor(v);
  // Rounded to the microsecond, as the reference SDK's datetime does.
  auto micros = static_cast<std::int64_t>(std::llround((v - whole) * 1e6));
  Instant i{static_cast<std::int64_t>(whole), micros};
  if (i.micros >= 1000000) {
    i.seconds += 1;
    i.micros -= 1000000;
  }
  return i;
}

Instant parse_any(std::string_view text) {
  Instant i;
  if (parse_iso(text, i) || parse_http_date(text, i)) return i;
  if (!text.empty() && text.find_first_not_of("0123456789.") == std::string_view::npos) {
    std::string s(text);
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end && *end == '\0') return from_epoch(v);
  }
  bad_timestamp(text);
}

std::int64_t day_of(std::int64_t seconds) { return seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400); }

std::string iso_text(const Instant& i) {
  std::int64_t day_count = day_of(i.seconds);
  std::int64_t rest = i.seconds - day_count * 86400;
  year_month_day ymd{sys_days{days{day_count}}};
  char buf[40];
  int millis = static_cast<int>(i.micros / 1000);
  int n = std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(ymd.year()),
                        static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                        static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  if (millis != 0) std::snprintf(buf + n, sizeof buf - n, ".%03dZ", millis);
  else std::snprintf(buf + n, sizeof buf - n, "Z");
  return buf;
}

}  // namespace

std::string normalize_timestamp(std::string_view text) { return iso_text(parse_any(text)); }

std::string timestamp_from_epoch(double seconds) { return iso_text(from_epoch(seconds)); }

double epoch_of_timestamp(std::string_view text) {
  Instant i = parse_any(text);
  return static_cast<double>(i.seconds) + static_cast<double>(i.micros) / 1e6;
}

std::string http_date_of_timestamp(std::string_view text) {
  static constexpr std::array<const char*, 7> kDays{"Thu", "Fri", "Sat", "Sun", "Mon", "Tue", "Wed"};
  static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  Instant i = parse_any(text);
  std::int64_t day_count = day_of(i.seconds);
  std::int64_t rest = i.seconds - day_count * 86400;
  year_month_day ymd{sys_days{days{day_count}}};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s, %02u %s %04d %02d:%02d:%02d GMT", kDays[((day_count % 7) + 7) % 7],
                static_cast<unsigned>(ymd.day()), kMonths[static_cast<unsigned>(ymd.month()) - 1],
                static_cast<int>(ymd.year()), static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60),
                static_cast<int>(rest % 60));
  return buf;
}

std::string percent_encode(std::string_view text, std::string_view safe) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || safe.find(ch) != std::string_view::npos) {
      out += ch;
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string form_encode(const std::vector<std::pair<std::string, std::string>>& fields) {
  auto encode = [](const std::string& s) {
    std::string e = percent_encode(s, " ");
    for (char& c : e)
      if (c == ' ') c = '+';
    return e;
  };
  std::string out;
  for (const auto& [k, v] : fields) {
    if (!out.empty()) out += '&';
    out += encode(k);
    out += '=';
    out += encode(v);
  }
  return out;
}

namespace {

void append_json_string(std::string& out, const std::string& s) {
  auto hex4 = [&](unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", v);
    out += buf;
  };
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
          if (c < 0x20 || c == 0x7F) hex4(c);
          else out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    // Decode one UTF-8 sequence.
    int len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (len == 0 || i + len > s.size()) throw std::invalid_argument("invalid UTF-8 in a request value");
    unsigned cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    for (int k = 1; k < len; ++k) {
      auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) throw std::invalid_argument("invalid UTF-8 in a request value");
      cp = (cp << 6) | (cc & 0x3F);
    }
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      hex4(0xD800 + (cp >> 10));
      hex4(0xDC00 + (cp & 0x3FF));
    } else {
      hex4(cp);
    }
  }
  out += '"';
}

void append_json(std::string& out, const json& v) {
  switch (v.type()) {
    case json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [k, item] : v.items()) {
        if (!first) out += ", ";
        first = false;
        append_json_string(out, k);
        out += ": ";
        append_json(out, item);
      }
      out += '}';
      break;
    }
    case json::value_t::array: {
      out += '[';
      bool first = true;
      for (const auto& item : v) {
        if (!first) out += ", ";
        first = false;
        append_json(out, item);
      }
      out += ']';
      break;
    }
    case json::value_t::string: append_json_string(out, v.get_ref<const std::string&>()); break;
    default: out += v.dump();
  }
}

}  // namespace

std::string sdk_json_text(const json& value) {
  std::string out;
  append_json(out, value);
  return out;
}

json scalar_from_text(const shapes::Shape& shape, const std::string& text) {
  using shapes::Kind;
  switch (shape.kind) {
    case Kind::Integer: {
      std::size_t used = 0;
      long long v = 0;
      try {
        v = std::stoll(text, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used == 0 || used != text.size()) throw ParseError("unreadable integer \"" + text.substr(0, 32) + "\"");
      return v;
    }
    case Kind::Double: {
      std::size_t used = 0;
      double v = 0;
      try {
        v = std::stod(text, &used);
      } catch (const std::exception&) {
        used = 0;
      }
      if (used == 0 || used != text.size()) throw ParseError("unreadable number \"" + text.substr(0, 32) + "\"");
      return v;
    }
    case Kind::Boolean: return text == "true";
    case Kind::Timestamp: return normalize_timestamp(text);
    default: return text;
  }
}

std::string http_reason(int status) {
  switch (status) {
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Request Entity Too Large";
    case 416: return "Requested Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "";
  }
}

}  // namespace quenfold_testlibs::awsapi::wire
