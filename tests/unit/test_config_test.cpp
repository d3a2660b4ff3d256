#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "deploy_test_ec2/common/tags.h"
#include "deploy_test_ec2/common/test_config.h"
#include "deploy_test_ec2/driver/driver.h"

using namespace quenfold_testlibs;
namespace fs = std::filesystem;

namespace {
fs::path tempDir() {
  auto d = fs::temp_directory_path() / ("qtl-cfg-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}
std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

// Expected bytes produced by Python's json.dumps(data, indent=2, ensure_ascii=True) + "\n".
TEST(TestConfigOutput, MatchesPythonJsonDumpsByteForByte) {
  const std::string input = R"([{"gw_name":"spoke-é","gw_subnet_id":"subnet-1","n":1.5,"big":1e16,"small":1e-05,
    "x":1000000000000000.0,"t":true,"nil":null,"nested":{"a":[],"b":{}},"emoji":"😀",
    "ctl":"a\u007fb\u0001\t\"\\/","ec2_ip":"1.2.3.4"}])";
  const std::string expected =
      "[\n  {\n    \"gw_name\": \"spoke-\\u00e9\",\n    \"gw_subnet_id\": \"subnet-1\",\n    \"n\": 1.5,\n"
      "    \"big\": 1e+16,\n    \"small\": 1e-05,\n    \"x\": 1000000000000000.0,\n    \"t\": true,\n"
      "    \"nil\": null,\n    \"nested\": {\n      \"a\": [],\n      \"b\": {}\n    },\n"
      "    \"emoji\": \"\\ud83d\\ude00\",\n    \"ctl\": \"a\\u007fb\\u0001\\t\\\"\\\\/\",\n"
      "    \"ec2_ip\": \"1.2.3.4\"\n  }\n]\n";
  EXPECT_EQ(formatTestConfig(json::parse(input)), expected);
}

TEST(TestConfigOutput, ExistingKeyKeepsItsPlaceAndNewKeysGoLast) {
  json data = json::parse(R"([{"ec2_ip":"old","gw_subnet_id":"s","extra":{"k":[1,2]}}])");
  data[0]["ec2_2nd_private_ip"] = "10.0.101.5";
  data[0]["ec2_ip"] = "203.0.113.9";
  EXPECT_EQ(formatTestConfig(data),
            "[\n  {\n    \"ec2_ip\": \"203.0.113.9\",\n    \"gw_subnet_id\": \"s\",\n    \"extra\": {\n"
            "      \"k\": [\n        1,\n        2\n      ]\n    },\n    \"ec2_2nd_private_ip\": \"10.0.101.5\"\n"
            "  }\n]\n");
}

TEST(TestConfigFiles, WriteIsAtomicAndReadsBack) {
  auto d = tempDir();
  auto out = d / "out.json";
  std::ofstream(out) << "old contents that must be replaced whole";
  json data = json::parse(R"([{"a":"b"}])");
  writeTestConfig(out.string(), data);
  EXPECT_EQ(slurp(out), formatTestConfig(data));
  EXPECT_EQ(readTestConfig(out.string()), data);
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(d), fs::directory_iterator()), 1);
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_NE(st.st_mode & 0044, 0u) << "an output configuration is an ordinary, readable file";
}

TEST(TestConfigFiles, ErrorsNameTheFileAndTheProblem) {
  auto d = tempDir();
  try {
    readTestConfig((d / "missing.json").string());
    FAIL();
  } catch (const TestConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("missing.json"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos);
  }
  std::ofstream(d / "bad.json") << "[{\"a\": ";
  try {
    readTestConfig((d / "bad.json").string());
    FAIL();
  } catch (const TestConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("bad.json is not valid JSON"), std::string::npos);
  }
  try {
    readTestConfig(d.string());
    FAIL();
  } catch (const TestConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("it is a directory"), std::string::npos) << e.what();
  }
  EXPECT_THROW(writeTestConfig((d / "no-such-dir" / "out.json").string(), json::array()), TestConfigError);
}

TEST(Tags, PopulateTagsAppendsPairsInOrder) {
  json tags = json::array({json{{"Key", "Name"}, {"Value", "x"}}});
  populateTags(tags, "Owner,qa,Team,net");
  EXPECT_EQ(tags,
            json::parse(R"([{"Key":"Name","Value":"x"},{"Key":"Owner","Value":"qa"},{"Key":"Team","Value":"net"}])"));
  json empties = json::array();
  populateTags(empties, "a,,b,");
  EXPECT_EQ(empties, json::parse(R"([{"Key":"a","Value":""},{"Key":"b","Value":""}])"));
  json dup = json::array({json{{"Key", "Name"}, {"Value", "x"}}});
  populateTags(dup, "Name,y");
  EXPECT_EQ(dup.size(), 2u) << "a user Name tag is not de-duplicated";
}

TEST(Tags, TagSpecificationsStartWithName) {
  Args a;
  EXPECT_EQ(tagSpecifications("security-group", "sg", a),
            json::parse(R"([{"ResourceType":"security-group","Tags":[{"Key":"Name","Value":"sg"}]}])"));
  a.tag_resource = "Owner,qa";
  EXPECT_EQ(tagSpecifications("instance", "i", a)[0]["Tags"][1], json::parse(R"({"Key":"Owner","Value":"qa"})"));
}

TEST(Tags, DeduceTag) {
  Args a;
  json entry = {{"gw_name", "spoke1"}};
  EXPECT_EQ(deduceTag(a, &entry), "spoke1-");
  EXPECT_EQ(deduceTag(a), "-");
  a.tag = "";
  EXPECT_EQ(deduceTag(a, &entry), "spoke1-");
  a.tag = "run7";
  EXPECT_EQ(deduceTag(a, &entry), "spoke1-run7");
  EXPECT_EQ(deduceTag(a), "-run7");
  json noName = {{"private_subnet_id", "p"}};
  EXPECT_ANY_THROW(deduceTag(a, &noName));
}

TEST(TestConfigOutput, FloatsAreWrittenAsPythonWritesThem) {
  const std::string input =
      "[0.1, 1e15, 1e16, 0.0001, 1e-05, 123.456, -2.5e-07, 1.7976931348623157e+308, 5e-324, -0.0, "
      "12345678901234567890.0, 100.0, 0.30000000000000004]";
  EXPECT_EQ(formatTestConfig(json::parse(input)),
            "[\n  0.1,\n  1000000000000000.0,\n  1e+16,\n  0.0001,\n  1e-05,\n  123.456,\n  -2.5e-07,\n"
            "  1.7976931348623157e+308,\n  5e-324,\n  -0.0,\n  1.2345678901234567e+19,\n  100.0,\n"
            "  0.30000000000000004\n]\n");
}

namespace {
// The check's message for `config`, or "" when it passes.
std::string checkMessage(const std::string& config, bool deploy) {
  try {
    validateTestConfig(json::parse(config), "cfg.json", deploy);
    return "";
  } catch (const TestConfigError& e) {
    return e.what();
  }
}
}  // namespace

TEST(TestConfigCheck, EachProblemNamesTheFileTheEntryAndTheKey) {
  const std::string good =
      R"({"gw_subnet_id": "s", "private_subnet_id": "p", "gw_private_ip": "1", "private_subnet_cidr": "10.0.1.0/24"})";
  EXPECT_EQ(checkMessage("[" + good + "]", true), "");
  const std::pair<std::string, std::string> cases[] = {
      {"{}", "must be a JSON list"},
      {"[]", "the list is empty"},
      {"[" + good + ", 7]", "entry 1 is not an object"},
      {R"([{"gw_subnet_id": "s"}])", "entry 0 has no \"private_subnet_id\""},
      {R"([{"gw_subnet_id": 5, "private_subnet_id": "p"}])", "entry 0: \"gw_subnet_id\" must be text"},
      {"[" + good + R"(, {"private_subnet_id": "p2"}])", "entry 1 has no \"gw_subnet_id\""},
      {R"([{"gw_subnet_id": "s", "private_subnet_id": "p", "gw_private_ip": "1"}])",
       "entry 0 has no \"private_subnet_cidr\""},
      {R"([{"gw_subnet_id": "s", "private_subnet_id": "p", "gw_private_ip": "1", "private_subnet_cidr": "10.0.300/24"}])",
       "entry 0: \"private_subnet_cidr\" is not a valid IPv4 network"},
      {R"([{"gw_subnet_id": "s", "private_subnet_id": ""}])", "entry 0 has an empty \"private_subnet_id\" and no"},
      {"[" + good + R"(, {"gw_name": "b", "gw_subnet_id": "s", "private_subnet_id": "p2", "gw_private_ip": "1",
         "private_subnet_cidr": "10.0.2.0/24"}])",
       "entry 0 and entry 1 (b) have the same \"gw_subnet_id\" s"},
  };
  for (const auto& [config, expected] : cases) {
    const std::string message = checkMessage(config, true);
    EXPECT_EQ(message.rfind("test configuration cfg.json: ", 0), 0u) << config << " -> " << message;
    EXPECT_NE(message.find(expected), std::string::npos) << config << " -> " << message;
  }
}

TEST(TestConfigCheck, ListsWithoutTestSubnetsAndUnusableRangesAreLeftToTheRun) {
  json entries = json::array();
  for (int i = 0; i < 1000; ++i)
    entries.push_back({{"gw_subnet_id", "s"}, {"private_subnet_id", ""}, {"nat_gw_id", "gw" + std::to_string(i)}});
  EXPECT_EQ(checkMessage(entries.dump(), true), "");
  EXPECT_EQ(checkMessage(entries.dump(), false), "");
  // Host bits set: well-formed, so only its own entry fails, in the run.
  EXPECT_EQ(checkMessage(R"([{"gw_subnet_id": "s", "private_subnet_id": "p", "gw_private_ip": "1",
                               "private_subnet_cidr": "10.0.0.5/24"}])",
                         true),
            "");
  // A revert needs neither the addresses nor the CIDR.
  EXPECT_EQ(checkMessage(R"([{"gw_subnet_id": "s", "private_subnet_id": "p"}])", false), "");
}
