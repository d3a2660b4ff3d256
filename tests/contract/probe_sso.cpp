// Runs the IAM Identity Center pieces of our access layer on cases given as JSON on stdin and prints
// what each gives, for test_sso.py to compare with the reference SDK.
//
// Input: a list of cases, each {"op": ..., "config": "<config file text>", "profile": "...", ...}:
//   cache_name                               -> {"file": "<sha1>.json"}
//   role_request  + "token", "env": {...}    -> {"method", "url", "headers": [[name, value], ...]}
//   role_answer   + "body"                   -> {"access_key", "secret_key", "token", "expiry_time"}
//   token_request + "cache", "env"           -> {"method", "url", "headers", "body": <parsed JSON>}
//   token_answer  + "cache", "body", "now"   -> the cache document written after the renewal
#include <iostream>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>

#include "awsapi/credentials/credentials_sso.h"
#include "awsapi/transport/endpoints.h"

using namespace quenfold_testlibs::awsapi;
using json = nlohmann::ordered_json;

namespace {

std::string iso(std::chrono::system_clock::time_point t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::gmtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

json request_json(const HttpRequest& r) {
  json headers = json::array();
  for (const auto& [name, value] : r.headers) headers.push_back({name, value});
  return {{"method", r.method}, {"url", r.url}, {"headers", headers}};
}

json run_one(const json& in) {
  const std::string op = in.at("op");
  const auto files = ConfigFiles::parse(in.at("config").get<std::string>(), "");
  const auto settings = *sso::settings_of(files, in.at("profile").get<std::string>());
  std::map<std::string, std::string> vars;
  const json env_in = in.value("env", json::object());
  for (const auto& [k, v] : env_in.items()) vars[k] = v.get<std::string>();
  const Environment env(vars);
  const auto profile = files.profile(settings.profile);
  auto endpoint = [&](const char* service) { return resolve_endpoint(service, settings.region, env, &*profile).url; };
  sso::Token token;
  if (in.contains("cache")) token = sso::parse_token(in.at("cache").dump(), settings);

  if (op == "cache_name") return {{"file", sso::cache_file_name(settings)}};
  if (op == "role_request")
    return request_json(sso::role_credentials_request(endpoint("sso"), settings, in.at("token").get<std::string>()));
  if (op == "role_answer") {
    const auto c = sso::role_credentials_of(in.at("body").get<std::string>(), settings);
    return {{"access_key", c.access_key_id},
            {"secret_key", c.secret_access_key},
            {"token", c.session_token},
            {"expiry_time", iso(*c.expiration)}};
  }
  if (op == "token_request") {
    const auto r = sso::create_token_request(endpoint("sso-oidc"), token);
    json out = request_json(r);
    out["body"] = json::parse(r.body);
    return out;
  }
  if (op == "token_answer") {
    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(in.at("now").get<long long>()));
    return sso::refreshed_cache(settings, token, in.at("body").get<std::string>(), now);
  }
  throw std::invalid_argument("unknown op " + op);
}

}  // namespace

int main() {
  try {
    const std::string text(std::istreambuf_iterator<char>(std::cin), {});
    json out = json::array();
    for (const auto& c : json::parse(text)) out.push_back(run_one(c));
    std::cout << out.dump() << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "probe_sso: " << e.what() << "\n";
    return 1;
  }
}
