// S3 objects over rest-xml: the bucket and key are URI labels (the key percent-encoded with '/'
// kept; the bucket handed to the endpoint layer, which puts it in the host or the path), other
// members travel as headers or query parameters. The answers of GetObject and PutObject are all
// headers; the object body itself is streamed by the client and never parsed here.
#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "awsapi/base/error.h"
#include "awsapi/protocol/shapes_wire.h"

namespace quenfold_testlibs::awsapi::wire {

namespace {

using shapes::Kind;
using shapes::Location;

[[noreturn]] void bad_param(const std::string& where, const std::string& what) {
  throw std::invalid_argument("invalid parameter " + where + ": " + what);
}

std::string text_of(const shapes::Shape& shape, const json& v, const std::string& where, bool in_header) {
  switch (shape.kind) {
    case Kind::Boolean:
      if (!v.is_boolean()) bad_param(where, "expected a boolean");
      return v.get<bool>() ? "true" : "false";
    case Kind::Integer:
      if (!v.is_number_integer()) bad_param(where, "expected an integer");
      return v.dump();
    case Kind::Double:
      if (!v.is_number()) bad_param(where, "expected a number");
      return v.dump();
    case Kind::Timestamp:
      if (!v.is_string()) bad_param(where, "expected a timestamp text");
      return in_header ? http_date_of_timestamp(v.get_ref<const std::string&>())
                       : normalize_timestamp(v.get_ref<const std::string&>());
    case Kind::String:
    case Kind::Blob:
      if (!v.is_string()) bad_param(where, "expected a string");
      return v.get<std::string>();
    default:
      bad_param(where, "not a scalar");
  }
}

// A URI label: the bucket is handed to the endpoint layer, the key becomes the path.
void put_uri_label(WireRequest& w, const shapes::Member& m, const json& v, const std::string& key) {
  std::string text = text_of(*m.shape, v, key, false);
  if (key == "Bucket")
    w.bucket = text;
  else if (key == "Key")
    w.path = "/" + percent_encode(text, "/");
  else
    bad_param(key, "unexpected URI member");
}

// A map member whose entries become headers named by the member's prefix and the entry's key.
void put_header_map(WireRequest& w, const shapes::Member& m, const json& v, const std::string& key) {
  if (!v.is_object()) bad_param(key, "expected an object");
  for (const auto& [k, item] : v.items()) {
    if (!item.is_string()) bad_param(dotted(key, k), "expected a string");
    w.headers.emplace_back(m.wire + k, item.get<std::string>());
  }
}

// Query parameters are joined by '&', name and value percent-encoded.
void put_query_parameter(WireRequest& w, const shapes::Member& m, const json& v, const std::string& key) {
  const std::string text = text_of(*m.shape, v, key, false);
  if (!w.query.empty()) w.query += '&';
  w.query += percent_encode(m.wire);
  w.query += '=';
  w.query += percent_encode(text);
}

void put_member(WireRequest& w, const shapes::Member& m, const json& v, const std::string& key) {
  switch (m.location) {
    case Location::Uri:
      put_uri_label(w, m, v, key);
      break;
    case Location::Header:
      w.headers.emplace_back(m.wire, text_of(*m.shape, v, key, true));
      break;
    case Location::HeaderPrefix:
      put_header_map(w, m, v, key);
      break;
    case Location::Query:
      put_query_parameter(w, m, v, key);
      break;
    case Location::Body:
      // Only the streaming payload lives in the body; a file upload is attached by the client.
      w.body = text_of(*m.shape, v, key, false);
      break;
  }
}

}  // namespace

WireRequest serialize_rest_xml(const shapes::ServiceModel&, const shapes::Operation& op, const json& params) {
  if (!params.is_object()) bad_param(op.name, "expected an object");
  WireRequest w;
  w.method = op.method;
  for (const auto& [key, v] : params.items()) {
    const auto* m = op.input->member(key);
    if (!m) bad_param(key, "unknown member of " + op.input->name);
    if (v.is_null()) continue;  // the reference SDK skips None here
    put_member(w, *m, v, key);
  }
  if (!w.bucket) bad_param("Bucket", "missing");
  if (op.input->member("Key") && (w.path.empty() || w.path == "/")) bad_param("Key", "missing");
  return w;
}

json parse_rest_xml_response(const shapes::ServiceModel&, const shapes::Operation& op, const HttpResponse& r) {
  json out = json::object();
  if (!op.output) return out;
  for (const auto& m : op.output->members) {
    if (m.location == Location::Header) {
      if (auto h = r.header(m.wire)) out[m.name] = scalar_from_text(*m.shape, *h);
    } else if (m.location == Location::HeaderPrefix) {
      json map = json::object();
      for (const auto& [name, value] : r.headers) {
        if (name.size() >= m.wire.size() && std::equal(m.wire.begin(), m.wire.end(), name.begin(), [](char a, char b) {
              return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            }))
          map[name.substr(m.wire.size())] = value;
      }
      out[m.name] = map;
    }
  }
  return out;
}

}  // namespace quenfold_testlibs::awsapi::wire
