// The log: escaping of what reaches it, and the log file's folder and file as someone sharing the
// folder may have prepared them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <spdlog/sinks/null_sink.h>

#include "lib/commonlib.h"

namespace lib = quenfold_testlibs::lib;
namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

mode_t modeOf(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}

// A fresh folder per test; the logger goes back to the console alone afterwards.
class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("qtl-log-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    lib::Common::resetForTests(std::make_shared<spdlog::sinks::null_sink_mt>());
  }
  void TearDown() override {
    lib::Common::resetForTests();
    fs::remove_all(dir_);
  }
  std::string backup() const { return (dir_ / "backup").string(); }
  fs::path logFile() const { return lib::Common::logFilePath(backup()); }
  // The refusal initLogLocation gave, or "" when it opened the file.
  std::string refusal() {
    try {
      lib::Common::initLogLocation(backup());
      return "";
    } catch (const lib::LogFileError& e) {
      return e.what();
    }
  }

  fs::path dir_;
};

}  // namespace

TEST(LogEscaping, ControlCharactersAreEscapedAndTextIsKept) {
  const std::string in =
      std::string("a\nb\r\tc\x1b[31m") + '\0' + "\x7f" + "\xc2\x85" + "\xe2\x80\xa8" + "\xff" + "|é😀 \\n";
  EXPECT_EQ(lib::escapeControlCharacters(in), "a\\nb\\r\\tc\\x1b[31m\\x00\\x7f\\u0085\\u2028\\xff|é😀 \\n");
}

TEST_F(LogFileTest, EveryLineStartsWithItsOwnTimestampWhateverTheMessageHolds) {
  lib::Common::initLogLocation(backup());
  lib::logger()->info("nat-1\n2026-01-01 00:00:00,000 - info - forged\x1b[2J");
  lib::logLines(spdlog::level::info, "ping ok\r\n\ttrace\x1b[0m done\n");
  // AWS's encoded reason of a refusal is never written whole, wherever it stands in a line.
  lib::logger()->error("UnauthorizedOperation: Encoded authorization failure message: " + std::string(3000, 'Z') +
                       " (caught in f)");
  const std::string text = slurp(logFile());
  EXPECT_NE(text.find("Encoded authorization failure message: ZZZZZZZZZZZZ... (3000 characters) (caught in f)\n"),
            std::string::npos);
  EXPECT_NE(text.find(" - info - nat-1\\n2026-01-01 00:00:00,000 - info - forged\\x1b[2J\n"), std::string::npos)
      << text;
  // The result collection's text keeps its lines; anything else that controls a terminal appears escaped.
  EXPECT_NE(text.find(" - info - ping ok\n\\ttrace\\x1b[0m done\n\n"), std::string::npos) << text;
  std::istringstream lines(text);
  int stamped = 0;
  for (std::string line; std::getline(lines, line);) stamped += line.rfind("20", 0) == 0;
  EXPECT_EQ(stamped, 3) << text;
}

TEST_F(LogFileTest, NewFoldersAndFileAreOwnerOnlyWhateverTheUmaskAndExistingOnesAreKept) {
  const mode_t old = ::umask(0);
  lib::Common::initLogLocation(backup() + "/run/7");
  ::umask(old);
  lib::logger()->info("x");
  EXPECT_EQ(modeOf(dir_ / "backup"), 0700u);
  EXPECT_EQ(modeOf(dir_ / "backup/run/7"), 0700u);
  EXPECT_EQ(modeOf(dir_ / "backup/run/7/log"), 0700u);
  EXPECT_EQ(modeOf(dir_ / "backup/run/7/log/quenfold_testlibs.log"), 0600u);
  // A folder that exists may be shared on purpose: it is left as it is, and so is the file.
  fs::create_directories(dir_ / "shared/log");
  ::chmod((dir_ / "shared").c_str(), 0775);
  std::ofstream(dir_ / "shared/log/quenfold_testlibs.log") << "earlier run\n";
  ::chmod((dir_ / "shared/log/quenfold_testlibs.log").c_str(), 0640);
  lib::Common::initLogLocation((dir_ / "shared").string());
  lib::logger()->info("appended");
  EXPECT_EQ(modeOf(dir_ / "shared"), 0775u);
  EXPECT_EQ(modeOf(dir_ / "shared/log/quenfold_testlibs.log"), 0640u);
  EXPECT_EQ(slurp(dir_ / "shared/log/quenfold_testlibs.log").rfind("earlier run\n", 0), 0u);
}

TEST_F(LogFileTest, PlantedLinksAndFilesAreRefusedAndTheirTargetsUntouched) {
  const fs::path target = dir_ / "credentials";
  std::ofstream(target) << "[default]\n";
  fs::create_directories(dir_ / "backup");
  fs::create_directory_symlink(dir_, dir_ / "backup/log");
  EXPECT_NE(refusal().find("backup/log: it is a symbolic link"), std::string::npos) << refusal();
  fs::remove(dir_ / "backup/log");

  fs::create_directories(dir_ / "backup/log");
  fs::create_symlink(target, logFile());
  EXPECT_NE(refusal().find(logFile().string() + ": it is a symbolic link"), std::string::npos);
  fs::remove(logFile());
  fs::create_symlink(dir_ / "not-there", logFile());  // a dangling link is not created through either
  EXPECT_NE(refusal().find("symbolic link"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir_ / "not-there"));
  fs::remove(logFile());

  fs::create_hard_link(target, logFile());
  EXPECT_NE(refusal().find("2 names"), std::string::npos);
  fs::remove(logFile());
  ASSERT_EQ(::mkfifo(logFile().c_str(), 0600), 0);  // must neither block nor be written
  EXPECT_NE(refusal().find("not a regular file"), std::string::npos);
  EXPECT_EQ(slurp(target), "[default]\n");
  EXPECT_FALSE(lib::Common::openedLogFile());
}

TEST_F(LogFileTest, TheUploadReadsTheFileThisRunWroteEvenAfterItsPathWasReplaced) {
  lib::Common::initLogLocation(backup());
  lib::logger()->info("this run");
  const fs::path secret = dir_ / "credentials";
  std::ofstream(secret) << "aws_secret_access_key = s\n";
  fs::rename(logFile(), dir_ / "moved.log");
  fs::create_symlink(secret, logFile());
  auto opened = lib::Common::openedLogFile();
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->path, logFile().string());
  const std::string uploaded = slurp(opened->read_path);
  EXPECT_NE(uploaded.find("this run"), std::string::npos);
  EXPECT_NE(uploaded.find("was replaced during the run"), std::string::npos);
  EXPECT_EQ(uploaded.find("aws_secret_access_key"), std::string::npos);
  EXPECT_EQ(slurp(secret), "aws_secret_access_key = s\n");
}
