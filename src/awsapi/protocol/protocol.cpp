// Dispatch from a service to its protocol, and the reading of error answers, which every
// protocol shares in part (a bare 5xx or an HTML page carries only its status).
#include "awsapi/protocol/protocol.h"

#include <pugixml.hpp>

#include "awsapi/protocol/shapes.h"
#include "awsapi/protocol/shapes_wire.h"
#include "awsapi/protocol/xml_nodes.h"

namespace quenfold_testlibs::awsapi {

Protocol protocol_of(const std::string& service) { return shapes::service_model(service).protocol; }

std::string api_version_of(const std::string& service) { return shapes::service_model(service).api_version; }

std::optional<std::string> idempotency_token_member(const std::string& service, const std::string& operation) {
  const auto& op = shapes::service_model(service).operation(operation);
  for (const auto& m : op.input->members)
    if (m.idempotency_token) return m.name;
  return std::nullopt;
}

WireRequest serialize_request(const std::string& service, const std::string& operation, const json& params) {
  const auto& model = shapes::service_model(service);
  const auto& op = model.operation(operation);
  switch (model.protocol) {
    case Protocol::Ec2:
    case Protocol::Query:
      return wire::serialize_form(model, op, params);
    case Protocol::Json:
      return wire::serialize_json(model, op, params);
    case Protocol::RestXml:
      return wire::serialize_rest_xml(model, op, params);
  }
  throw std::logic_error("unknown protocol");
}

json parse_response(const std::string& service, const std::string& operation, const HttpResponse& response) {
  const auto& model = shapes::service_model(service);
  const auto& op = model.operation(operation);
  switch (model.protocol) {
    case Protocol::Ec2:
    case Protocol::Query:
      return wire::parse_xml_response(model, op, response);
    case Protocol::Json:
      return wire::parse_json_response(model, op, response);
    case Protocol::RestXml:
      return wire::parse_rest_xml_response(model, op, response);
  }
  throw std::logic_error("unknown protocol");
}

namespace {

std::string_view trimmed(std::string_view s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

using xml::child_named;
using xml::local_name;

ErrorInfo from_status(const HttpResponse& r, std::string request_id = {}) {
  return {std::to_string(r.status), wire::http_reason(r.status), std::move(request_id)};
}

// EC2: <Response><Errors><Error>..</Error></Errors><RequestID>; query: <ErrorResponse><Error>..
// </Error><RequestId>; S3: <Error>..<RequestId></Error>.
ErrorInfo from_xml(const HttpResponse& r, Protocol protocol) {
  std::string header_id = r.header("x-amz-request-id").value_or("");
  pugi::xml_document doc;
  if (!doc.load_buffer(r.body.data(), r.body.size(), pugi::parse_default | pugi::parse_ws_pcdata_single) ||
      !doc.document_element())
    return from_status(r, protocol == Protocol::RestXml ? header_id : std::string());
  auto root = doc.document_element();
  pugi::xml_node error;
  if (local_name(root) == "Error")
    error = root;
  else if (auto errors = child_named(root, "Errors"))
    error = child_named(errors, "Error");
  else
    error = child_named(root, "Error");
  if (!error || !child_named(error, "Code")) return from_status(r, header_id);
  ErrorInfo e{child_named(error, "Code").text().get(), child_named(error, "Message").text().get(), {}};
  if (protocol == Protocol::RestXml && !header_id.empty()) {
    e.request_id = header_id;
  } else {
    auto id = child_named(root, "RequestID");
    if (!id) id = child_named(root, "RequestId");
    e.request_id = id.text().get();
  }
  return e;
}

// {"__type": "com.amazonaws.ssm#ParameterNotFound", "message": "..."}
ErrorInfo from_json(const HttpResponse& r) {
  json body = r.body.empty() ? json::object() : json::parse(r.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) body = json{{"message", r.body}};
  ErrorInfo e;
  for (const char* key : {"message", "Message"}) {
    auto it = body.find(key);
    if (it != body.end() && it->is_string()) {
      e.message = it->get<std::string>();
      break;
    }
  }
  auto type = body.find("__type");
  std::string code = type != body.end() && type->is_string() ? type->get<std::string>() : std::to_string(r.status);
  if (auto colon = code.find(':'); colon != std::string::npos) code.resize(colon);
  if (auto hash = code.rfind('#'); hash != std::string::npos) code = code.substr(hash + 1);
  // Services that also speak the query protocol name the query error code in a header.
  if (auto q = r.header("x-amzn-query-error")) code = q->substr(0, q->find(';'));
  e.code = code;
  e.request_id = r.header("x-amzn-requestid").value_or("");
  return e;
}

}  // namespace

ErrorInfo parse_error(const std::string& service, const HttpResponse& response) {
  Protocol protocol = protocol_of(service);
  std::string_view body = trimmed(response.body);
  if (response.status >= 500 && (body.empty() || body.starts_with("<html>"))) return from_status(response);
  if (protocol == Protocol::Json) return from_json(response);
  if (body.empty())
    return from_status(
        response, protocol == Protocol::RestXml ? response.header("x-amz-request-id").value_or("") : std::string());
  return from_xml(response, protocol);
}

}  // namespace quenfold_testlibs::awsapi
