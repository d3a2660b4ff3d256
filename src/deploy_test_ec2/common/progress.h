// How far a long run has got. While the workers run, one info line every 30 s of the clock's time
// counts the entries (a deploy's: launched, ready, failed, and the oldest wait for an instance to
// become usable; a revert's: done and failed), so that a user of hundreds of entries sees it move
// between the step lines. A run whose workers end within 30 s logs none.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace quenfold_testlibs {

// The counts and the cadence, from the events of the tasks and the clock's time; no thread, no log.
class Progress {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  static constexpr std::chrono::seconds kInterval{30};
  // Launches: a deploy's tasks launch (or find) an instance and wait until it is usable.
  enum class Kind { Entries, Launches };

  Progress(Kind kind, std::size_t tasks, TimePoint start);
  // Task `task` has its instance, and its wait for it to be usable starts at `at`.
  void launched(std::size_t task, TimePoint at);
  // Its instance is usable.
  void ready(std::size_t task);
  // Its work ended, with a failure or not.
  void finished(std::size_t task, bool failed);
  bool allFinished() const { return finished_ == tasks_.size(); }

  // The line due at `now`, if kInterval has passed since the last one (or the start) and some task
  // still works. Asked when due and whenever a launch or an end changes the counts, so the line
  // after the end of launching comes as soon as the interval allows.
  std::optional<std::string> lineAt(TimePoint now);
  TimePoint nextDue() const { return last_ + kInterval; }

 private:
  struct Task {
    std::optional<TimePoint> launched;
    bool ready = false;
    bool finished = false;
    bool failed = false;
  };
  Kind kind_;
  std::vector<Task> tasks_;
  std::size_t finished_ = 0;
  TimePoint last_;
};

// Runs a Progress beside the workers of one runWorkers: the workers report their events, the
// calling thread logs the lines when due and returns once every task has ended.
class ProgressWatch {
 public:
  ProgressWatch(Progress::Kind kind, std::size_t tasks);
  // Logs each line when it is due until every task has reported its end.
  void watch();
  // Task `task` ended (from its worker, or for a worker that never started).
  void finished(std::size_t task, bool failed);

  // Makes `task` of `watch` the current thread's task while it lives, for progressLaunched and
  // progressReady.
  class TaskScope {
   public:
    TaskScope(ProgressWatch& watch, std::size_t task);
    ~TaskScope();
    TaskScope(const TaskScope&) = delete;
    TaskScope& operator=(const TaskScope&) = delete;
  };

 private:
  friend void progressLaunched();
  friend void progressReady();
  void launched(std::size_t task);
  void ready(std::size_t task);

  std::mutex mu_;
  std::condition_variable cv_;
  Progress progress_;
};

// The current worker's instance is there and its wait starts; then the instance is usable.
// Nothing outside a watched worker.
void progressLaunched();
void progressReady();

}  // namespace quenfold_testlibs
