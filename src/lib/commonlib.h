// Logging of the test library: the named logger "quenfold_testlibs" writes each line to the
// console (standard error) and, once initLogLocation has run, to
// <backup_folder>/log/quenfold_testlibs.log. One line: timestamp, level, message. Control
// characters in a message are escaped, so that no value can start a line of its own.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>

#include <spdlog/logger.h>

#include "core/source_location.h"

namespace quenfold_testlibs::lib {

inline constexpr const char* kLoggerName = "quenfold_testlibs";

// The shared logger, created on first use (console only until initLogLocation).
std::shared_ptr<spdlog::logger> logger();

// Something other than the tool's own folder or file sits where the log goes (a symbolic link, a
// file of another user, a file with a second name): the run must not write there.
class LogFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The log file the logger writes, for its upload.
struct OpenedLogFile {
  std::string path;       // where it was opened (names the S3 object)
  std::string read_path;  // reads the very file the logger opened, even if `path` has been replaced since
};

class Common {
 public:
  // Starts the log file under `backup_folder`, appended to when it exists. Folders it creates
  // (the backup folder, log/) are owner-only (0700) and so is a new log file (0600), whatever the
  // umask; what already exists keeps its permissions. Neither log/ nor the file is reached through
  // a symbolic link. Throws LogFileError when log/ or the file is a link or not what it should be
  // (a file that is not a regular file, has other names or belongs to another user); other
  // failures (no permission, a full disk) leave the run logging to the console only, said once.
  static void initLogLocation(const std::string& backup_folder);
  // Records the command line in the log.
  static void logCommandOptions(const std::string& command_line);
  // Path of the log file for a backup folder.
  static std::string logFilePath(const std::string& backup_folder);
  // The file initLogLocation opened, if it did. Logs a warning when its path no longer names it.
  static std::optional<OpenedLogFile> openedLogFile();
  // Tests only: drop the file sink and redirect the console to `sink` (nullptr restores stderr).
  static void resetForTests(std::shared_ptr<spdlog::sinks::sink> sink = nullptr);
};

// What the logger writes for a message: control characters as \n, \r, \t or \xHH (C1 controls,
// U+2028 and U+2029 as \uHHHH, bytes that are not UTF-8 as \xHH), everything else as it is.
std::string escapeControlCharacters(std::string_view text);

// The items, separated by ", ".
inline std::string joined(const std::set<std::string>& items) {
  std::string out;
  for (const auto& s : items) out += (out.empty() ? "" : ", ") + s;
  return out;
}

// AWS's encoded reason of a refusal ("Encoded authorization failure message: BLOB", kilobytes of
// opaque text): the blob of `message`, or "", and the message with every such blob cut to its
// first characters and its length. The logger writes every line that way.
std::string encodedBlobOf(std::string_view message);
std::string withoutEncodedBlob(std::string_view message);

// AWS's encoded reason of a refusal is explained once a run: the first error line or report that
// carries one is handed to the explainer (the deploy decodes it through STS and logs what it
// says); the refusals that follow are most often the same. Setting an explainer starts afresh.
void setDenialExplainer(std::function<void(const std::string& blob)> explainer);
void explainFirstDenial(std::string_view message);

// Logs text that is several lines by design (the result collection's fetched test output): its
// line breaks are kept, every other control character appears escaped as in any other line.
void logLines(spdlog::level::level_enum level, const std::string& text);

// Logs a failure report (what it concerns, error type, message, the operation it was raised in when
// a core::Step saw it, and the function where it was caught) as one error line, so that it reaches
// standard error and the log file, and parallel workers' reports do not interleave.
void reportError(const std::exception& e, core::SourceLocation where = core::SourceLocation::current());
void reportError(const std::exception& e, const std::string& subject,
                 core::SourceLocation where = core::SourceLocation::current());
void reportError(const std::exception_ptr& e, core::SourceLocation where = core::SourceLocation::current());
void reportError(const std::exception_ptr& e, const std::string& subject,
                 core::SourceLocation where = core::SourceLocation::current());

// The block a failed step ends with: its "  **Error** <line>" at error level, then the failure
// report when an exception caused it (`cause`, reported as caught at the caller), then:
// logError goes on as if nothing more were needed; recordError also records `failure` for the
// run's exit status while the run goes on; failRun ends the run with exit status 1.
void logError(const std::string& line, const std::exception* cause = nullptr,
              core::SourceLocation where = core::SourceLocation::current());
void recordError(const std::string& line, const std::string& failure, const std::exception* cause = nullptr,
                 core::SourceLocation where = core::SourceLocation::current());
[[noreturn]] void failRun(const std::string& line, const std::exception* cause = nullptr,
                          core::SourceLocation where = core::SourceLocation::current());

}  // namespace quenfold_testlibs::lib
