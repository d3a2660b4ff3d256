// The JSON 1.1 protocol of SSM and Service Quotas: the parameters as a JSON body (members renamed
// to their wire names, timestamps as epoch seconds) behind X-Amz-Target "<prefix>.<Operation>";
// the answer is JSON walked through the output shape, so that only modelled members come back,
// timestamps normalised.
#include <cmath>
#include <stdexcept>

#include "awsapi/base/error.h"
#include "awsapi/protocol/shapes_wire.h"

namespace quenfold_testlibs::awsapi::wire {

namespace {

using shapes::Kind;
using shapes::Shape;

[[noreturn]] void bad_param(const std::string& where, const std::string& what) {
  throw std::invalid_argument("invalid parameter " + where + ": " + what);
}

json write_value(const Shape& shape, const json& v, const std::string& where);

// Members are renamed to their wire names; an unknown or null member is refused by its API name.
json write_structure(const Shape& shape, const json& v, const std::string& where) {
  if (!v.is_object()) bad_param(where, "expected an object");
  json out = json::object();
  for (const auto& [key, item] : v.items()) {
    const auto* m = shape.member(key);
    if (!m) bad_param(key, "unknown member of " + shape.name);
    if (item.is_null()) bad_param(key, "null value");
    out[m->wire] = write_value(*m->shape, item, key);
  }
  return out;
}

json write_list(const Shape& shape, const json& v, const std::string& where) {
  if (!v.is_array()) bad_param(where, "expected a list");
  json out = json::array();
  for (const auto& item : v) out.push_back(write_value(*shape.element, item, where));
  return out;
}

// A timestamp goes out as whole epoch seconds; a number is taken as epoch seconds already.
json write_timestamp(const json& v, const std::string& where) {
  if (v.is_number()) return v;
  if (!v.is_string()) bad_param(where, "expected a timestamp");
  return static_cast<std::int64_t>(std::floor(epoch_of_timestamp(v.get_ref<const std::string&>())));
}

// Maps and the other scalars go out as given, once their JSON type is the one the shape wants.
json write_as_given(Kind kind, const json& v, const std::string& where) {
  switch (kind) {
    case Kind::Map:
      if (!v.is_object()) bad_param(where, "expected an object");
      break;
    case Kind::Boolean:
      if (!v.is_boolean()) bad_param(where, "expected a boolean");
      break;
    case Kind::Integer:
      if (!v.is_number_integer()) bad_param(where, "expected an integer");
      break;
    case Kind::Double:
      if (!v.is_number()) bad_param(where, "expected a number");
      break;
    default:
      if (!v.is_string()) bad_param(where, "expected a string");
  }
  return v;
}

json write_value(const Shape& shape, const json& v, const std::string& where) {
  switch (shape.kind) {
    case Kind::Structure:
      return write_structure(shape, v, where);
    case Kind::List:
      return write_list(shape, v, where);
    case Kind::Timestamp:
      return write_timestamp(v, where);
    default:
      return write_as_given(shape.kind, v, where);
  }
}

json read_value(const Shape& shape, const json& v) {
  switch (shape.kind) {
    case Kind::Structure: {
      if (!v.is_object()) return v;  // passed through as the reference SDK does
      json out = json::object();
      for (const auto& m : shape.members) {
        auto it = v.find(m.wire);
        if (it != v.end() && !it->is_null()) out[m.name] = read_value(*m.shape, *it);
      }
      return out;
    }
    case Kind::List: {
      if (!v.is_array()) return v;
      json out = json::array();
      for (const auto& item : v) out.push_back(item.is_null() ? item : read_value(*shape.element, item));
      return out;
    }
    case Kind::Timestamp:
      if (v.is_number()) return timestamp_from_epoch(v.get<double>());
      if (v.is_string()) return normalize_timestamp(v.get_ref<const std::string&>());
      return v;
    default:
      return v;
  }
}

}  // namespace

WireRequest serialize_json(const shapes::ServiceModel& model, const shapes::Operation& op, const json& params) {
  WireRequest w;
  w.method = op.method;
  w.path = "/";
  w.headers.emplace_back("X-Amz-Target", model.target_prefix + "." + op.name);
  w.headers.emplace_back("Content-Type", "application/x-amz-json-1.1");
  w.body = sdk_json_text(write_value(*op.input, params.is_null() ? json::object() : params, op.name));
  return w;
}

json parse_json_response(const shapes::ServiceModel&, const shapes::Operation& op, const HttpResponse& r) {
  if (!op.output) return json::object();
  if (r.body.empty()) return json::object();
  json body = json::parse(r.body, nullptr, false);
  // The body is never quoted here: it may carry a decrypted parameter.
  if (body.is_discarded()) throw ParseError("unreadable " + op.name + " answer: not JSON");
  if (!body.is_object()) throw ParseError("unreadable " + op.name + " answer: not a JSON object");
  return read_value(*op.output, body);
}

}  // namespace quenfold_testlibs::awsapi::wire
