// The credentials a request is signed with. A plain record, below both the signer that uses it
// and the providers that make it.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace quenfold_testlibs::awsapi {

struct Credentials {
  std::string access_key_id;
  std::string secret_access_key;
  std::string session_token;  // empty for long-term keys
  std::optional<std::chrono::system_clock::time_point> expiration;
};

}  // namespace quenfold_testlibs::awsapi
