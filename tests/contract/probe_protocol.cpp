// Runs our protocol layer on cases read as a JSON list from standard input and prints one JSON
// result per case, for test_protocol.py to compare with the reference SDK:
//   {"kind": "serialize", "service", "operation", "params"}
//       -> {"method", "path", "query", "headers": [[name, value]...], "body", "bucket"}
//   {"kind": "parse", "service", "operation", "status", "headers": {...}, "body"} -> {"result"}
//   {"kind": "error", "service", "status", "headers", "body"} -> {"code", "message", "request_id"}
//   {"kind": "model", "service", "operation"} -> {"input": tree, "output": tree}, the members our
//       shape table knows, as {member: subtree} (null for a scalar, a list's subtree is its element's)
// A case that throws gives {"exception": type, "message": text}.
#include <cctype>
#include <iostream>
#include <iterator>
#include <string>

#include "awsapi/base/error.h"
#include "awsapi/protocol/protocol.h"
#include "awsapi/protocol/shapes.h"

using namespace quenfold_testlibs::awsapi;

namespace {

HttpResponse response_of(const json& c) {
  HttpResponse r;
  r.status = c.value("status", 200);
  const json headers = c.value("headers", json::object());
  for (const auto& [name, value] : headers.items()) {
    std::string lower = name;
    for (char& ch : lower) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    r.headers.emplace_back(lower, value.get<std::string>());
  }
  r.body = c.value("body", "");
  return r;
}

json tree_of(const shapes::Shape* shape) {
  if (!shape) return nullptr;
  if (shape->kind == shapes::Kind::List) return tree_of(shape->element);
  if (shape->kind != shapes::Kind::Structure) return nullptr;
  json t = json::object();
  for (const auto& m : shape->members) t[m.name] = tree_of(m.shape);
  return t;
}

json run(const json& c) {
  const std::string kind = c.at("kind");
  const std::string service = c.at("service");
  if (kind == "serialize") {
    WireRequest w = serialize_request(service, c.at("operation"), c.value("params", json::object()));
    json headers = json::array();
    for (const auto& [k, v] : w.headers) headers.push_back({k, v});
    return {{"method", w.method}, {"path", w.path}, {"query", w.query},
            {"headers", headers}, {"body", w.body}, {"bucket", w.bucket ? json(*w.bucket) : json()}};
  }
  if (kind == "parse") return {{"result", parse_response(service, c.at("operation"), response_of(c))}};
  if (kind == "model") {
    const auto& op = shapes::service_model(service).operation(c.at("operation"));
    return {{"input", tree_of(op.input)}, {"output", tree_of(op.output)}};
  }
  if (kind == "error") {
    ErrorInfo e = parse_error(service, response_of(c));
    return {{"code", e.code}, {"message", e.message}, {"request_id", e.request_id}};
  }
  throw std::invalid_argument("unknown case kind " + kind);
}

}  // namespace

int main() {
  std::string input{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
  json cases = json::parse(input);
  json results = json::array();
  for (const auto& c : cases) {
    try {
      results.push_back(run(c));
    } catch (const ParseError& e) {
      results.push_back({{"exception", "ParseError"}, {"message", e.what()}});
    } catch (const std::invalid_argument& e) {
      results.push_back({{"exception", "invalid_argument"}, {"message", e.what()}});
    } catch (const std::exception& e) {
      results.push_back({{"exception", "other"}, {"message", e.what()}});
    }
  }
  std::cout << results.dump(-1, ' ', false, json::error_handler_t::replace) << "\n";
  return 0;
}
