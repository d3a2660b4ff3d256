// The test configuration: a JSON list with one entry per spoke gateway, read at the start of a
// run and written back, enriched, after a deployment.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "deploy_test_ec2/common/args.h"

namespace quenfold_testlibs {

using json = nlohmann::ordered_json;

// Reads and parses the whole file as one JSON document, keeping key order, with no search per
// inserted key (an object of n keys costs n log n, not n^2). A key given twice keeps its first place and its last
// value; an integer beyond 64 bits is kept digit for digit (for formatTestConfig). Throws TestConfigError naming the
// file and the problem, also for nesting deeper than 64 lists and objects and for anything but whitespace after the
// document (a NUL byte included).
json readTestConfig(const std::string& path);

// The output form: 2-space indentation, ": " between key and value, "," at line ends, keys in
// their order, non-ASCII as \uXXXX escapes (surrogate pairs beyond the basic plane), one final
// newline: the same bytes as Python's json.dumps(data, indent=2, ensure_ascii=True) + "\n"
// (integers beyond 64 bits as readTestConfig read them). Uses no recursion, whatever the depth.
std::string formatTestConfig(const json& data);

// Writes formatTestConfig(data) to `path` atomically: a temporary file in the same folder, then a
// rename, so that an interrupted write never leaves half a file. An existing file's permissions
// are kept; a symbolic link at `path` is replaced, never written through. Throws TestConfigError.
void writeTestConfig(const std::string& path, const json& data);

class TestConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The result tag: entry's gw_name + "-" + run tag, or "-" + run tag without an entry.
std::string deduceTag(const Args& args, const json* test_config = nullptr);

}  // namespace quenfold_testlibs
