// The environment snapshot and the shared config/credentials files. The INI dialect is the one the
// reference SDKs read (Python's configparser plus nested sub-sections); no INI library on the Debian
// list handles indented sub-sections or "[profile name]" headers, so the small parser lives here.
#include "awsapi/base/environment.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "awsapi/base/error.h"

extern char** environ;

namespace quenfold_testlibs::awsapi {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
  return out;
}

std::string_view trim(std::string_view s) {
  const char* ws = " \t\r\n\f\v";
  auto b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  auto e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

bool is_indented(std::string_view line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

bool is_comment(std::string_view stripped) { return !stripped.empty() && (stripped[0] == '#' || stripped[0] == ';'); }

// Splits "key = value" (or "key: value") at the first delimiter. False when there is none.
bool split_key_value(std::string_view stripped, std::string& key, std::string& value) {
  auto pos = stripped.find_first_of("=:");
  if (pos == std::string_view::npos || pos == 0) return false;
  key = lower(trim(stripped.substr(0, pos)));
  value = std::string(trim(stripped.substr(pos + 1)));
  return !key.empty();
}

enum class FileKind { config, credentials };

// Maps a section header to a profile name, or "" when the section is not a profile
// (config files also hold [sso-session x], [services x], ...).
std::string profile_name_of(std::string_view header, FileKind kind) {
  std::string_view name = trim(header);
  if (kind == FileKind::credentials) return std::string(name);
  if (name == "default") return "default";
  if (name.substr(0, 8) == "profile " || name.substr(0, 8) == "profile\t") return std::string(trim(name.substr(8)));
  return {};
}

// The session name of a config file's "[sso-session NAME]" header, or "".
std::string sso_session_name_of(std::string_view header, FileKind kind) {
  std::string_view name = trim(header);
  constexpr std::string_view kPrefix = "sso-session";
  if (kind != FileKind::config || name.substr(0, kPrefix.size()) != kPrefix || name.size() == kPrefix.size() ||
      (name[kPrefix.size()] != ' ' && name[kPrefix.size()] != '\t'))
    return {};
  return std::string(trim(name.substr(kPrefix.size())));
}

// The state of one file's parse, fed a line at a time.
class IniParser {
 public:
  IniParser(FileKind kind, const std::string& origin) : kind_(kind), origin_(origin) {}

  void feed(std::string_view line, std::size_t line_no) {
    line_no_ = line_no;
    const std::string_view stripped = trim(line);
    if (stripped.empty() || is_comment(stripped)) return;
    if (is_indented(line) && !last_key_.empty()) {
      continue_value(stripped);
    } else if (stripped.front() == '[') {
      open_section(stripped);
    } else {
      set_value(stripped);
    }
  }

  std::map<std::string, Profile> take() { return std::move(out_); }
  std::map<std::string, Profile> take_sso_sessions() { return std::move(sso_sessions_); }

 private:
  ConfigError fail() const {
    return ConfigError("Unable to parse config file: " + origin_ + " (line " + std::to_string(line_no_) + ")");
  }

  // An indented line under "key = value" continues the value on a new line; under "key =" it is
  // a "sub = value" pair, stored as "key.sub". Inside a non-profile section it is skipped unread.
  void continue_value(std::string_view stripped) {
    if (section_ == nullptr) return;
    if (!last_key_nested_) {
      std::string& value = (*section_)[last_key_];
      value += '\n';
      value += stripped;
      return;
    }
    std::string k, v;
    if (!split_key_value(stripped, k, v)) throw fail();
    std::string nested_key = last_key_;
    nested_key += '.';
    nested_key += k;
    (*section_)[nested_key] = v;
  }

  void open_section(std::string_view stripped) {
    if (stripped.back() != ']') throw fail();
    const std::string_view header = stripped.substr(1, stripped.size() - 2);
    const std::string name = profile_name_of(header, kind_);
    in_any_section_ = true;
    last_key_.clear();
    if (name.empty()) {
      const std::string session = sso_session_name_of(header, kind_);
      section_ = session.empty() ? nullptr : &sso_sessions_[session];
      return;
    }
    // "[default]" and "[profile default]" name the same profile; the later form replaces
    // the earlier one, while a repeated identical header adds to its section.
    std::string form(trim(header));
    auto [it, fresh] = header_of_.emplace(name, form);
    if (!fresh && it->second != form) {
      out_.erase(name);
      it->second = form;
    }
    section_ = &out_[name];
  }

  void set_value(std::string_view stripped) {
    if (!in_any_section_) throw fail();
    std::string k, v;
    if (!split_key_value(stripped, k, v)) throw fail();
    last_key_ = k;
    last_key_nested_ = v.empty();
    if (section_ != nullptr && !last_key_nested_) (*section_)[k] = v;
  }

  FileKind kind_;
  const std::string& origin_;
  std::size_t line_no_ = 0;
  std::map<std::string, Profile> out_;
  std::map<std::string, Profile> sso_sessions_;  // [sso-session NAME] sections of a config file
  Profile* section_ = nullptr;                   // null inside a section that is neither
  bool in_any_section_ = false;
  std::string last_key_;                          // the key that indented lines continue
  bool last_key_nested_ = false;                  // its value was empty: indented lines are "sub = value" pairs
  std::map<std::string, std::string> header_of_;  // profile name -> header text that opened it
};

std::map<std::string, Profile> parse_ini(std::string_view text, FileKind kind, const std::string& origin,
                                         std::map<std::string, Profile>* sso_sessions = nullptr) {
  IniParser parser(kind, origin);
  std::size_t line_no = 0;
  std::size_t start = 0;
  while (start <= text.size()) {  // the text after the last newline is a line too, even if empty
    std::size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    parser.feed(text.substr(start, end - start), ++line_no);
    start = end + 1;
  }
  if (sso_sessions != nullptr) *sso_sessions = parser.take_sso_sessions();
  return parser.take();
}

// A missing file is an empty one. A file that is there but cannot be read is an error rather
// than being skipped: skipping it would quietly fall through to other credentials (an instance
// role, say) and run as an identity the user did not choose.
std::string read_file_or_empty(const std::filesystem::path& path) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (status.type() == std::filesystem::file_type::not_found) return {};
  if (ec) throw ConfigError("Unable to read config file: " + path.string() + " (" + ec.message() + ")");
  if (std::filesystem::is_directory(status))
    throw ConfigError("Unable to read config file: " + path.string() + " (is a directory)");
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const std::string why = errno != 0 ? std::strerror(errno) : "cannot be opened";
    throw ConfigError("Unable to read config file: " + path.string() + " (" + why + ")");
  }
  std::ostringstream ss;
  ss << in.rdbuf();
  if (in.bad()) throw ConfigError("Unable to read config file: " + path.string());
  return ss.str();
}

std::filesystem::path expand_home(const std::string& p, const Environment& env) {
  if (p == "~" || p.rfind("~/", 0) == 0) {
    if (auto home = env.get("HOME")) return *home + p.substr(1);
  }
  return p;
}

}  // namespace

Environment Environment::from_process() {
  std::map<std::string, std::string> vars;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string_view kv(*e);
    auto eq = kv.find('=');
    if (eq == std::string_view::npos) continue;
    vars.emplace(std::string(kv.substr(0, eq)), std::string(kv.substr(eq + 1)));
  }
  return Environment(std::move(vars));
}

std::optional<std::string> Environment::get(std::string_view name) const {
  auto it = vars_.find(std::string(name));
  if (it == vars_.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

bool Environment::flag(std::string_view name) const {
  auto v = get(name);
  if (!v) return false;
  std::string l = lower(trim(*v));
  return l == "true" || l == "1" || l == "yes";
}

ConfigFiles ConfigFiles::load(const Environment& env) {
  std::string home = env.get("HOME").value_or("");
  std::filesystem::path config_path = env.get("AWS_CONFIG_FILE") ? expand_home(*env.get("AWS_CONFIG_FILE"), env)
                                      : home.empty()             ? std::filesystem::path()
                                                                 : std::filesystem::path(home) / ".aws" / "config";
  std::filesystem::path creds_path = env.get("AWS_SHARED_CREDENTIALS_FILE")
                                         ? expand_home(*env.get("AWS_SHARED_CREDENTIALS_FILE"), env)
                                     : home.empty() ? std::filesystem::path()
                                                    : std::filesystem::path(home) / ".aws" / "credentials";
  ConfigFiles files;
  if (!config_path.empty())
    files.config_ =
        parse_ini(read_file_or_empty(config_path), FileKind::config, config_path.string(), &files.sso_sessions_);
  if (!creds_path.empty())
    files.credentials_ = parse_ini(read_file_or_empty(creds_path), FileKind::credentials, creds_path.string());
  return files;
}

ConfigFiles ConfigFiles::parse(std::string_view config_text, std::string_view credentials_text) {
  ConfigFiles files;
  files.config_ = parse_ini(config_text, FileKind::config, "config", &files.sso_sessions_);
  files.credentials_ = parse_ini(credentials_text, FileKind::credentials, "credentials");
  return files;
}

std::optional<Profile> ConfigFiles::profile(const std::string& name) const {
  auto c = config_profile(name);
  auto k = credentials_profile(name);
  if (!c && !k) return std::nullopt;
  Profile merged = c.value_or(Profile{});
  if (k) {
    for (const auto& [key, value] : *k) merged[key] = value;
  }
  return merged;
}

std::optional<Profile> ConfigFiles::config_profile(const std::string& name) const {
  auto it = config_.find(name);
  if (it == config_.end()) return std::nullopt;
  return it->second;
}

std::optional<Profile> ConfigFiles::credentials_profile(const std::string& name) const {
  auto it = credentials_.find(name);
  if (it == credentials_.end()) return std::nullopt;
  return it->second;
}

std::optional<Profile> ConfigFiles::sso_session(const std::string& name) const {
  auto it = sso_sessions_.find(name);
  if (it == sso_sessions_.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> ConfigFiles::explicit_profile_name(const Environment& env) {
  if (auto p = env.get("AWS_PROFILE")) return p;
  if (auto p = env.get("AWS_DEFAULT_PROFILE")) return p;
  return std::nullopt;
}

std::string ConfigFiles::selected_profile_name(const Environment& env) {
  return explicit_profile_name(env).value_or("default");
}

}  // namespace quenfold_testlibs::awsapi
