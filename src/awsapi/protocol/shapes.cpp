// Reads the compact shape tables into linked Shape records, once per service.
#include "awsapi/protocol/shapes.h"

#include <array>
#include <cctype>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string_view>

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
  if (it == operations.end()) throw std::invalid_argument("operation " + name + " of " + service + " is not modelled");
  return it->second;
}

namespace {

// The anonymous shapes that are not lists, by type text: the scalars and the string map.
struct AnonymousType {
  std::string_view text;
  Kind kind;
};
constexpr std::array<AnonymousType, 7> kAnonymousTypes{{{"", Kind::String},
                                                        {"i", Kind::Integer},
                                                        {"b", Kind::Boolean},
                                                        {"t", Kind::Timestamp},
                                                        {"d", Kind::Double},
                                                        {"B", Kind::Blob},
                                                        {"{}", Kind::Map}}};

std::optional<Kind> anonymous_kind(std::string_view t) {
  for (const auto& a : kAnonymousTypes)
    if (a.text == t) return a.kind;
  return std::nullopt;
}

// Member and wire names are made of letters, digits, '-' and '_'.
bool is_word_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; }

// The name that starts at token[i] (empty when there is none); moves i past it.
std::string read_word(const std::string& token, std::size_t& i) {
  const std::size_t start = i;
  while (i < token.size() && is_word_char(token[i])) ++i;
  return token.substr(start, i - start);
}

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
    if (const auto kind = anonymous_kind(t)) {
      auto& slot = anonymous_slot(t);
      if (!slot) slot = anonymous_shape(t, *kind);
      return slot.get();
    }
    if (t.front() == '[') return list_type(t);
    return structure(t);
  }

  // "[elem]": a list of the element type, which is read before the list shape is made.
  const Shape* list_type(const std::string& t) {
    if (t.back() != ']') fail("bad list type " + t);
    auto& slot = anonymous_slot(t);
    if (!slot) {
      const Shape* element = type(t.substr(1, t.size() - 2));
      slot = anonymous_shape(t, Kind::List);
      slot->element = element;
    }
    return slot.get();
  }

  // An anonymous shape is kept under "#" and its type text; the slot is empty until made.
  std::unique_ptr<Shape>& anonymous_slot(const std::string& t) { return model_->shapes["#" + t]; }

  static std::unique_ptr<Shape> anonymous_shape(const std::string& t, Kind kind) {
    auto shape = std::make_unique<Shape>();
    shape->name = "#" + t;
    shape->kind = kind;
    return shape;
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
    m.name = read_word(token, i);
    if (m.name.empty()) fail("bad member token " + token);
    m.wire = m.name;
    if (text_.protocol == Protocol::Ec2) m.wire[0] = static_cast<char>(std::tolower(m.wire[0]));
    while (i < token.size() && token[i] != ':') read_modifier(m, token, i);
    m.shape = type(i < token.size() ? token.substr(i + 1) : std::string());
    return m;
  }

  // One of @wire, ^queryName, * and !loc, at token[i]; moves i past it.
  void read_modifier(Member& m, const std::string& token, std::size_t& i) const {
    switch (token[i++]) {
      case '@':
        m.wire = read_word(token, i);
        break;
      case '^':
        m.query_name = read_word(token, i);
        break;
      case '*':
        m.idempotency_token = true;
        break;
      case '!':
        m.location = read_location(token, i);
        break;
      default:
        fail("bad member token " + token);
    }
  }

  // The letter after '!' (at token[i], if any); moves i past it.
  Location read_location(const std::string& token, std::size_t& i) const {
    const char letter = i < token.size() ? token[i++] : '\0';
    switch (letter) {
      case 'h':
        return Location::Header;
      case 'H':
        return Location::HeaderPrefix;
      case 'q':
        return Location::Query;
      case 'u':
        return Location::Uri;
      default:
        fail("bad location in " + token);
    }
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
    for (const ServiceText* t : {&kEc2Text, &kIamText, &kStsText, &kSsmText, &kServiceQuotasText, &kS3Text})
      m.emplace(t->service, build_model(*t));
    return m;
  }();
  auto it = models.find(service);
  if (it == models.end()) throw std::invalid_argument("service " + service + " is not modelled");
  return *it->second;
}

}  // namespace quenfold_testlibs::awsapi::shapes
