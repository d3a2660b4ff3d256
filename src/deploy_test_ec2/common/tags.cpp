#include "deploy_test_ec2/common/tags.h"

namespace quenfold_testlibs {

std::vector<std::string> splitCommas(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t p = text.find(',', start);
    if (p == std::string::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, p - start));
    start = p + 1;
  }
}

void populateTags(json& data, const std::string& rt_tags) {
  auto fields = splitCommas(rt_tags);
  for (size_t i = 0; i + 1 < fields.size(); i += 2) {
    data.push_back(json{{"Key", fields[i]}, {"Value", fields[i + 1]}});
  }
}

json tagSpecifications(const std::string& resource_type, const std::string& name, const Args& args) {
  json tags = json::array({json{{"Key", "Name"}, {"Value", name}}});
  if (args.tag_resource) populateTags(tags, *args.tag_resource);
  return json::array({json{{"ResourceType", resource_type}, {"Tags", tags}}});
}

}  // namespace quenfold_testlibs
