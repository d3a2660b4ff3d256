#include "deploy_test_ec2/common/test_config.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/atomic_file.h"

namespace quenfold_testlibs {

namespace {

// Deeper nesting than any real configuration has; the limit keeps every later walk over the data
// (copies, comparisons, lookups) far from the stack's end.
constexpr std::size_t kMaxDepth = 64;

// Marks an integer beyond 64 bits, kept as its decimal text in a binary value: JSON text never
// yields a binary value, so the mark cannot collide with anything read.
constexpr std::uint64_t kBigIntegerSubtype = 0xB1;

using ObjectStore = json::object_t::Container;  // the ordered map's vector of (key, value) pairs

// Builds the document from nlohmann's SAX events. The DOM parser inserts each key through the
// ordered map's operator[], a linear search, so an object of n keys costs n^2; here keys are
// appended and duplicates resolved once per object, by sorting. Also counts nesting and keeps
// the text of integers too large for 64 bits.
// bugprone-exception-escape flags the implicit default constructor because of root_'s null
// constructor, which is noexcept and allocates nothing: the analyser follows its delegation into
// nlohmann's general constructor, whose throwing branch a null value never reaches. nlohmann's
// header silences the same finding on that constructor.
// NOLINTNEXTLINE(bugprone-exception-escape)
class ConfigBuilder {
 public:
  using number_integer_t = json::number_integer_t;
  using number_unsigned_t = json::number_unsigned_t;
  using number_float_t = json::number_float_t;
  using string_t = json::string_t;
  using binary_t = json::binary_t;

  bool null() { return put(json()) != nullptr; }
  bool boolean(bool v) { return put(json(v)) != nullptr; }
  bool number_integer(number_integer_t v) { return put(json(v)) != nullptr; }
  bool number_unsigned(number_unsigned_t v) { return put(json(v)) != nullptr; }
  bool number_float(number_float_t v, const string_t& text) {
    // nlohmann reads an integer literal that overflows 64 bits as a double; keep its digits.
    if (text.find_first_of(".eE") == string_t::npos) {
      return put(json::binary(binary_t::container_type(text.begin(), text.end()), kBigIntegerSubtype)) != nullptr;
    }
    return put(json(v)) != nullptr;
  }
  bool string(string_t& v) { return put(json(std::move(v))) != nullptr; }
  bool binary(binary_t&) { return false; }  // not produced by JSON text
  bool start_object(std::size_t) { return open(json::object()); }
  bool start_array(std::size_t) { return open(json::array()); }
  bool key(string_t& k) {
    auto& pairs = static_cast<ObjectStore&>(open_.back()->get_ref<json::object_t&>());
    pairs.emplace_back(std::move(k), nullptr);
    slot_ = &pairs.back().second;
    return true;
  }
  bool end_object() {
    resolveDuplicates(static_cast<ObjectStore&>(open_.back()->get_ref<json::object_t&>()));
    open_.pop_back();
    return true;
  }
  bool end_array() {
    open_.pop_back();
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) {
    error_ = e.what();
    return false;
  }

  json& root() { return root_; }
  bool tooDeep() const { return too_deep_; }
  const std::string& error() const { return error_; }

 private:
  // Places a value where the parser is (array element, the current key's value, or the root).
  // Containers that are open never grow while a child is open, so the pointers kept stay valid.
  json* put(json&& v) {
    if (open_.empty()) {
      root_ = std::move(v);
      return &root_;
    }
    json& top = *open_.back();
    if (top.is_array()) {
      auto& items = top.get_ref<json::array_t&>();
      items.push_back(std::move(v));
      return &items.back();
    }
    *slot_ = std::move(v);
    return slot_;
  }

  bool open(json&& empty) {
    if (open_.size() >= kMaxDepth) {
      too_deep_ = true;
      return false;
    }
    open_.push_back(put(std::move(empty)));
    return true;
  }

  // A key given more than once keeps its first place and its last value, as the DOM parser (and
  // Python's json module) do.
  static void resolveDuplicates(ObjectStore& pairs) {
    if (pairs.size() < 2) return;
    std::vector<std::pair<std::string_view, std::size_t>> order;
    order.reserve(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) order.emplace_back(pairs[i].first, i);
    std::sort(order.begin(), order.end());
    bool duplicates = false;
    for (std::size_t i = 1; i < order.size() && !duplicates; ++i) duplicates = order[i].first == order[i - 1].first;
    if (!duplicates) return;
    std::vector<bool> drop(pairs.size(), false);
    for (std::size_t b = 0; b < order.size();) {
      std::size_t e = b + 1;
      while (e < order.size() && order[e].first == order[b].first) ++e;
      if (e - b > 1) {
        pairs[order[b].second].second = std::move(pairs[order[e - 1].second].second);
        for (std::size_t k = b + 1; k < e; ++k) drop[order[k].second] = true;
      }
      b = e;
    }
    ObjectStore kept;
    kept.reserve(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      if (!drop[i]) kept.emplace_back(pairs[i].first, std::move(pairs[i].second));
    }
    pairs.swap(kept);
  }

  json root_;
  std::vector<json*> open_;
  json* slot_ = nullptr;
  bool too_deep_ = false;
  std::string error_;
};

}  // namespace

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
  const std::string text = buf.str();
  ConfigBuilder builder;
  if (!json::sax_parse(text, &builder)) {
    if (builder.tooDeep()) {
      throw TestConfigError("test configuration " + path + " nests lists and objects more than " +
                            std::to_string(kMaxDepth) + " levels deep");
    }
    std::string why = builder.error();
    // nlohmann prefixes its messages with "[json.exception.parse_error.101] "; keep the readable part.
    if (auto p = why.find("] "); p != std::string::npos) why = why.substr(p + 2);
    throw TestConfigError("test configuration " + path + " is not valid JSON: " + why);
  }
  // nlohmann's reader takes a NUL byte for the end of its input, so "[...]\0anything" parses; only
  // whitespace may follow the document.
  if (auto nul = text.find('\0'); nul != std::string::npos) {
    throw TestConfigError("test configuration " + path + " is not valid JSON: a NUL byte at position " +
                          std::to_string(nul + 1) + "; only whitespace may follow the document");
  }
  return std::move(builder.root());
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

// A value that needs no walk: a scalar or an empty container.
void writeLeaf(std::string& out, const json& v) {
  if (v.is_object()) {
    out += "{}";
  } else if (v.is_array()) {
    out += "[]";
  } else if (v.is_number_float()) {
    out += pythonFloat(v.get<double>());
  } else if (v.is_binary() && v.get_binary().has_subtype() && v.get_binary().subtype() == kBigIntegerSubtype) {
    out.append(v.get_binary().begin(), v.get_binary().end());
  } else {
    // Strings (escaped with lower-case \u escapes and surrogate pairs, like Python's
    // ensure_ascii), integers, booleans and null need nothing beyond nlohmann's own form.
    out += v.dump(-1, ' ', true);
  }
}

}  // namespace

std::string formatTestConfig(const json& data) {
  // Written by hand rather than with dump(2): Python writes floats in repr form (1e15 as
  // 1000000000000000.0), which nlohmann does not; and dump recurses once per level, where this
  // walk keeps its own stack, so no input can exhaust the thread's.
  struct Open {
    const json* container;
    std::size_t next;  // index of the next member to write
  };
  std::string out;
  std::vector<Open> open;
  auto write = [&](const json& v) {
    if ((v.is_object() || v.is_array()) && !v.empty()) {
      out += v.is_object() ? '{' : '[';
      open.push_back({&v, 0});
    } else {
      writeLeaf(out, v);
    }
  };
  write(data);
  while (!open.empty()) {
    const json& c = *open.back().container;
    const std::size_t i = open.back().next++;
    if (i == c.size()) {
      open.pop_back();
      out += '\n';
      out.append(2 * open.size(), ' ');
      out += c.is_object() ? '}' : ']';
      continue;
    }
    out += i == 0 ? "\n" : ",\n";
    out.append(2 * open.size(), ' ');
    if (c.is_object()) {
      const auto& member = static_cast<const ObjectStore&>(c.get_ref<const json::object_t&>())[i];
      out += json(member.first).dump(-1, ' ', true) + ": ";
      write(member.second);
    } else {
      write(c.get_ref<const json::array_t&>()[i]);
    }
  }
  return out + "\n";
}

void writeTestConfig(const std::string& path, const json& data) {
  try {
    core::writeFileAtomically(path, formatTestConfig(data), core::FileMode::Ordinary);
  } catch (const std::system_error& e) {
    throw TestConfigError("cannot write output test configuration " + path + ": " + e.code().message());
  }
}

std::string deduceTag(const Args& args, const json* test_config) {
  std::string tag = given(args.tag) ? *args.tag : "";
  if (test_config) return test_config->at("gw_name").get<std::string>() + "-" + tag;
  return "-" + tag;
}

}  // namespace quenfold_testlibs
