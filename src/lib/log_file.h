// The safe opening of the run's log file, apart from the logger that writes it.
#pragma once

#include <string>

namespace quenfold_testlibs::lib {

inline constexpr const char* kLogFolder = "log";
inline constexpr const char* kLogFileName = "quenfold_testlibs.log";

// A failure that is the environment's (no permission, a full disk), not something planted: the
// run goes on logging to the console.
struct SoftFailure {
  std::string what;
};

// Opens (appending) `path`, the log file of `backup_folder`, making the folders and the file
// owner-only where they are missing; returns the descriptor, which the caller owns. Throws
// LogFileError for a link or a file that is not the tool's own, SoftFailure otherwise.
int openLogLocation(const std::string& backup_folder, const std::string& path);

}  // namespace quenfold_testlibs::lib
