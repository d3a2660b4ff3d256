// The tags every created resource gets: its Name first, then the --tag_resource pairs.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "deploy_test_ec2/common/args.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;

// Appends the --tag_resource pairs ("k1,v1,k2,v2") to a tag list, in order, after what is there.
void populateTags(json& data, const std::string& rt_tags);

// A tag specification list with one entry: {ResourceType, Tags: [{Key: Name, Value: name}, extra pairs]}.
json tagSpecifications(const std::string& resource_type, const std::string& name, const Args& args);

// Splits at every comma ("" gives one empty field).
std::vector<std::string> splitCommas(const std::string& text);

}  // namespace quenfold_testlibs
