// Failures of the AWS access layer. A service's refusal is a ClientError and reads like the
// reference SDK's; transport, credential, parse and waiter failures are separate types, so
// callers can tell "AWS said no" from "we never got an answer".
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace quenfold_testlibs::awsapi {

class AwsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An error answer from a service: "An error occurred (Code) when calling the Operation operation: message".
// When the call ended on its last allowed attempt, `retries` holds the number of retries made and
// the text reads "... when calling the Operation operation (reached max retries: N): message".
// An empty code or message reads "Unknown", as the reference SDK renders an absent member.
class ClientError : public AwsError {
 public:
  ClientError(std::string code, std::string message, std::string operation, int http_status,
              std::string request_id = {}, std::optional<int> retries = std::nullopt);
  const std::string& code() const { return code_; }
  const std::string& message() const { return message_; }
  const std::string& operation() const { return operation_; }
  int http_status() const { return http_status_; }
  const std::string& request_id() const { return request_id_; }
  // Retries made before giving up, when the attempt limit was reached; absent otherwise.
  std::optional<int> max_retries_reached() const { return retries_; }

 private:
  std::string code_, message_, operation_;
  int http_status_;
  std::string request_id_;
  std::optional<int> retries_;
};

// No usable HTTP answer: connection refused or dropped, DNS failure, time-out, TLS failure.
class TransportError : public AwsError {
 public:
  TransportError(const std::string& what, bool timed_out = false) : AwsError(what), timed_out_(timed_out) {}
  bool timed_out() const { return timed_out_; }

 private:
  bool timed_out_;
};

// No credentials could be found, or a configured source of them is broken.
class CredentialsError : public AwsError {
 public:
  using AwsError::AwsError;
};

// An answer that could not be read (malformed XML or JSON, missing structure).
class ParseError : public AwsError {
 public:
  using AwsError::AwsError;
};

// A waiter reached a failure state or its attempt limit.
class WaiterError : public AwsError {
 public:
  // `code`: the service error code that ended the wait, when one did; `last_response`: the last
  // answer polled, so that a caller can say what state the resource was left in.
  explicit WaiterError(const std::string& what, std::string code = {},
                       nlohmann::ordered_json last_response = nlohmann::ordered_json())
      : AwsError(what), code_(std::move(code)), last_response_(std::move(last_response)) {}
  const std::string& code() const { return code_; }
  const nlohmann::ordered_json& last_response() const { return last_response_; }

 private:
  std::string code_;
  nlohmann::ordered_json last_response_;
};

// Bad or missing configuration (no region, unknown profile, bad endpoint URL).
class ConfigError : public AwsError {
 public:
  using AwsError::AwsError;
};

// True for the codes that say the named resource does not exist: EC2's "<Thing>.NotFound"
// (InvalidInstanceID.NotFound, InvalidGroup.NotFound, ...) and IAM's NoSuchEntity. For a deletion
// they mean "already gone"; right after a creation they may only mean "not visible yet".
bool is_not_found(const std::string& code);
bool is_not_found(const std::exception& e);

}  // namespace quenfold_testlibs::awsapi
