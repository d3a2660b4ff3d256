// The test configuration's reader and writer on hostile input: nesting, bytes after the document,
// integers beyond 64 bits, repeated keys, and what sits at the output path.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "deploy_test_ec2/common/test_config.h"

using namespace quenfold_testlibs;
namespace fs = std::filesystem;

namespace {

class ConfigInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("qtl-cfgin-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return (dir_ / name).string();
  }
  // readTestConfig's refusal of `text`, or "" when it reads it.
  std::string refusal(const std::string& text) {
    try {
      readTestConfig(write("cfg.json", text));
      return "";
    } catch (const TestConfigError& e) {
      return e.what();
    }
  }
  std::string slurp(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
};

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

TEST_F(ConfigInputTest, NestingBeyond64LevelsIsRefusedNamingTheFile) {
  EXPECT_EQ(refusal(nested(64)), "");
  EXPECT_EQ(refusal("[{\"extra\": " + nested(62) + "}]"), "");
  const std::string path = (dir_ / "cfg.json").string();
  EXPECT_EQ(refusal(nested(65)), "test configuration " + path + " nests lists and objects more than 64 levels deep");
  EXPECT_NE(refusal("[{\"extra\": " + std::string(30000, '[') + "}]").find("more than 64 levels"), std::string::npos);
}

TEST_F(ConfigInputTest, OnlyWhitespaceMayFollowTheDocument) {
  EXPECT_EQ(refusal("[{\"a\": 1}] \t\r\n"), "");
  for (const std::string& text : {std::string("[{}]\0garbage", 12), std::string("[]\0", 3)}) {
    const std::string why = refusal(text);
    EXPECT_NE(why.find("cfg.json is not valid JSON: a NUL byte at position"), std::string::npos) << why;
  }
  EXPECT_NE(refusal("[] x").find("is not valid JSON"), std::string::npos);
}

TEST_F(ConfigInputTest, IntegersBeyond64BitsAreWrittenBackDigitForDigit) {
  const std::string in =
      R"([{"big": 12345678901234567890123, "neg": -98765432109876543210987654321, "u64": 18446744073709551615,)"
      R"( "i64": -9223372036854775808, "f": 1.5e300, "list": [100000000000000000000000000000000000001]}])";
  const std::string out = formatTestConfig(readTestConfig(write("in.json", in)));
  EXPECT_EQ(out,
            "[\n  {\n    \"big\": 12345678901234567890123,\n    \"neg\": -98765432109876543210987654321,\n"
            "    \"u64\": 18446744073709551615,\n    \"i64\": -9223372036854775808,\n    \"f\": 1.5e+300,\n"
            "    \"list\": [\n      100000000000000000000000000000000000001\n    ]\n  }\n]\n");
  EXPECT_EQ(formatTestConfig(readTestConfig(write("again.json", out))), out);
}

TEST_F(ConfigInputTest, ARepeatedKeyKeepsItsFirstPlaceAndItsLastValue) {
  const std::string in = R"([{"a": 1, "b": 2, "a": 3, "c": {"x": 1, "x": {"y": 2}, "x": [5]}, "b": 4, "d": 5}])";
  const json read = readTestConfig(write("dup.json", in));
  EXPECT_EQ(read, json::parse(in)) << "as nlohmann's own reader (and Python's) take it";
  EXPECT_EQ(formatTestConfig(read),
            "[\n  {\n    \"a\": 3,\n    \"b\": 4,\n    \"c\": {\n      \"x\": [\n        5\n      ]\n    },\n"
            "    \"d\": 5\n  }\n]\n");
}

TEST_F(ConfigInputTest, AnExistingOutputKeepsItsModeAndALinkIsReplacedNotFollowed) {
  const std::string out = write("out.json", "old");
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
  writeTestConfig(out, json::array());
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  const std::string target = write("elsewhere.json", "not to be touched");
  ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
  fs::create_symlink(target, dir_ / "link.json");
  writeTestConfig((dir_ / "link.json").string(), json::array());
  EXPECT_FALSE(fs::is_symlink(dir_ / "link.json"));
  EXPECT_EQ(slurp("link.json"), "[]\n");
  EXPECT_EQ(slurp("elsewhere.json"), "not to be touched");
}
