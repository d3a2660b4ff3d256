// Where each service of the tool lives: a small table of partitions and the few per-service rules
// (IAM's one global endpoint per partition, STS regional or global, S3's us-east-1 and addressing
// styles), plus the configured endpoint overrides. The contract tests check the results against
// the reference SDK's rule-based resolver.
#include "awsapi/transport/endpoints.h"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <string_view>

#include "awsapi/base/error.h"
#include "awsapi/transport/http.h"

namespace quenfold_testlibs::awsapi {

namespace {

struct Partition {
  std::string_view id;
  std::string_view dns_suffix;
  std::string_view global_region;  // where a partition-wide service lives
  std::string_view region_prefix;  // its regions read <prefix>-<word>-<digits>, e.g. us-gov-west-1
};

// The published partitions; the first whose prefix matches a region owns it. The published
// patterns are regular expressions (^(us|eu|...)-\w+-\d+$); they are matched by hand here, as
// std::regex recurses per character and would let a long input exhaust the stack.
const std::array<Partition, 8> kPartitions = {{
    {"aws", "amazonaws.com", "us-east-1", "us|eu|ap|sa|ca|me|af|il|mx"},
    {"aws-cn", "amazonaws.com.cn", "cn-northwest-1", "cn"},
    {"aws-us-gov", "amazonaws.com", "us-gov-west-1", "us-gov"},
    {"aws-iso", "c2s.ic.gov", "us-iso-east-1", "us-iso"},
    {"aws-iso-b", "sc2s.sgov.gov", "us-isob-east-1", "us-isob"},
    {"aws-iso-e", "cloud.adc-e.uk", "eu-isoe-west-1", "eu-isoe"},
    {"aws-iso-f", "csp.hci.ic.gov", "us-isof-south-1", "us-isof"},
    {"aws-eusc", "amazonaws.eu", "eusc-de-east-1", "eusc-de"},
}};

// The regions whose STS calls went to the global endpoint before regional STS became the default.
constexpr std::array<std::string_view, 16> kLegacyGlobalStsRegions = {
    "ap-northeast-1", "ap-south-1", "ap-southeast-1", "ap-southeast-2", "aws-global", "ca-central-1",
    "eu-central-1",   "eu-north-1", "eu-west-1",      "eu-west-2",      "eu-west-3",  "sa-east-1",
    "us-east-1",      "us-east-2",  "us-west-1",      "us-west-2"};

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_word_char(char c) {  // \w: letters, digits and '_'
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// "<word>-<digits>" with both parts non-empty: what follows a partition's prefix and '-'.
bool is_word_dash_number(std::string_view s) {
  const std::size_t dash = s.find('-');
  if (dash == 0 || dash == std::string_view::npos || dash + 1 == s.size()) return false;
  return std::all_of(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(dash), is_word_char) &&
         std::all_of(s.begin() + static_cast<std::ptrdiff_t>(dash) + 1, s.end(), is_digit);
}

// Whether `region` reads <one of the '|'-separated prefixes>-<word>-<digits>.
bool matches_partition(std::string_view region, std::string_view prefixes) {
  while (!prefixes.empty()) {
    const std::size_t bar = prefixes.find('|');
    const std::string_view prefix = prefixes.substr(0, bar);
    if (region.size() > prefix.size() + 1 && region.substr(0, prefix.size()) == prefix &&
        region[prefix.size()] == '-' && is_word_dash_number(region.substr(prefix.size() + 1)))
      return true;
    prefixes = bar == std::string_view::npos ? std::string_view() : prefixes.substr(bar + 1);
  }
  return false;
}

const Partition& partition_for(const std::string& region) {
  for (const auto& p : kPartitions) {
    if (region == std::string(p.id) + "-global") return p;  // pseudo-regions such as "aws-global"
  }
  for (const auto& p : kPartitions) {
    if (matches_partition(region, p.region_prefix)) return p;
  }
  return kPartitions[0];
}

std::optional<std::string> profile_value(const Profile* profile, const std::string& key) {
  if (profile == nullptr) return std::nullopt;
  auto it = profile->find(key);
  if (it == profile->end() || it->second.empty()) return std::nullopt;
  return it->second;
}

std::string to_lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
  return s;
}

// A setting read from the environment first, then from the profile.
std::optional<std::string> setting(const Environment& env, const char* var, const Profile* profile,
                                   std::initializer_list<const char*> keys) {
  if (auto v = env.get(var)) return v;
  for (const char* key : keys) {
    if (auto v = profile_value(profile, key)) return v;
  }
  return std::nullopt;
}

// "legacy" or "regional"; anything else is refused rather than guessed at.
std::string regional_choice(const std::optional<std::string>& value, std::string_view what, std::string fallback) {
  if (!value) return fallback;
  if (*value != "legacy" && *value != "regional") {
    throw ConfigError(std::string(what) + " option " + *value +
                      " is invalid. Valid options are: \"legacy\", \"regional\"");
  }
  return *value;
}

// A region is a DNS label: at most 63 letters, digits and '-', not all digits, no '-' at either
// end (the reference SDK's check). Checked by hand, length first: the value may come from the
// network (the identity document, S3's redirect) and may be of any length.
void validate_region(const std::string& region) {
  auto label_char = [](char c) { return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-'; };
  const bool ok = region.empty() || (region.size() <= 63 && std::all_of(region.begin(), region.end(), label_char) &&
                                     region.front() != '-' && region.back() != '-' &&
                                     !std::all_of(region.begin(), region.end(), is_digit));
  if (!ok) {
    // A long value is cut in the message; the log escapes whatever control characters it holds.
    const std::string shown = region.size() <= 80 ? region : region.substr(0, 80) + "...";
    throw ConfigError("Provided region_name '" + shown + "' doesn't match a supported format.");
  }
}

// Checks an override with libcurl's URL parser and returns it without trailing slashes.
std::string validate_endpoint_url(std::string url) {
  std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> h(curl_url(), &curl_url_cleanup);
  char* scheme = nullptr;
  char* host = nullptr;
  bool ok = h && curl_url_set(h.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
            curl_url_get(h.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(h.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK;
  ok = ok && (std::string_view(scheme) == "http" || std::string_view(scheme) == "https") && *host != '\0' &&
       url.find("://") != std::string::npos;
  curl_free(scheme);
  curl_free(host);
  if (!ok) throw ConfigError("Invalid endpoint: " + url);
  while (url.size() > 1 && url.back() == '/') url.pop_back();
  return url;
}

std::optional<std::string> configured_endpoint(const std::string& service, const Environment& env,
                                               const Profile* profile) {
  auto ignore = setting(env, "AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", profile, {"ignore_configured_endpoint_urls"});
  if (ignore && to_lower(*ignore) == "true") return std::nullopt;
  // The variable is named after the service id, in capitals with blanks and '-' read as '_'
  // ("SSO OIDC" -> SSO_OIDC); only Service Quotas has an id that its short name does not spell.
  std::string var = "AWS_ENDPOINT_URL_" + (service == "servicequotas" ? std::string("service quotas") : service);
  std::transform(var.begin(), var.end(), var.begin(),
                 [](unsigned char c) { return c == '-' || c == ' ' ? '_' : static_cast<char>(std::toupper(c)); });
  if (auto v = env.get(var)) return v;
  if (auto v = env.get("AWS_ENDPOINT_URL")) return v;
  return profile_value(profile, "endpoint_url");
}

bool is_valid_host_label(std::string_view s) {
  if (s.empty() || s.size() > 63 || s.front() == '-' || s.back() == '-') return false;
  return std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
  });
}

// Four dot-separated groups of one to three digits (what the SDK's pattern accepts).
bool looks_like_ipv4(std::string_view s) {
  int groups = 0;
  std::size_t digits = 0;
  for (char c : s) {
    if (is_digit(c)) {
      if (++digits > 3) return false;
    } else if (c == '.' && digits > 0 && groups < 3) {
      ++groups;
      digits = 0;
    } else {
      return false;
    }
  }
  return groups == 3 && digits > 0;
}

// Whether `bucket` can be the first label of a host name: lower case, 3 to 63 characters, no IP
// address; dots only where they do not break TLS (plain http).
bool virtual_hostable(std::string_view bucket, bool allow_dots) {
  if (bucket.size() < 3 || looks_like_ipv4(bucket)) return false;
  if (std::any_of(bucket.begin(), bucket.end(), [](unsigned char c) { return std::isupper(c); })) return false;
  if (!allow_dots) return is_valid_host_label(bucket);
  std::size_t start = 0;
  while (true) {
    std::size_t dot = bucket.find('.', start);
    if (!is_valid_host_label(bucket.substr(start, dot == std::string_view::npos ? dot : dot - start))) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

// The region to resolve for, after the service is known to be one the tool calls: an empty
// region counts as none, a given one must be well formed, and only IAM, STS and S3 (which have
// a partition-wide or global endpoint) may go without.
std::optional<std::string> checked_region(const std::string& service, const std::optional<std::string>& region_in) {
  const bool global_service = service == "iam" || service == "sts" || service == "s3";
  const bool regional_service =
      service == "ec2" || service == "ssm" || service == "servicequotas" || service == "sso" || service == "sso-oidc";
  if (!global_service && !regional_service) throw ConfigError("Unknown service: " + service);
  std::optional<std::string> region = region_in;
  if (region && region->empty()) region.reset();
  if (region) validate_region(*region);
  if (!region && !global_service) throw ConfigError("You must specify a region.");
  return region;
}

// The partitions whose IAM endpoint does not follow the iam.<home region>.<suffix> pattern.
struct IamEndpoint {
  std::string_view partition;
  std::string_view url;
  std::string_view signing_region;
};
constexpr std::array<IamEndpoint, 3> kIamEndpoints = {{
    {"aws", "https://iam.amazonaws.com", "us-east-1"},
    {"aws-cn", "https://iam.cn-north-1.amazonaws.com.cn", "cn-north-1"},
    {"aws-us-gov", "https://iam.us-gov.amazonaws.com", "us-gov-west-1"},
}};

// One IAM endpoint per partition, signed for that partition's home region.
void set_iam_endpoint(ResolvedEndpoint& ep, const std::optional<std::string>& region) {
  const Partition& p = partition_for(region.value_or("us-east-1"));
  for (const auto& iam : kIamEndpoints) {
    if (iam.partition == p.id) {
      ep.url = iam.url;
      ep.signing_region = iam.signing_region;
      return;
    }
  }
  ep.signing_region = p.global_region;
  ep.url = "https://iam." + ep.signing_region + "." + std::string(p.dns_suffix);
}

// The one endpoint of a service outside any region, signed for us-east-1.
void set_global_endpoint(ResolvedEndpoint& ep, std::string_view url) {
  ep.url = url;
  ep.signing_region = "us-east-1";
}

// STS is regional unless configured "legacy", in which case the older regions keep the global
// endpoint. The setting is checked even when no region is given, so a bad value is always refused.
bool sts_uses_global_endpoint(const std::optional<std::string>& region, const Environment& env,
                              const Profile* profile) {
  const std::string mode =
      regional_choice(setting(env, "AWS_STS_REGIONAL_ENDPOINTS", profile, {"sts_regional_endpoints"}),
                      "STS regional endpoints", "regional");
  if (!region || *region == "aws-global") return true;
  return mode == "legacy" && std::find(kLegacyGlobalStsRegions.begin(), kLegacyGlobalStsRegions.end(), *region) !=
                                 kLegacyGlobalStsRegions.end();
}

// S3 in us-east-1 goes to the global endpoint unless configured "regional".
bool s3_uses_global_endpoint(const std::optional<std::string>& region, const Environment& env, const Profile* profile) {
  const std::string mode =
      regional_choice(setting(env, "AWS_S3_US_EAST_1_REGIONAL_ENDPOINT", profile,
                              {"s3_us_east_1_regional_endpoint", "s3.us_east_1_regional_endpoint"}),
                      "S3 us-east-1 regional endpoint", "legacy");
  return !region || *region == "aws-global" || (*region == "us-east-1" && mode == "legacy");
}

}  // namespace

std::optional<std::string> resolve_region(const std::optional<std::string>& explicit_region, const Environment& env,
                                          const Profile* profile) {
  if (explicit_region && !explicit_region->empty()) return explicit_region;
  if (auto r = env.get("AWS_REGION")) return r;
  if (auto r = env.get("AWS_DEFAULT_REGION")) return r;
  return profile_value(profile, "region");
}

std::string partition_of(const std::string& region) { return std::string(partition_for(region).id); }

ResolvedEndpoint resolve_endpoint(const std::string& service, const std::optional<std::string>& region_in,
                                  const Environment& env, const Profile* profile) {
  const std::optional<std::string> region = checked_region(service, region_in);

  ResolvedEndpoint ep;
  ep.signing_name = service;
  if (service == "s3") {
    auto style = profile_value(profile, "s3.addressing_style");
    ep.s3_path_style = style && *style == "path";
  }

  if (auto url = configured_endpoint(service, env, profile)) {
    ep.url = validate_endpoint_url(*url);
    ep.signing_region = region.value_or("us-east-1");
    ep.overridden = true;
    return ep;
  }

  if (service == "iam") {
    set_iam_endpoint(ep, region);
    return ep;
  }
  if (service == "sts" && sts_uses_global_endpoint(region, env, profile)) {
    set_global_endpoint(ep, "https://sts.amazonaws.com");
    return ep;
  }
  if (service == "s3" && s3_uses_global_endpoint(region, env, profile)) {
    set_global_endpoint(ep, "https://s3.amazonaws.com");
    return ep;
  }

  // Only the global services above may come this far without a region.
  const Partition& p = partition_for(*region);
  // The IAM Identity Center portal and its OIDC service have host prefixes of their own.
  const std::string prefix = service == "sso" ? "portal.sso" : service == "sso-oidc" ? "oidc" : service;
  ep.url = "https://" + prefix + "." + *region + "." + std::string(p.dns_suffix);
  ep.signing_region = *region;
  return ep;
}

std::string s3_object_url(const ResolvedEndpoint& endpoint, const std::string& bucket, const std::string& key) {
  const std::size_t scheme_end = endpoint.url.find("://");
  if (scheme_end == std::string::npos) throw ConfigError("Invalid endpoint: " + endpoint.url);
  const std::string scheme = endpoint.url.substr(0, scheme_end);
  const std::string encoded_key = percent_encode(key, "/");
  if (!endpoint.overridden && !endpoint.s3_path_style && virtual_hostable(bucket, scheme == "http")) {
    return scheme + "://" + bucket + "." + endpoint.url.substr(scheme_end + 3) + "/" + encoded_key;
  }
  return endpoint.url + "/" + percent_encode(bucket) + "/" + encoded_key;
}

}  // namespace quenfold_testlibs::awsapi
