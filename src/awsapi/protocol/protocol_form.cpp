// The ec2 and query protocols: requests are form-encoded POST bodies (Action, Version, then the
// parameters flattened to dotted names), answers are XML read by walking the output shape.
// EC2 differs from query in three ways: names come from the member's queryName or its
// capitalised wire name, lists are Name.N (query: Name.member.N, and an empty list is sent as
// "Name="), and the answer has no <OpResult> wrapper.
#include <pugixml.hpp>

#include <cctype>
#include <stdexcept>

#include "awsapi/base/error.h"
#include "awsapi/protocol/shapes_wire.h"
#include "awsapi/protocol/xml_nodes.h"

namespace quenfold_testlibs::awsapi::wire {

namespace {

using shapes::Kind;
using shapes::Member;
using shapes::Shape;
using Fields = std::vector<std::pair<std::string, std::string>>;

[[noreturn]] void bad_param(const std::string& where, const std::string& what) {
  throw std::invalid_argument("invalid parameter " + where + ": " + what);
}

// A member's flattened name: its own name at the top level, dotted below.
std::string member_path(const std::string& prefix, const std::string& name) {
  return prefix.empty() ? name : dotted(prefix, name);
}

class FormWriter {
 public:
  FormWriter(bool ec2, Fields& out) : ec2_(ec2), out_(out) {}

  void value(const Shape& shape, const json& v, const std::string& prefix) {
    switch (shape.kind) {
      case Kind::Structure:
        structure(shape, v, prefix);
        break;
      case Kind::List:
        list(shape, v, prefix);
        break;
      case Kind::Map:
        map(v, prefix);
        break;
      case Kind::Boolean:
        if (!v.is_boolean()) bad_param(prefix, "expected a boolean");
        out_.emplace_back(prefix, v.get<bool>() ? "true" : "false");
        break;
      case Kind::Integer:
        if (!v.is_number_integer()) bad_param(prefix, "expected an integer");
        out_.emplace_back(prefix, v.dump());
        break;
      case Kind::Double:
        if (!v.is_number()) bad_param(prefix, "expected a number");
        out_.emplace_back(prefix, v.dump());
        break;
      case Kind::Timestamp:
        if (!v.is_string()) bad_param(prefix, "expected a timestamp text");
        out_.emplace_back(prefix, normalize_timestamp(v.get_ref<const std::string&>()));
        break;
      case Kind::String:
      case Kind::Blob:
        if (!v.is_string()) bad_param(prefix, "expected a string");
        out_.emplace_back(prefix, v.get<std::string>());
        break;
    }
  }

  void structure(const Shape& shape, const json& v, const std::string& prefix) {
    if (!v.is_object()) bad_param(prefix.empty() ? shape.name : prefix, "expected an object");
    for (const auto& [key, item] : v.items()) {
      const Member* m = shape.member(key);
      if (!m) bad_param(member_path(prefix, key), "unknown member of " + shape.name);
      if (item.is_null()) bad_param(key, "null value");
      std::string name = name_of(*m);
      value(*m->shape, item, member_path(prefix, name));
    }
  }

  void list(const Shape& shape, const json& v, const std::string& prefix) {
    if (!v.is_array()) bad_param(prefix, "expected a list");
    if (v.empty()) {
      if (!ec2_) out_.emplace_back(prefix, "");
      return;
    }
    std::string base = ec2_ ? prefix : prefix + ".member";
    std::size_t i = 0;
    for (const auto& item : v) value(*shape.element, item, base + "." + std::to_string(++i));
  }

  void map(const json& v, const std::string& prefix) {
    if (!v.is_object()) bad_param(prefix, "expected an object");
    std::size_t i = 0;
    for (const auto& [key, item] : v.items()) {
      if (!item.is_string()) bad_param(dotted(prefix, key), "expected a string");
      std::string entry = prefix + ".entry." + std::to_string(++i);
      out_.emplace_back(entry + ".key", key);
      out_.emplace_back(entry + ".value", item.get<std::string>());
    }
  }

 private:
  std::string name_of(const Member& m) const {
    if (!ec2_) return m.wire;
    if (!m.query_name.empty()) return m.query_name;
    std::string n = m.wire;
    n[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(n[0])));
    return n;
  }

  bool ec2_;
  Fields& out_;
};

using xml::child_named;
using xml::local_name;

// The element's text as the reference SDK reads it: its character data (CDATA included) up to
// its first child element.
std::string element_text(const pugi::xml_node& node) {
  std::string text;
  for (auto c = node.first_child(); c && c.type() != pugi::node_element; c = c.next_sibling())
    if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) text += c.value();
  return text;
}

json read_value(const Shape& shape, const pugi::xml_node& node);

json read_structure(const Shape& shape, const pugi::xml_node& node) {
  // One pass over the children; the first element of each wire name counts, and members come
  // out in the shape's order, as the reference SDK gives them.
  std::vector<pugi::xml_node> found(shape.members.size());
  for (auto c = node.first_child(); c; c = c.next_sibling()) {
    if (c.type() != pugi::node_element) continue;
    if (const Member* m = shape.member_by_wire(local_name(c))) {
      auto& slot = found[static_cast<std::size_t>(m - shape.members.data())];
      if (!slot) slot = c;
    }
  }
  json out = json::object();
  for (std::size_t i = 0; i < found.size(); ++i)
    if (found[i]) out[shape.members[i].name] = read_value(*shape.members[i].shape, found[i]);
  return out;
}

json read_value(const Shape& shape, const pugi::xml_node& node) {
  switch (shape.kind) {
    case Kind::Structure:
      return read_structure(shape, node);
    case Kind::List: {
      // Every child element is an entry, whatever its name (<item> for EC2, <member> for query).
      json out = json::array();
      for (auto c = node.first_child(); c; c = c.next_sibling())
        if (c.type() == pugi::node_element) out.push_back(read_value(*shape.element, c));
      return out;
    }
    case Kind::Map: {
      json out = json::object();
      for (auto entry = node.first_child(); entry; entry = entry.next_sibling())
        if (entry.type() == pugi::node_element)
          out[child_named(entry, "key").text().get()] = child_named(entry, "value").text().get();
      return out;
    }
    default:
      return scalar_from_text(shape, element_text(node));
  }
}

}  // namespace

WireRequest serialize_form(const shapes::ServiceModel& model, const shapes::Operation& op, const json& params) {
  Fields fields{{"Action", op.name}, {"Version", model.api_version}};
  FormWriter writer(model.protocol == Protocol::Ec2, fields);
  writer.structure(*op.input, params.is_null() ? json::object() : params, "");
  WireRequest w;
  w.method = "POST";
  w.path = "/";
  w.headers.emplace_back("Content-Type", "application/x-www-form-urlencoded; charset=utf-8");
  w.body = form_encode(fields);
  return w;
}

json parse_xml_response(const shapes::ServiceModel& model, const shapes::Operation& op, const HttpResponse& r) {
  pugi::xml_document doc;
  auto ok = doc.load_buffer(r.body.data(), r.body.size(), pugi::parse_default | pugi::parse_ws_pcdata_single);
  auto root = doc.document_element();
  // The body is never quoted here: some answers (AssumeRole) carry secrets.
  if (!ok || !root)
    throw ParseError("unreadable " + op.name + " answer: " + (ok ? std::string("no XML element") : ok.description()) +
                     " at offset " + std::to_string(ok.offset));
  if (!op.output) return json::object();
  pugi::xml_node start = root;
  if (model.protocol == Protocol::Query) {
    start = child_named(root, op.name + "Result");
    if (!start) throw ParseError("the " + op.name + " answer has no <" + op.name + "Result> element");
  }
  return read_structure(*op.output, start);
}

}  // namespace quenfold_testlibs::awsapi::wire
