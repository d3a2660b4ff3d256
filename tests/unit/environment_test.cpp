// The environment snapshot and the shared config/credentials files as the reference SDKs read them.
#include "awsapi/base/environment.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "awsapi/base/error.h"

namespace qa = quenfold_testlibs::awsapi;
using Vars = std::map<std::string, std::string>;

namespace {

class TempDir {
 public:
  TempDir() {
    path_ = std::filesystem::temp_directory_path() /
            ("quenfold-env-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
    std::filesystem::create_directories(path_);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  const std::filesystem::path& path() const { return path_; }
  void write(const std::string& rel, const std::string& text) const {
    std::filesystem::create_directories((path_ / rel).parent_path());
    std::ofstream(path_ / rel) << text;
  }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

}  // namespace

TEST(EnvironmentTest, EmptyVariablesAreAbsentAndFlagsAcceptCommonSpellings) {
  qa::Environment env({{"A", ""}, {"B", "x"}, {"T1", "TRUE"}, {"T2", "1"}, {"T3", "yes"}, {"F", "false"}});
  EXPECT_FALSE(env.get("A"));
  EXPECT_FALSE(env.get("MISSING"));
  EXPECT_EQ(env.get("B"), "x");
  EXPECT_TRUE(env.flag("T1"));
  EXPECT_TRUE(env.flag("T2"));
  EXPECT_TRUE(env.flag("T3"));
  EXPECT_FALSE(env.flag("F"));
  EXPECT_FALSE(env.flag("MISSING"));
}

TEST(EnvironmentTest, FromProcessSeesTheProcessEnvironment) {
  ::setenv("QUENFOLD_ENV_TEST_VAR", "a=b", 1);
  EXPECT_EQ(qa::Environment::from_process().get("QUENFOLD_ENV_TEST_VAR"), "a=b");  // value keeps its '='
  ::unsetenv("QUENFOLD_ENV_TEST_VAR");
}

TEST(ConfigFilesTest, ConfigSectionsNeedTheProfilePrefixExceptDefault) {
  auto files = qa::ConfigFiles::parse(
      "[default]\nregion = eu-west-1\n"
      "[profile dev]\nregion = us-east-2\n"
      "[dev2]\nregion = ignored\n"             // not a profile in the config file
      "[sso-session corp]\nsso_region = x\n",  // nor is this
      "[dev2]\naws_access_key_id = AKID2\n");
  EXPECT_EQ(files.profile("default")->at("region"), "eu-west-1");
  EXPECT_EQ(files.profile("dev")->at("region"), "us-east-2");
  // dev2 exists only through the credentials file, where sections carry no prefix.
  auto dev2 = files.profile("dev2");
  ASSERT_TRUE(dev2);
  EXPECT_FALSE(dev2->contains("region"));
  EXPECT_FALSE(files.has_profile("corp"));
  EXPECT_FALSE(files.has_profile("sso-session corp"));
  EXPECT_FALSE(files.has_profile("profile dev"));
}

TEST(ConfigFilesTest, CredentialsFileWinsInTheMergedViewButFilesStayApart) {
  auto files = qa::ConfigFiles::parse("[profile p]\nregion = r1\naws_access_key_id = FROM_CONFIG\n",
                                      "[p]\naws_access_key_id = FROM_CREDS\n");
  EXPECT_EQ(files.profile("p")->at("aws_access_key_id"), "FROM_CREDS");
  EXPECT_EQ(files.profile("p")->at("region"), "r1");
  EXPECT_EQ(files.config_profile("p")->at("aws_access_key_id"), "FROM_CONFIG");
  EXPECT_EQ(files.credentials_profile("p")->at("aws_access_key_id"), "FROM_CREDS");
  EXPECT_FALSE(files.profile("nobody"));
}

TEST(ConfigFilesTest, CommentsDelimitersCaseAndWhitespace) {
  auto files = qa::ConfigFiles::parse(
      "# leading comment\n"
      "; another\n"
      "[default]\n"
      "  # indented comment\n"
      "Region=eu-north-1\r\n"  // keys are lower-cased, CRLF tolerated
      "output : json\n"        // ':' is a delimiter too
      "credential_process = tool --opt=a # not a comment\n"
      "\n",
      "");
  auto p = files.profile("default");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->at("region"), "eu-north-1");
  EXPECT_EQ(p->at("output"), "json");
  // Inline '#' belongs to the value, as in the reference parser.
  EXPECT_EQ(p->at("credential_process"), "tool --opt=a # not a comment");
}

TEST(ConfigFilesTest, NestedSubSectionsAreFlattened) {
  auto files = qa::ConfigFiles::parse(
      "[profile s]\n"
      "s3 =\n"
      "  addressing_style = path\n"
      "  Signature_Version = s3v4\n"
      "region = us-west-2\n",
      "");
  auto p = files.profile("s");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->at("s3.addressing_style"), "path");
  EXPECT_EQ(p->at("s3.signature_version"), "s3v4");
  EXPECT_EQ(p->at("region"), "us-west-2");
  EXPECT_FALSE(p->contains("s3"));
}

TEST(ConfigFilesTest, IndentedLinesAfterAValueContinueIt) {
  auto files = qa::ConfigFiles::parse("[default]\nkey = first\n  second\n", "");
  EXPECT_EQ(files.profile("default")->at("key"), "first\nsecond");
}

TEST(ConfigFilesTest, DefaultAndProfileDefaultNameTheSameProfileLaterWins) {
  auto files = qa::ConfigFiles::parse("[default]\nregion = a\nx = 1\n[profile default]\nregion = b\n", "");
  auto p = files.profile("default");
  ASSERT_TRUE(p);
  EXPECT_EQ(p->at("region"), "b");
  EXPECT_FALSE(p->contains("x"));
}

TEST(ConfigFilesTest, MalformedFilesAreConfigErrorsNamingTheLine) {
  try {
    qa::ConfigFiles::parse("[default]\nregion = a\nthis line has no delimiter\n", "");
    FAIL() << "expected ConfigError";
  } catch (const qa::ConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("line 3"), std::string::npos) << e.what();
  }
  EXPECT_THROW(qa::ConfigFiles::parse("region = before any section\n", ""), qa::ConfigError);
  EXPECT_THROW(qa::ConfigFiles::parse("", "[unterminated\n"), qa::ConfigError);
}

TEST(ConfigFilesTest, LoadReadsHomeDefaultsAndHonoursOverrides) {
  TempDir home;
  home.write(".aws/config", "[profile from_home]\nregion = r\n");
  home.write(".aws/credentials", "[from_home]\naws_access_key_id = AKID\n");
  home.write("elsewhere/cfg", "[profile from_override]\nregion = o\n");

  auto files = qa::ConfigFiles::load(qa::Environment(Vars{{"HOME", home.path().string()}}));
  EXPECT_TRUE(files.has_profile("from_home"));
  EXPECT_EQ(files.credentials_profile("from_home")->at("aws_access_key_id"), "AKID");

  auto overridden = qa::ConfigFiles::load(qa::Environment(Vars{{"HOME", home.path().string()},
                                                               {"AWS_CONFIG_FILE", "~/elsewhere/cfg"},
                                                               {"AWS_SHARED_CREDENTIALS_FILE", "~/missing"}}));
  EXPECT_TRUE(overridden.has_profile("from_override"));
  EXPECT_FALSE(overridden.has_profile("from_home"));  // neither home file is read any more
}

TEST(ConfigFilesTest, MissingFilesAndMissingHomeGiveNoProfiles) {
  TempDir empty;
  EXPECT_FALSE(qa::ConfigFiles::load(qa::Environment(Vars{{"HOME", empty.path().string()}})).has_profile("default"));
  EXPECT_FALSE(qa::ConfigFiles::load(qa::Environment()).has_profile("default"));
}

TEST(ConfigFilesTest, AFileThatIsThereButCannotBeReadIsAnErrorNamingIt) {
  TempDir home;
  home.write("creds-dir/x", "");
  const std::string dir = (home.path() / "creds-dir").string();
  for (const char* var : {"AWS_SHARED_CREDENTIALS_FILE", "AWS_CONFIG_FILE"}) {
    try {
      qa::ConfigFiles::load(qa::Environment(Vars{{"HOME", home.path().string()}, {var, dir}}));
      ADD_FAILURE() << var << ": expected ConfigError";
    } catch (const qa::ConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(dir), std::string::npos) << e.what();
    }
  }
  if (::geteuid() != 0) {  // permission bits do not stop root
    home.write("locked", "[default]\n");
    std::filesystem::permissions(home.path() / "locked", std::filesystem::perms::none);
    EXPECT_THROW(
        qa::ConfigFiles::load(qa::Environment(
            Vars{{"HOME", home.path().string()}, {"AWS_SHARED_CREDENTIALS_FILE", (home.path() / "locked").string()}})),
        qa::ConfigError);
  }
}

TEST(ConfigFilesTest, SelectedProfileComesFromAwsProfileThenAwsDefaultProfile) {
  EXPECT_EQ(qa::ConfigFiles::selected_profile_name(qa::Environment()), "default");
  EXPECT_FALSE(qa::ConfigFiles::explicit_profile_name(qa::Environment()));
  EXPECT_EQ(qa::ConfigFiles::selected_profile_name(qa::Environment(Vars{{"AWS_DEFAULT_PROFILE", "b"}})), "b");
  EXPECT_EQ(
      qa::ConfigFiles::selected_profile_name(qa::Environment(Vars{{"AWS_PROFILE", "a"}, {"AWS_DEFAULT_PROFILE", "b"}})),
      "a");
}
