// Region and endpoint resolution: partitions (aws, aws-cn, aws-us-gov), IAM's global endpoint,
// STS regional or global, S3 addressing, and the AWS_ENDPOINT_URL overrides.
#pragma once

#include <optional>
#include <string>

#include "awsapi/base/environment.h"

namespace quenfold_testlibs::awsapi {

struct ResolvedEndpoint {
  std::string url;             // scheme://host[:port][/base-path], no trailing slash
  std::string signing_region;  // e.g. "us-east-1" for IAM in the aws partition
  std::string signing_name;    // "ec2", "iam", "sts", "ssm", "servicequotas", "s3"
  bool overridden = false;     // from AWS_ENDPOINT_URL[_SERVICE] or the profile's endpoint_url
  bool s3_path_style = false;  // S3 only: the profile asks for path style (s3.addressing_style = path)
};

// Region: explicit, else AWS_REGION, else AWS_DEFAULT_REGION, else the profile's "region".
std::optional<std::string> resolve_region(const std::optional<std::string>& explicit_region, const Environment& env,
                                          const Profile* profile);

// "aws", "aws-cn", "aws-us-gov" (and the isolated partitions "aws-iso", "aws-iso-b", "aws-iso-e",
// "aws-iso-f", "aws-eusc"); a region matching none of them belongs to "aws".
std::string partition_of(const std::string& region);

// Endpoint of `service` ("ec2", "iam", "sts", "ssm", "servicequotas", "s3"; "sso" and "sso-oidc",
// the IAM Identity Center portal and token service, at portal.sso.<region> and oidc.<region>) in
// `region` (may be empty for the global services; for the regional ones an absent region is a
// ConfigError "You must specify a region."). Honours AWS_STS_REGIONAL_ENDPOINTS /
// sts_regional_endpoints, AWS_S3_US_EAST_1_REGIONAL_ENDPOINT / s3.us_east_1_regional_endpoint,
// AWS_ENDPOINT_URL_<SERVICE ID> (AWS_ENDPOINT_URL_SSO_OIDC, AWS_ENDPOINT_URL_SERVICE_QUOTAS),
// AWS_ENDPOINT_URL, the profile's endpoint_url and AWS_IGNORE_CONFIGURED_ENDPOINT_URLS /
// ignore_configured_endpoint_urls. An overridden endpoint is signed for the given region
// (us-east-1 for IAM, STS and S3 without one). Invalid region names, settings and endpoint URLs
// are ConfigErrors.
ResolvedEndpoint resolve_endpoint(const std::string& service, const std::optional<std::string>& region,
                                  const Environment& env, const Profile* profile);

// URL of an S3 object: virtual-hosted style (https://bucket.s3.region.amazonaws.com/key) unless the
// bucket name is not DNS-compatible (dots under TLS, upper case, ...) or the endpoint is overridden,
// then path style (endpoint/bucket/key). The key is URI-encoded with '/' kept.
std::string s3_object_url(const ResolvedEndpoint& endpoint, const std::string& bucket, const std::string& key);

}  // namespace quenfold_testlibs::awsapi
