// Region and endpoint resolution: partitions (aws, aws-cn, aws-us-gov), IAM's global endpoint,
// STS regional or global, S3 addressing, and the AWS_ENDPOINT_URL overrides.
#pragma once

#include <optional>
#include <string>

#include "awsapi/environment.h"

namespace quenfold_testlibs::awsapi {

struct ResolvedEndpoint {
  std::string url;             // scheme://host[:port][/base-path], no trailing slash
  std::string signing_region;  // e.g. "us-east-1" for IAM in the aws partition
  std::string signing_name;    // "ec2", "iam", "sts", "ssm", "s3"
  bool overridden = false;     // from AWS_ENDPOINT_URL[_SERVICE] or the profile's endpoint_url
};

// Region: explicit, else AWS_REGION, else AWS_DEFAULT_REGION, else the profile's "region".
std::optional<std::string> resolve_region(const std::optional<std::string>& explicit_region,
                                          const Environment& env, const Profile* profile);

std::string partition_of(const std::string& region);  // "aws", "aws-cn", "aws-us-gov"

// Endpoint of `service` ("ec2", "iam", "sts", "ssm", "s3") in `region` (may be empty for the global
// services; for the regional ones an absent region is a ConfigError "You must specify a region.").
ResolvedEndpoint resolve_endpoint(const std::string& service, const std::optional<std::string>& region,
                                  const Environment& env, const Profile* profile);

// URL of an S3 object: virtual-hosted style (https://bucket.s3.region.amazonaws.com/key) unless the
// bucket name is not DNS-compatible (dots under TLS, upper case, ...) or the endpoint is overridden,
// then path style (endpoint/bucket/key). The key is URI-encoded with '/' kept.
std::string s3_object_url(const ResolvedEndpoint& endpoint, const std::string& bucket, const std::string& key);

}  // namespace quenfold_testlibs::awsapi
