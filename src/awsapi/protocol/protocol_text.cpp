// Text conversions of the wire: timestamps written as the reference SDK writes them (read by
// timestamp.h), form-encoding, and the reference SDK's JSON spelling (which nlohmann's dump does
// not produce: it writes no blanks after separators and keeps non-ASCII as UTF-8).
#include <array>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "awsapi/base/error.h"
#include "awsapi/base/timestamp.h"
#include "awsapi/protocol/shapes_wire.h"

namespace quenfold_testlibs::awsapi::wire {

namespace {

using namespace std::chrono;

Timestamp required(std::optional<Timestamp> t, std::string_view text) {
  if (!t) throw ParseError("unreadable timestamp \"" + std::string(text.substr(0, 64)) + "\"");
  return *t;
}

std::string iso_text(Timestamp t) {
  const auto day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss time{floor<seconds>(t - day)};
  const auto millis = duration_cast<milliseconds>(t - floor<seconds>(t)).count();
  char buf[40];
  const int n = std::snprintf(buf, sizeof buf, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(ymd.year()),
                              static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()),
                              static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                              static_cast<int>(time.seconds().count()));
  if (millis != 0)
    std::snprintf(buf + n, sizeof buf - n, ".%03dZ", static_cast<int>(millis));
  else
    std::snprintf(buf + n, sizeof buf - n, "Z");
  return buf;
}

}  // namespace

std::string normalize_timestamp(std::string_view text) { return iso_text(required(parse_timestamp(text), text)); }

std::string timestamp_from_epoch(double seconds) {
  const auto t = timestamp_of_epoch(seconds);
  if (!t) throw ParseError("unreadable timestamp");
  return iso_text(*t);
}

double epoch_of_timestamp(std::string_view text) {
  const Timestamp t = required(parse_timestamp(text), text);
  const auto whole = floor<seconds>(t);
  return static_cast<double>(whole.time_since_epoch().count()) + static_cast<double>((t - whole).count()) / 1e6;
}

std::string http_date_of_timestamp(std::string_view text) {
  static constexpr std::array<const char*, 7> kDays{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr std::array<const char*, 12> kMonths{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const Timestamp t = required(parse_timestamp(text), text);
  const auto day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss time{floor<seconds>(t - day)};
  char buf[40];
  std::snprintf(buf, sizeof buf, "%s, %02u %s %04d %02d:%02d:%02d GMT", kDays[weekday{day}.c_encoding()],
                static_cast<unsigned>(ymd.day()), kMonths[static_cast<unsigned>(ymd.month()) - 1],
                static_cast<int>(ymd.year()), static_cast<int>(time.hours().count()),
                static_cast<int>(time.minutes().count()), static_cast<int>(time.seconds().count()));
  return buf;
}

std::string dotted(const std::string& prefix, const std::string& name) {
  // Appended into one string rather than through a temporary per '+'.
  std::string out;
  out.reserve(prefix.size() + 1 + name.size());
  out += prefix;
  out += '.';
  out += name;
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

// \uXXXX with lower-case hex digits, as the reference SDK writes it.
void append_u_escape(std::string& out, unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\u%04x", v);
  out += buf;
}

// The two-character escapes of the reference SDK's serialiser; nullptr for other characters.
const char* short_escape(unsigned char c) {
  switch (c) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\n':
      return "\\n";
    case '\r':
      return "\\r";
    case '\t':
      return "\\t";
    case '\b':
      return "\\b";
    case '\f':
      return "\\f";
    default:
      return nullptr;
  }
}

// An ASCII character: kept, unless it has a short escape or is a control character (DEL included).
void append_ascii(std::string& out, unsigned char c) {
  if (const char* escape = short_escape(c))
    out += escape;
  else if (c < 0x20 || c == 0x7F)
    append_u_escape(out, c);
  else
    out += static_cast<char>(c);
}

// The length of the UTF-8 sequence that a lead byte starts; 0 when the byte starts none.
int utf8_length(unsigned char lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 0;
}

// Decodes the UTF-8 sequence that starts at s[i] and moves i past it.
unsigned decode_utf8(const std::string& s, std::size_t& i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  const int len = utf8_length(lead);
  if (len == 0 || i + len > s.size()) throw std::invalid_argument("invalid UTF-8 in a request value");
  unsigned cp = lead & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
  for (int k = 1; k < len; ++k) {
    auto cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) throw std::invalid_argument("invalid UTF-8 in a request value");
    cp = (cp << 6) | (cc & 0x3F);
  }
  i += len;
  return cp;
}

// A code point beyond ASCII as \uXXXX; beyond the BMP as a surrogate pair.
void append_code_point(std::string& out, unsigned cp) {
  if (cp < 0x10000) {
    append_u_escape(out, cp);
    return;
  }
  cp -= 0x10000;
  append_u_escape(out, 0xD800 + (cp >> 10));
  append_u_escape(out, 0xDC00 + (cp & 0x3FF));
}

void append_json_string(std::string& out, const std::string& s) {
  out += '"';
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      append_ascii(out, c);
      ++i;
    } else {
      append_code_point(out, decode_utf8(s, i));
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
    case json::value_t::string:
      append_json_string(out, v.get_ref<const std::string&>());
      break;
    default:
      out += v.dump();
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
    case Kind::Boolean:
      return text == "true";
    case Kind::Timestamp:
      return normalize_timestamp(text);
    default:
      return text;
  }
}

std::string http_reason(int status) {
  switch (status) {
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 304:
      return "Not Modified";
    case 307:
      return "Temporary Redirect";
    case 308:
      return "Permanent Redirect";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 408:
      return "Request Timeout";
    case 409:
      return "Conflict";
    case 411:
      return "Length Required";
    case 412:
      return "Precondition Failed";
    case 413:
      return "Request Entity Too Large";
    case 416:
      return "Requested Range Not Satisfiable";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    default:
      return "";
  }
}

}  // namespace quenfold_testlibs::awsapi::wire
