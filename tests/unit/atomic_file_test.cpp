#include "core/atomic_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace core = quenfold_testlibs::core;
namespace fs = std::filesystem;

namespace {

// A write that fails at its last step (the rename: a folder sits at the name) leaves no temporary
// file behind and says which file it could not write.
TEST(AtomicFile, AFailedReplaceLeavesNothingBehind) {
  const fs::path dir = fs::temp_directory_path() / ("atomic_file_test." + std::to_string(::getpid()));
  fs::create_directories(dir / "taken");
  try {
    core::writeFileAtomically(dir / "taken", "text", core::FileMode::OwnerOnly);
    ADD_FAILURE() << "a folder was replaced by a file";
  } catch (const std::system_error& e) {
    EXPECT_NE(std::string(e.what()).find("taken"), std::string::npos) << e.what();
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  EXPECT_TRUE(fs::is_directory(dir / "taken"));
  fs::remove_all(dir);
}

}  // namespace
