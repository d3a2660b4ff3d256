// Resolves endpoints described as JSON on stdin and prints the results, for test_endpoints.py to
// compare with the reference SDK's resolver.
//
// Input: a list of {"service": "s3", "region": "eu-west-1" or null, "env": {...}, "profile": {...},
//                   "bucket": "...", "key": "..."}
// Output: for each, {"url", "signing_region", "signing_name", "overridden", "object_url"} or {"error": text}.
#include <iostream>
#include <iterator>
#include <string>

#include <nlohmann/json.hpp>

#include "awsapi/base/error.h"
#include "awsapi/transport/endpoints.h"

using namespace quenfold_testlibs::awsapi;

namespace {

nlohmann::json resolve_one(const nlohmann::json& in) {
  const nlohmann::json env_in = in.value("env", nlohmann::json::object());
  const nlohmann::json profile_in = in.value("profile", nlohmann::json::object());
  std::map<std::string, std::string> vars;
  for (const auto& [k, v] : env_in.items()) vars[k] = v.get<std::string>();
  Profile profile;
  for (const auto& [k, v] : profile_in.items()) profile[k] = v.get<std::string>();
  std::optional<std::string> region;
  if (in.contains("region") && !in.at("region").is_null()) region = in.at("region").get<std::string>();
  try {
    Environment env(vars);
    auto ep =
        resolve_endpoint(in.at("service").get<std::string>(), resolve_region(region, env, &profile), env, &profile);
    nlohmann::json out = {{"url", ep.url},
                          {"signing_region", ep.signing_region},
                          {"signing_name", ep.signing_name},
                          {"overridden", ep.overridden}};
    if (in.contains("bucket")) out["object_url"] = s3_object_url(ep, in.at("bucket"), in.value("key", ""));
    return out;
  } catch (const ConfigError& e) {
    return {{"error", e.what()}};
  }
}

}  // namespace

int main() {
  try {
    // Read whole first: parsing straight from a stream iterator can spin at end of input.
    const std::string text(std::istreambuf_iterator<char>(std::cin), {});
    const auto in = nlohmann::json::parse(text);
    nlohmann::json out = nlohmann::json::array();
    for (const auto& r : in) out.push_back(resolve_one(r));
    std::cout << out.dump() << "\n";
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "probe_endpoints: " << e.what() << "\n";
    return 1;
  }
}
