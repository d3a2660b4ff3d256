#include "awsapi/error.h"

namespace quenfold_testlibs::awsapi {

ClientError::ClientError(std::string code, std::string message, std::string operation, int http_status,
                         std::string request_id)
    : AwsError("An error occurred (" + code + ") when calling the " + operation + " operation: " + message),
      code_(std::move(code)),
      message_(std::move(message)),
      operation_(std::move(operation)),
      http_status_(http_status),
      request_id_(std::move(request_id)) {}

}  // namespace quenfold_testlibs::awsapi
