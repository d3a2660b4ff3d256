// An immutable snapshot of the process environment and of the shared AWS config and credentials
// files, read once, so that every layer sees the same settings and tests can inject their own.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace quenfold_testlibs::awsapi {

class Environment {
 public:
  Environment() = default;
  explicit Environment(std::map<std::string, std::string> vars) : vars_(std::move(vars)) {}
  static Environment from_process();

  // The variable's value; an unset or empty variable is absent.
  std::optional<std::string> get(std::string_view name) const;
  // True for "true"/"1"/"yes" (any case).
  bool flag(std::string_view name) const;
  const std::map<std::string, std::string>& vars() const { return vars_; }

 private:
  std::map<std::string, std::string> vars_;
};

// One profile's settings, keys lower-cased as the SDKs read them ("aws_access_key_id", "region",
// "role_arn", "source_profile", "credential_process", "credential_source", "web_identity_token_file",
// "role_session_name", "external_id", "duration_seconds", "sts_regional_endpoints", "endpoint_url", ...).
// Nested sections ("s3 =\n  addressing_style = path") are flattened to "s3.addressing_style".
using Profile = std::map<std::string, std::string>;

class ConfigFiles {
 public:
  ConfigFiles() = default;
  // Reads AWS_CONFIG_FILE (default ~/.aws/config) and AWS_SHARED_CREDENTIALS_FILE (default
  // ~/.aws/credentials). Missing files are empty; an unreadable existing file is a ConfigError.
  static ConfigFiles load(const Environment& env);
  // Parses file contents directly (tests).
  static ConfigFiles parse(std::string_view config_text, std::string_view credentials_text);

  // The named profile: the config file's section merged with the credentials file's, whose keys win.
  std::optional<Profile> profile(const std::string& name) const;
  bool has_profile(const std::string& name) const { return profile(name).has_value(); }
  // The section of one file only: the credential chain tells the two files apart.
  std::optional<Profile> config_profile(const std::string& name) const;
  std::optional<Profile> credentials_profile(const std::string& name) const;
  // The config file's "[sso-session NAME]" section (sso_start_url, sso_region, ...).
  std::optional<Profile> sso_session(const std::string& name) const;

  // The profile the environment selects: AWS_PROFILE, else AWS_DEFAULT_PROFILE, else "default".
  static std::string selected_profile_name(const Environment& env);
  // The profile named by AWS_PROFILE or AWS_DEFAULT_PROFILE, absent when neither is set.
  static std::optional<std::string> explicit_profile_name(const Environment& env);

 private:
  std::map<std::string, Profile> config_;  // keyed by profile name ("default", "dev", ...)
  std::map<std::string, Profile> credentials_;
  std::map<std::string, Profile> sso_sessions_;  // keyed by session name
};

}  // namespace quenfold_testlibs::awsapi
