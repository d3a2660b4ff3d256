// Reads the compact shape tables into linked Shape records, once per service.
#include "awsapi/shapes.h"

#include <cctype>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace quenfold_testlibs::awsapi::shapes {

const Member* Shape::member(const std::string& n) const {
  for (const auto& m : members)
    if (m.name == n) return &m;
  return nullptr;
}

const Member* Shape::member_by_wire(std::string_view wire) const {
  auto it = wire_index.find(wire);
  return it == wire_index.end() ? nullptr : &members[it->second];
}

const Operation& ServiceModel::operation(const std::string& name) const {
  auto it = operations.find(name);
  if (it == operations.end())
    throw std::invalid_argument("operation " + name + " of " + service + " is not modelled");
  return it->second;
}

namespace {

class Builder {
 public:
  explicit Builder(const ServiceText& text) : text_(text), model_(std::make_unique<ServiceModel>()) {
    model_->service = text.service;
    model_->protocol = text.protocol;
    model_->api_version = text.api_version;
    model_->target_prefix = text.target_prefix;
  }

  std::unique_ptr<ServiceModel> build() {
    // Two passes: create every structure first so that members can point at shapes defined later.
    for (std::size_t i = 0; i < text_.shape_count; ++i) {
      auto s = std::make_unique<Shape>();
      s->name = text_.shapes[i].name;
      s->kind = Kind::Structure;
      if (!model_->shapes.emplace(s->name, std::move(s)).second)
        fail(std::string("shape defined twice: ") + text_.shapes[i].name);
    }
    for (std::size_t i = 0; i < text_.shape_count; ++i) read_members(text_.shapes[i]);
    for (std::size_t i = 0; i < text_.operation_count; ++i) {
      const auto& o = text_.operations[i];
      Operation op;
      op.name = o.name;
      op.method = o.method;
      op.input = structure(o.input);
      op.output = *o.output ? structure(o.output) : nullptr;
      model_->operations.emplace(op.name, op);
    }
    return std::move(model_);
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::logic_error(std::string("shape table of ") + text_.service + ": " + what);
  }

  const Shape* structure(const std::string& name) {
    auto it = model_->shapes.find(name);
    if (it == model_->shapes.end()) fail("unknown shape " + name);
    return it->second.get();
  }

  // Scalars, maps and lists are anonymous shapes, shared by type text ("i", "[Tag]", ...).
  const Shape* type(const std::string& t) {
    if (t.empty() || t == "i" || t == "b" || t == "t" || t == "d" || t == "B" || t == "{}") {
      auto& slot = model_->shapes["#" + t];
      if (!slot) {
        slot = std::make_unique<Shape>();
        slot->name = "#" + t;
        slot->kind = t.empty() ? Kind::String
                     : t == "i" ? Kind::Integer
                     : t == "b" ? Kind::Boolean
                     : t == "t" ? Kind::Timestamp
                     : t == "d" ? Kind::Double
                     : t == "B" ? Kind::Blob
                                : Kind::Map;
      }
      return slot.get();
    }
    if (t.front() == '[') {
      if (t.back() != ']') fail("bad list type " + t);
      auto& slot = model_->shapes["#" + t];
      if (!slot) {
        const Shape* element = type(t.substr(1, t.size() - 2));
        slot = std::make_unique<Shape>();
        slot->name = "#" + t;
        slot->kind = Kind::List;
        slot->element = element;
      }
      return slot.get();
    }
    return structure(t);
  }

  void read_members(const ShapeText& st) {
    Shape& shape = *model_->shapes.at(st.name);
    std::istringstream in(st.members);
    std::string token;
    while (in >> token) shape.members.push_back(read_member(token));
    for (std::size_t i = 0; i < shape.members.size(); ++i)
      if (shape.members[i].location == Location::Body) shape.wire_index.emplace(shape.members[i].wire, i);
  }

  // Name[@wire][^queryName][!loc][*][:type]
  Member read_member(const std::string& token) {
    Member m;
    std::size_t i = 0;
    auto word = [&] {
      std::size_t start = i;
      while (i < token.size() && (std::isalnum(static_cast<unsigned char>(token[i])) || token[i] == '-' ||
                                  token[i] == '_'))
        ++i;
      return token.substr(start, i - start);
    };
    m.name = word();
    if (m.name.empty()) fail("bad member token " + token);
    m.wire = m.name;
    if (text_.protocol == Protocol::Ec2) m.wire[0] = static_cast<char>(std::tolower(m.wire[0]));
    while (i < token.size() && token[i] != ':') {
      char c = token[i++];
      if (c == '@') {
        m.wire = word();
      } else if (c == '^') {
        m.query_name = word();
      } else if (c == '*') {
        m.idempotency_token = true;
      } else if (c == '!') {
        char l = i < token.size() ? token[i++] : '\0';
        m.location = l == 'h'   ? Location::Header
                     : l == 'H' ? Location::HeaderPrefix
                     : l == 'q' ? Location::Query
                     : l == 'u' ? Location::Uri
                                : (fail("bad location in " + token), Location::Body);
      } else {
        fail("bad member token " + token);
      }
    }
    m.shape = type(i < token.size() ? token.substr(i + 1) : std::string());
    return m;
  }

  const ServiceText& text_;
  std::unique_ptr<ServiceModel> model_;
};

}  // namespace

std::unique_ptr<ServiceModel> build_model(const ServiceText& text) { return Builder(text).build(); }

const ServiceModel& service_model(const std::string& service) {
  // Built once, on first use; a magic static is thread-safe.
  static const auto models = [] {
    std::map<std::string, std::unique_ptr<ServiceModel>> m;
    for (const ServiceText* t : {&kEc2Text, &kIamText, &kStsText, &kSsmText, &kS3Text})
      m.emplace(t->service, build_model(*t));
    return m;
  }();
  auto it = models.find(service);
  if (it == models.end()) throw std::invalid_argument("service " + service + " is not modelled");
  return *it->second;
}

}  // namespace quenfold_testlibs::awsapi::shapes
