// IAM Identity Center (SSO) profiles as `aws configure sso` writes them: the token that
// `aws sso login` cached is traded at the portal for the role's credentials, and in the
// sso_session form an expiring token is renewed through the OIDC service and the cache written
// back, as the AWS CLI does. An expired session is one clear line, never a fall-through to
// another identity.
#include "awsapi/credentials/credentials_sso.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <sstream>
#include <system_error>

#include "awsapi/base/error.h"
#include "awsapi/base/timestamp.h"
#include "awsapi/credentials/credentials_providers.h"
#include "awsapi/transport/endpoints.h"
#include "core/atomic_file.h"
#include "core/clock.h"

namespace quenfold_testlibs::awsapi {

namespace sso {

namespace {

// Inside this much of its expiry a refreshable token is renewed (the AWS CLI's window).
constexpr std::chrono::minutes kRefreshWindow{15};

std::optional<std::string> value_of(const Profile& p, const char* key) {
  auto it = p.find(key);
  if (it == p.end() || it->second.empty()) return std::nullopt;
  return it->second;
}

std::string sha1_hex(const std::string& text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> md{};
  unsigned int len = 0;
  if (EVP_Digest(text.data(), text.size(), md.data(), &len, EVP_sha1(), nullptr) != 1)
    throw CredentialsError("SHA-1 is not available for the SSO token cache name");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < len; ++i) {
    out += kHex[md[i] >> 4];
    out += kHex[md[i] & 0xf];
  }
  return out;
}

// The cache's times: ISO 8601, written with "Z" by the CLI and with "UTC" by older tools.
std::optional<TimePoint> parse_cache_time(const nlohmann::ordered_json& v) {
  if (!v.is_string()) return std::nullopt;
  std::string text = v.get<std::string>();
  if (text.size() > 3 && text.compare(text.size() - 3, 3, "UTC") == 0) text.replace(text.size() - 3, 3, "Z");
  auto t = parse_iso8601(text);
  if (!t) return std::nullopt;
  return std::chrono::time_point_cast<TimePoint::duration>(*t);
}

bool has_control(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

std::string string_member(const nlohmann::ordered_json& doc, const char* key) {
  if (!doc.is_object() || !doc.contains(key) || !doc[key].is_string()) return {};
  return doc[key].get<std::string>();
}

}  // namespace

std::optional<Settings> settings_of(const ConfigFiles& files, const std::string& profile) {
  auto p = files.profile(profile);
  if (!p || (!p->contains("sso_account_id") && !p->contains("sso_role_name"))) return std::nullopt;
  Profile merged = *p;
  Settings s;
  s.profile = profile;
  if (auto name = value_of(*p, "sso_session")) {
    auto session = files.sso_session(*name);
    if (!session) throw ConfigError("The specified sso-session does not exist: \"" + *name + "\"");
    for (const auto& [key, value] : *session) {
      auto it = merged.find(key);
      if (it != merged.end() && it->second != value) {
        std::string what = "The value for " + key;
        what += " is inconsistent between profile (" + it->second + ") and sso-session (" + value + ").";
        throw ConfigError(what);
      }
      merged[key] = value;
    }
    s.session_name = *name;
  }
  std::string missing;
  for (const char* key : {"sso_role_name", "sso_account_id", "sso_start_url", "sso_region"}) {
    if (!value_of(merged, key)) missing += (missing.empty() ? "" : ", ") + std::string(key);
  }
  if (!missing.empty())
    throw ConfigError("The profile \"" + profile +
                      "\" is configured to use SSO but is missing required configuration: " + missing);
  s.start_url = *value_of(merged, "sso_start_url");
  s.region = *value_of(merged, "sso_region");
  s.account_id = *value_of(merged, "sso_account_id");
  s.role_name = *value_of(merged, "sso_role_name");
  return s;
}

std::string cache_file_name(const Settings& s) { return sha1_hex(s.session_name.value_or(s.start_url)) + ".json"; }

std::filesystem::path cache_path(const Environment& env, const Settings& s) {
  auto home = env.get("HOME");
  if (!home)
    throw CredentialsError("Cannot find the SSO token cache of profile \"" + s.profile + "\": HOME is not set");
  return std::filesystem::path(*home) / ".aws" / "sso" / "cache" / cache_file_name(s);
}

Token parse_token(const std::string& text, const Settings& s) {
  auto bad = [&](const std::string& why) {
    return CredentialsError("The SSO token cache of profile \"" + s.profile + "\" " + why +
                            ". Run: aws sso login --profile " + s.profile);
  };
  Token t;
  t.cache = nlohmann::ordered_json::parse(text, nullptr, false);
  if (t.cache.is_discarded() || !t.cache.is_object()) throw bad("is not a JSON object");
  t.access_token = string_member(t.cache, "accessToken");
  if (t.access_token.empty()) throw bad("holds no accessToken");
  // The token travels in a header: a line break in it would end that header.
  if (has_control(t.access_token)) throw bad("holds an accessToken with a control character");
  auto expires = t.cache.contains("expiresAt") ? parse_cache_time(t.cache["expiresAt"]) : std::nullopt;
  if (!expires) throw bad("holds no readable expiresAt");
  t.expires_at = *expires;
  return t;
}

bool refreshable(const Token& t, const Settings& s, TimePoint now) {
  if (!s.session_name) return false;
  for (const char* key : {"refreshToken", "clientId", "clientSecret"}) {
    if (string_member(t.cache, key).empty()) return false;
  }
  auto registration =
      t.cache.contains("registrationExpiresAt") ? parse_cache_time(t.cache["registrationExpiresAt"]) : std::nullopt;
  return registration && now < *registration;
}

TokenPlan plan(const Token& t, const Settings& s, TimePoint now) {
  if (now < t.expires_at - kRefreshWindow) return TokenPlan::Use;
  if (refreshable(t, s, now)) return TokenPlan::Refresh;
  return now < t.expires_at ? TokenPlan::Use : TokenPlan::Expired;
}

HttpRequest role_credentials_request(const std::string& endpoint, const Settings& s, const std::string& access_token) {
  HttpRequest req;
  req.method = "GET";
  req.url = endpoint + "/federation/credentials?role_name=" + percent_encode(s.role_name) +
            "&account_id=" + percent_encode(s.account_id);
  req.set_header("x-amz-sso_bearer_token", access_token);
  return req;
}

Credentials role_credentials_of(const std::string& body, const Settings& s) {
  auto doc = nlohmann::ordered_json::parse(body, nullptr, false);
  const std::string source = "the IAM Identity Center portal (profile " + s.profile + ")";
  if (doc.is_discarded() || !doc.is_object() || !doc.contains("roleCredentials") || !doc["roleCredentials"].is_object())
    throw CredentialsError("The GetRoleCredentials answer for profile \"" + s.profile + "\" holds no roleCredentials");
  const auto& rc = doc["roleCredentials"];
  for (const char* key : {"accessKeyId", "secretAccessKey", "sessionToken"}) {
    if (string_member(rc, key).empty())
      throw CredentialsError(std::string("The GetRoleCredentials answer's roleCredentials lack ") + key);
  }
  Credentials c;
  c.access_key_id = rc["accessKeyId"].get<std::string>();
  c.secret_access_key = rc["secretAccessKey"].get<std::string>();
  c.session_token = rc["sessionToken"].get<std::string>();
  if (!rc.contains("expiration") || !rc["expiration"].is_number())
    throw CredentialsError("The GetRoleCredentials answer's roleCredentials lack expiration");
  auto expiration = timestamp_of_epoch(rc["expiration"].get<double>() / 1000.0);
  if (!expiration) throw CredentialsError("The GetRoleCredentials answer's expiration is out of range");
  c.expiration = std::chrono::time_point_cast<TimePoint::duration>(*expiration);
  return checked_credentials(std::move(c), source);
}

HttpRequest create_token_request(const std::string& endpoint, const Token& t) {
  nlohmann::ordered_json body;
  body["clientId"] = string_member(t.cache, "clientId");
  body["clientSecret"] = string_member(t.cache, "clientSecret");
  body["grantType"] = "refresh_token";
  body["refreshToken"] = string_member(t.cache, "refreshToken");
  HttpRequest req;
  req.method = "POST";
  req.url = endpoint + "/token";
  req.set_header("Content-Type", "application/json");
  req.body = body.dump();
  return req;
}

nlohmann::ordered_json refreshed_cache(const Settings& s, const Token& old, const std::string& body, TimePoint now) {
  auto doc = nlohmann::ordered_json::parse(body, nullptr, false);
  if (doc.is_discarded() || !doc.is_object() || string_member(doc, "accessToken").empty() ||
      !doc.contains("expiresIn") || !doc["expiresIn"].is_number_integer())
    throw CredentialsError("The CreateToken answer for the SSO session of profile \"" + s.profile +
                           "\" lacks accessToken or expiresIn");
  nlohmann::ordered_json out;
  out["startUrl"] = s.start_url;
  out["region"] = s.region;
  out["accessToken"] = doc["accessToken"];
  out["expiresAt"] = format_iso8601(now + std::chrono::seconds(doc["expiresIn"].get<long long>()));
  out["clientId"] = old.cache["clientId"];
  out["clientSecret"] = old.cache["clientSecret"];
  out["registrationExpiresAt"] = old.cache["registrationExpiresAt"];
  if (!string_member(doc, "refreshToken").empty()) out["refreshToken"] = doc["refreshToken"];
  return out;
}

std::pair<std::string, std::string> error_of(const HttpResponse& r) {
  auto doc = nlohmann::ordered_json::parse(r.body, nullptr, false);
  std::string code = r.header("x-amzn-ErrorType").value_or("");
  if (code.empty()) code = string_member(doc, "__type");
  if (code.empty()) code = string_member(doc, "error");  // the OAuth form of the OIDC service
  code = code.substr(0, code.find(':'));
  if (auto hash = code.rfind('#'); hash != std::string::npos) code = code.substr(hash + 1);
  std::string message = string_member(doc, "message");
  if (message.empty()) message = string_member(doc, "Message");
  if (message.empty()) message = string_member(doc, "error_description");
  return {code, message};
}

std::string expired_message(const Settings& s) {
  return "The SSO session of profile \"" + s.profile + "\" has expired. Run: aws sso login --profile " + s.profile;
}

}  // namespace sso

namespace detail {

namespace {

constexpr int kAttempts = 3;

// Sends an unsigned portal or OIDC request, retrying dropped connections, throttling (429) and
// server errors twice with a growing pause; returns the last answer.
HttpResponse send_with_retries(HttpTransport& http, const HttpRequest& req) {
  for (int attempt = 1;; ++attempt) {
    try {
      HttpResponse r = http.send(req);
      if ((r.status != 429 && r.status < 500) || attempt == kAttempts) return r;
    } catch (const TransportError&) {
      if (attempt == kAttempts) throw;
    }
    core::the_clock().sleep_for(std::chrono::milliseconds(500 * attempt));
  }
}

class SsoFetcher final : public CredentialsProvider {
 public:
  SsoFetcher(SourcesPtr s, sso::Settings settings) : s_(std::move(s)), settings_(std::move(settings)) {}

  Credentials get() override {
    if (!s_->http) throw CredentialsError("SSO credentials need an HTTP transport");
    const auto path = sso::cache_path(s_->env, settings_);
    sso::Token token = sso::parse_token(read_cache(path), settings_);
    const auto now = core::the_clock().now();
    switch (sso::plan(token, settings_, now)) {
      case sso::TokenPlan::Use:
        break;
      case sso::TokenPlan::Expired:
        throw CredentialsError(sso::expired_message(settings_));
      case sso::TokenPlan::Refresh:
        try {
          token = refresh(token, path, now);
        } catch (const AwsError&) {
          // A failed renewal is not fatal while the old token still has time left.
          if (core::the_clock().now() >= token.expires_at) throw CredentialsError(sso::expired_message(settings_));
        }
        break;
    }
    return role_credentials(token.access_token);
  }

  std::string name() const override { return "sso"; }

 private:
  std::string read_cache(const std::filesystem::path& path) const {
    std::ifstream in(path, std::ios::binary);
    if (!in)
      throw CredentialsError("No SSO session found for profile \"" + settings_.profile + "\" (no token cache " +
                             path.string() + "). Run: aws sso login --profile " + settings_.profile);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::string endpoint(const char* service) const {
    const auto prof = s_->files.profile(settings_.profile);
    return resolve_endpoint(service, settings_.region, s_->env, prof ? &*prof : nullptr).url;
  }

  // Renews the token through CreateToken and writes the cache back, atomically and owner-only.
  sso::Token refresh(const sso::Token& old, const std::filesystem::path& path, sso::TimePoint now) {
    HttpResponse r = send_with_retries(*s_->http, sso::create_token_request(endpoint("sso-oidc"), old));
    if (r.status != 200) {
      auto [code, message] = sso::error_of(r);
      throw ClientError(code, message, "CreateToken", r.status, r.header("x-amzn-RequestId").value_or(""));
    }
    sso::Token fresh;
    fresh.cache = sso::refreshed_cache(settings_, old, r.body, now);
    fresh = sso::parse_token(fresh.cache.dump(), settings_);
    try {
      core::writeFileAtomically(path, fresh.cache.dump(), core::FileMode::OwnerOnly);
    } catch (const std::system_error&) {
      // An unwritable cache costs a renewal on the next run; this run goes on with the new token.
    }
    return fresh;
  }

  Credentials role_credentials(const std::string& access_token) {
    HttpResponse r =
        send_with_retries(*s_->http, sso::role_credentials_request(endpoint("sso"), settings_, access_token));
    if (r.status == 200) return sso::role_credentials_of(r.body, settings_);
    auto [code, message] = sso::error_of(r);
    if (code == "UnauthorizedException" || r.status == 401)
      throw CredentialsError("The SSO session of profile \"" + settings_.profile +
                             "\" has expired or is otherwise invalid. Run: aws sso login --profile " +
                             settings_.profile);
    throw ClientError(code, message, "GetRoleCredentials", r.status, r.header("x-amzn-RequestId").value_or(""));
  }

  SourcesPtr s_;
  sso::Settings settings_;
};

}  // namespace

std::shared_ptr<CredentialsProvider> sso_provider(const SourcesPtr& s, const std::string& profile) {
  auto settings = sso::settings_of(s->files, profile);
  if (!settings) return nullptr;
  return make_refreshing(std::make_shared<SsoFetcher>(s, std::move(*settings)));
}

}  // namespace detail

}  // namespace quenfold_testlibs::awsapi
