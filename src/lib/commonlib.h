// Logging of the test library: the named logger "quenfold_testlibs" writes each line to the
// console (standard error) and, once initLogLocation has run, to
// <backup_folder>/log/quenfold_testlibs.log. One line: timestamp, level, message.
#pragma once

#include <exception>
#include <memory>
#include <source_location>
#include <string>

#include <spdlog/logger.h>

namespace quenfold_testlibs::lib {

inline constexpr const char* kLoggerName = "quenfold_testlibs";

// The shared logger, created on first use (console only until initLogLocation).
std::shared_ptr<spdlog::logger> logger();

class Common {
 public:
  // Starts the log file under `backup_folder` (folders created as needed; appended to when it exists).
  static void initLogLocation(const std::string& backup_folder);
  // Records the command line in the log.
  static void logCommandOptions(const std::string& command_line);
  // Path of the log file for a backup folder.
  static std::string logFilePath(const std::string& backup_folder);
  // Tests only: drop the file sink and redirect the console to `sink` (nullptr restores stderr).
  static void resetForTests(std::shared_ptr<spdlog::sinks::sink> sink = nullptr);
};

// Logs a failure report (error type, message, and the function where it was caught) as one error
// line, so that it reaches standard error and the log file, and parallel workers' reports do not
// interleave.
void reportError(const std::exception& e, std::source_location where = std::source_location::current());
void reportError(const std::exception_ptr& e, std::source_location where = std::source_location::current());

}  // namespace quenfold_testlibs::lib
