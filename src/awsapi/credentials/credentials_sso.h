// IAM Identity Center (SSO) profiles: the settings they hold, the token cache that `aws sso login`
// writes, and the two unsigned calls made with it (the portal's GetRoleCredentials and the OIDC
// service's CreateToken). Pure functions over data, so that the decisions and the wire forms can be
// tested without a network; the provider in credentials_sso.cpp does the I/O around them.
// Internal to src/awsapi.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "awsapi/base/environment.h"
#include "awsapi/credentials/credentials.h"
#include "awsapi/transport/http.h"

namespace quenfold_testlibs::awsapi::sso {

using TimePoint = std::chrono::system_clock::time_point;

struct Settings {
  std::string profile;                      // the profile that holds them (named in messages)
  std::optional<std::string> session_name;  // the sso_session form; absent in the legacy form
  std::string start_url;
  std::string region;  // sso_region: where the portal and the OIDC service are called
  std::string account_id;
  std::string role_name;
};

// The SSO settings of `profile`, merged with its [sso-session NAME] section in the sso_session form.
// Absent when the profile names neither sso_account_id nor sso_role_name (it is then no SSO
// credential source, as in the reference SDKs). ConfigError when a required setting is missing, the
// named sso-session does not exist, or the profile and its session disagree on a value.
std::optional<Settings> settings_of(const ConfigFiles& files, const std::string& profile);

// "<SHA-1 hex>.json": the SHA-1 of the session name in the sso_session form, of the start URL in
// the legacy form.
std::string cache_file_name(const Settings& s);
// ~/.aws/sso/cache/<cache_file_name>; CredentialsError when HOME is not set.
std::filesystem::path cache_path(const Environment& env, const Settings& s);

struct Token {
  nlohmann::ordered_json cache;  // the whole cache document, kept for a refresh
  std::string access_token;
  TimePoint expires_at;
};

// The token in a cache file's text. CredentialsError naming the profile when it is not JSON, lacks
// accessToken or a readable expiresAt ("...Z" or "...UTC"), or the token cannot travel in a header.
Token parse_token(const std::string& text, const Settings& s);

// Whether the cache can be refreshed through CreateToken at `now`: the sso_session form, with
// refreshToken, clientId, clientSecret and a registration (registrationExpiresAt) not yet expired.
bool refreshable(const Token& t, const Settings& s, TimePoint now);

// What to do with a cached token at `now`. Use: more than 15 minutes left, or fewer but it cannot
// be refreshed and has not expired. Refresh: inside the 15 minutes and refreshable (a failed refresh
// still leaves an unexpired token usable). Expired: past expiresAt and not refreshable.
enum class TokenPlan { Use, Refresh, Expired };
TokenPlan plan(const Token& t, const Settings& s, TimePoint now);

// GET <endpoint>/federation/credentials?role_name=..&account_id=.. with the token in the
// x-amz-sso_bearer_token header; unsigned.
HttpRequest role_credentials_request(const std::string& endpoint, const Settings& s, const std::string& access_token);
// The roleCredentials of a GetRoleCredentials answer (expiration in epoch milliseconds).
// CredentialsError when the answer lacks them.
Credentials role_credentials_of(const std::string& body, const Settings& s);

// POST <endpoint>/token with the cache's client registration and refresh token; unsigned.
HttpRequest create_token_request(const std::string& endpoint, const Token& t);
// The cache document to write after a CreateToken answer received at `now`: the reference SDK's
// keys (startUrl, region, accessToken, expiresAt, clientId, clientSecret, registrationExpiresAt, and
// refreshToken when the answer holds one). CredentialsError when the answer lacks accessToken or
// expiresIn.
nlohmann::ordered_json refreshed_cache(const Settings& s, const Token& old, const std::string& body, TimePoint now);

// The error code and message of a portal or OIDC error answer (x-amzn-ErrorType header, or the body's
// __type / error and message / error_description).
std::pair<std::string, std::string> error_of(const HttpResponse& r);

// "The SSO session of profile NAME has expired. Run: aws sso login --profile NAME"
std::string expired_message(const Settings& s);

}  // namespace quenfold_testlibs::awsapi::sso
