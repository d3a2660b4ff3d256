// Renders service errors exactly as the reference SDK's ClientError does, so that log lines and
// the tool's error texts read the same as with that SDK.
#include "awsapi/base/error.h"

#include <string_view>

namespace quenfold_testlibs::awsapi {

namespace {
std::string render(const std::string& code, const std::string& message, const std::string& operation,
                   const std::optional<int>& retries) {
  std::string text = "An error occurred (";
  text += code.empty() ? "Unknown" : code;
  text += ") when calling the ";
  text += operation;
  text += " operation";
  if (retries) text += " (reached max retries: " + std::to_string(*retries) + ")";
  text += ": ";
  text += message.empty() ? "Unknown" : message;
  return text;
}
}  // namespace

ClientError::ClientError(std::string code, std::string message, std::string operation, int http_status,
                         std::string request_id, std::optional<int> retries)
    : AwsError(render(code, message, operation, retries)),
      code_(std::move(code)),
      message_(std::move(message)),
      operation_(std::move(operation)),
      http_status_(http_status),
      request_id_(std::move(request_id)),
      retries_(retries) {}

bool is_not_found(const std::string& code) {
  static constexpr std::string_view kSuffix = ".NotFound";
  if (code == "NoSuchEntity") return true;
  return code.size() > kSuffix.size() && code.compare(code.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

bool is_not_found(const std::exception& e) {
  const auto* ce = dynamic_cast<const ClientError*>(&e);
  return ce != nullptr && is_not_found(ce->code());
}

}  // namespace quenfold_testlibs::awsapi
