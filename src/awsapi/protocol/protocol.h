// The wire protocols: a request is JSON with the API's member names; the protocol turns it into
// the wire form (ec2 and query: form-encoded POST; json: SSM's and Service Quotas' JSON POST;
// rest-xml: S3 objects) and turns the answer back into JSON shaped as the reference SDK returns it
// (lists stay lists, integers and booleans typed, missing members absent). Pure functions, tested
// on data.
//
// Where the answer differs from the reference SDK's on purpose:
// - timestamps are ISO 8601 UTC text, "2026-12-07T21:00:00Z", with ".123" milliseconds when the
//   service sent a fraction (finer digits cut), whatever spelling the service used;
// - there is no ResponseMetadata (the request id of an error is in ErrorInfo);
// - S3 GetObject has no Body member: the client streams the body into a file.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "awsapi/transport/http.h"

namespace quenfold_testlibs::awsapi {

using json = nlohmann::ordered_json;

enum class Protocol { Ec2, Query, Json, RestXml };

// What the serialiser produces, before endpoint and signing are applied.
struct WireRequest {
  std::string method = "POST";
  std::string path = "/";  // already encoded; for S3 the object key path without the bucket
  std::string query;       // already encoded, without '?'
  Headers headers;         // content-type, x-amz-target, ...
  std::string body;
  std::optional<std::string> bucket;  // S3 only: the endpoint layer places it in host or path
};

struct ErrorInfo {
  std::string code;
  std::string message;
  std::string request_id;
};

Protocol protocol_of(const std::string& service);  // "ec2" -> Ec2, "iam"/"sts" -> Query, ...
std::string api_version_of(const std::string& service);

// The member that the service treats as an idempotency token (RunInstances' ClientToken), if the
// operation has one. The reference SDK fills it with a fresh UUID when the caller leaves it out;
// a client doing the same must fill it once per call, before any retry, so retries stay idempotent.
std::optional<std::string> idempotency_token_member(const std::string& service, const std::string& operation);

// Throws std::invalid_argument for an operation that the layer does not model, and for
// parameters that its input shape does not have or of the wrong JSON type (as the reference SDK's
// parameter validation refuses them).
WireRequest serialize_request(const std::string& service, const std::string& operation, const json& params);

// Parses a 2xx answer. Throws ParseError on a malformed body (never quoting it: answers such as
// AssumeRole's carry secrets), std::invalid_argument for an operation that is not modelled.
json parse_response(const std::string& service, const std::string& operation, const HttpResponse& response);

// Reads an error answer of any of the services' shapes (EC2 <Response><Errors>, query
// <ErrorResponse>, S3 <Error>, SSM's JSON __type). A body without an error gives the HTTP status
// as the code, as the reference SDK does, and its reason phrase as the message; so does an error
// body that cannot be read (where the reference SDK would raise a parse error instead).
ErrorInfo parse_error(const std::string& service, const HttpResponse& response);

}  // namespace quenfold_testlibs::awsapi
