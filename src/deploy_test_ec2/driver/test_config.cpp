#include "deploy_test_ec2/driver/test_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace quenfold_testlibs {

json readTestConfig(const std::string& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw TestConfigError("cannot read test configuration " + path + ": it is a directory");
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw TestConfigError("cannot read test configuration " + path + ": " +
                          (errno != 0 ? std::strerror(errno) : "cannot be opened"));
  }
  std::stringstream buf;
  buf << in.rdbuf();
  if (in.bad()) throw TestConfigError("cannot read test configuration " + path + ": read error");
  try {
    return json::parse(buf.str());
  } catch (const json::parse_error& e) {
    std::string why = e.what();
    // nlohmann prefixes its messages with "[json.exception.parse_error.101] "; keep the readable part.
    if (auto p = why.find("] "); p != std::string::npos) why = why.substr(p + 2);
    throw TestConfigError("test configuration " + path + " is not valid JSON: " + why);
  }
}

namespace {

// A float as Python's repr writes it: the shortest digits that read back to the same value, in
// fixed notation when the decimal exponent lies in [-5, 16), otherwise as d.ddde+XX.
std::string pythonFloat(double v) {
  if (v == 0) return std::signbit(v) ? "-0.0" : "0.0";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, res.ptr);  // e.g. "-1.2345e+20"
  std::string sign;
  if (sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  auto epos = sci.find('e');
  int exp = std::stoi(sci.substr(epos + 1));
  std::string digits = sci.substr(0, epos);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  const int decpt = exp + 1;
  const int n = static_cast<int>(digits.size());
  if (decpt <= -4 || decpt > 16) {
    std::string mant = digits.substr(0, 1) + (n > 1 ? "." + digits.substr(1) : "");
    std::string e = std::to_string(std::abs(exp));
    if (e.size() < 2) e = "0" + e;
    return sign + mant + (exp < 0 ? "e-" : "e+") + e;
  }
  if (decpt <= 0) return sign + "0." + std::string(static_cast<size_t>(-decpt), '0') + digits;
  if (decpt >= n) return sign + digits + std::string(static_cast<size_t>(decpt - n), '0') + ".0";
  return sign + digits.substr(0, static_cast<size_t>(decpt)) + "." + digits.substr(static_cast<size_t>(decpt));
}

void writeValue(std::string& out, const json& v, int depth) {
  const std::string pad(static_cast<size_t>(2 * (depth + 1)), ' ');
  const std::string closePad(static_cast<size_t>(2 * depth), ' ');
  if (v.is_object()) {
    if (v.empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    bool first = true;
    for (const auto& [key, value] : v.items()) {
      if (!first) out += ",\n";
      first = false;
      out += pad + json(key).dump(-1, ' ', true) + ": ";
      writeValue(out, value, depth + 1);
    }
    out += "\n" + closePad + "}";
  } else if (v.is_array()) {
    if (v.empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    bool first = true;
    for (const auto& value : v) {
      if (!first) out += ",\n";
      first = false;
      out += pad;
      writeValue(out, value, depth + 1);
    }
    out += "\n" + closePad + "]";
  } else if (v.is_number_float()) {
    out += pythonFloat(v.get<double>());
  } else {
    // Strings (escaped with lower-case \u escapes and surrogate pairs, like Python's
    // ensure_ascii), integers, booleans and null need nothing beyond nlohmann's own form.
    out += v.dump(-1, ' ', true);
  }
}

}  // namespace

std::string formatTestConfig(const json& data) {
  // Written by hand rather than with dump(2): Python writes floats in repr form (1e15 as
  // 1000000000000000.0), which nlohmann does not.
  std::string out;
  writeValue(out, data, 0);
  return out + "\n";
}

void writeTestConfig(const std::string& path, const json& data) {
  const std::string text = formatTestConfig(data);
  std::filesystem::path target(path);
  std::filesystem::path dir = target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path();
  std::string tmpl = (dir / ("." + target.filename().string() + ".XXXXXX")).string();
  std::vector<char> name(tmpl.begin(), tmpl.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) throw TestConfigError("cannot write output test configuration " + path + ": " + std::strerror(errno));
  const std::string tmp(name.data());
  auto fail = [&](int err) {
    ::close(fd);
    ::unlink(tmp.c_str());
    throw TestConfigError("cannot write output test configuration " + path + ": " + std::strerror(err));
  };
  // mkstemp creates the file owner-only; an output configuration holds no secret, so give it the
  // permissions an ordinary new file would get.
  mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  size_t off = 0;
  while (off < text.size()) {
    ssize_t n = ::write(fd, text.data() + off, text.size() - off);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    off += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw TestConfigError("cannot write output test configuration " + path + ": " + std::strerror(err));
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(tmp.c_str());
    throw TestConfigError("cannot write output test configuration " + path + ": " + std::strerror(err));
  }
}

std::vector<std::string> splitCommas(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t p = text.find(',', start);
    if (p == std::string::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, p - start));
    start = p + 1;
  }
}

void populateTags(json& data, const std::string& rt_tags) {
  auto fields = splitCommas(rt_tags);
  for (size_t i = 0; i + 1 < fields.size(); i += 2) {
    data.push_back(json{{"Key", fields[i]}, {"Value", fields[i + 1]}});
  }
}

json tagSpecifications(const std::string& resource_type, const std::string& name, const Args& args) {
  json tags = json::array({json{{"Key", "Name"}, {"Value", name}}});
  if (args.tag_resource) populateTags(tags, *args.tag_resource);
  return json::array({json{{"ResourceType", resource_type}, {"Tags", tags}}});
}

std::string deduceTag(const Args& args, const json* test_config) {
  std::string tag = given(args.tag) ? *args.tag : "";
  if (test_config) return test_config->at("gw_name").get<std::string>() + "-" + tag;
  return "-" + tag;
}

}  // namespace quenfold_testlibs
