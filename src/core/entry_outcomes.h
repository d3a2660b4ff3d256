// The outcome of each entry a deploy or revert works on, for the one summary line that ends the
// run: a user of hundreds of entries reads there which failed and why, without searching the log.
// A worker opens an EntryScope for its entry; the failures recorded (AppExitStatus) and the error
// lines logged on that thread then count for that entry. Failures recorded outside any scope are
// the run's own.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace quenfold_testlibs::core {

struct EntryOutcome {
  enum class Status { NotReached, Done, Failed };
  std::string label;  // the entry's gw_name, else its gateway subnet
  Status status = Status::NotReached;
  std::string first_error;  // the first error line logged or failure recorded for it
};

class EntryOutcomes {
 public:
  // Registers an entry (not reached yet); returns its index.
  static std::size_t add(std::string label);
  // The entry failed (from any thread): `error` becomes its first error unless it has one.
  static void fail(std::size_t index, const std::string& error);
  // The entry's work ended; it counts as done unless something failed it.
  static void finish(std::size_t index);
  // Whether something failed the entry so far.
  static bool failed(std::size_t index);
  // From the logger and AppExitStatus: an error line or a recorded failure on the current thread.
  static void noteError(const std::string& line);
  static void noteFailure(const std::string& what);
  static std::vector<EntryOutcome> all();
  // The first failure recorded outside any entry's scope, or empty.
  static std::string runFailure();
  // The run was ended by a failed step: without a failure recorded for the run, the last error
  // line logged outside any entry names it.
  static void noteRunEnded();
  // The summary, a few kilobytes at most whatever the number of entries: one line of counts (and
  // what failed the run itself), then one line per distinct first error (resource ids left out,
  // cut) with how many entries failed with it and the first ten of their names.
  static std::vector<std::string> summaryLines();
  // The same as one line.
  static std::string summary();
  // Tests only: forget everything.
  static void reset();
};

// Marks the current thread as working for entry `index` while it lives.
class EntryScope {
 public:
  explicit EntryScope(std::size_t index);
  ~EntryScope();
  EntryScope(const EntryScope&) = delete;
  EntryScope& operator=(const EntryScope&) = delete;

 private:
  long previous_;
};

}  // namespace quenfold_testlibs::core
