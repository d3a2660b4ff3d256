// AWS Signature Version 4. Written here because no packaged C++ library signs AWS requests;
// the contract tests compare every signature with the reference SDK's.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

#include "awsapi/base/credentials_value.h"
#include "awsapi/transport/http.h"

namespace quenfold_testlibs::awsapi {

struct SigningInput {
  std::string service;  // signing name: "ec2", "iam", "sts", "ssm", "servicequotas", "s3"
  std::string region;   // signing region
  std::chrono::system_clock::time_point time;
  bool s3 = false;  // S3 rules: x-amz-content-sha256 header, path not encoded twice
};

// Sets host (from the URL), x-amz-date, x-amz-security-token (with a session token),
// x-amz-content-sha256 (S3) and authorization on `request`, and signs every other header present
// except the hop-by-hop ones and user-agent, as the reference SDK does. `payload_sha256_hex` is the
// hex SHA-256 of the body (of upload_file when streaming); when empty it is computed here. Replaces
// earlier signing headers (a stale security token included), so a retried or redirected request
// can be signed again. The URL's path and query must already be encoded.
void sign_request(HttpRequest& request, const Credentials& credentials, const SigningInput& input,
                  const std::string& payload_sha256_hex);

std::string sha256_hex(std::string_view data);
std::string sha256_file_hex(const std::filesystem::path& file);

}  // namespace quenfold_testlibs::awsapi
