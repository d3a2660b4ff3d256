// Element look-ups shared by the XML protocols and the error parser: names compared without a
// namespace prefix, as the reference SDK compares them.
#pragma once

#include <string_view>

#include <pugixml.hpp>

namespace quenfold_testlibs::awsapi::xml {

inline std::string_view local_name(const pugi::xml_node& n) {
  std::string_view name = n.name();
  auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

// The first child element with that local name, or an empty node.
inline pugi::xml_node child_named(const pugi::xml_node& parent, std::string_view name) {
  for (auto c = parent.first_child(); c; c = c.next_sibling())
    if (c.type() == pugi::node_element && local_name(c) == name) return c;
  return {};
}

}  // namespace quenfold_testlibs::awsapi::xml
