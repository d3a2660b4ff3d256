#include "deploy_test_ec2/common/progress.h"

#include <algorithm>

#include "core/clock.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

Progress::Progress(Kind kind, std::size_t tasks, TimePoint start) : kind_(kind), tasks_(tasks), last_(start) {}

void Progress::launched(std::size_t task, TimePoint at) {
  if (task < tasks_.size() && !tasks_[task].launched) tasks_[task].launched = at;
}

void Progress::ready(std::size_t task) {
  if (task < tasks_.size()) tasks_[task].ready = true;
}

void Progress::finished(std::size_t task, bool failed) {
  if (task >= tasks_.size() || tasks_[task].finished) return;
  tasks_[task].finished = true;
  tasks_[task].failed = failed;
  ++finished_;
}

std::optional<std::string> Progress::lineAt(TimePoint now) {
  if (allFinished() || now < nextDue()) return std::nullopt;
  last_ = now;
  std::size_t launched = 0, ready = 0, failed = 0, done = 0;
  std::optional<TimePoint> oldest;
  for (const auto& t : tasks_) {
    launched += t.launched ? 1 : 0;
    ready += t.ready ? 1 : 0;
    failed += t.failed ? 1 : 0;
    done += t.finished && !t.failed ? 1 : 0;
    // Waiting: its instance is there, not usable yet, and its work goes on.
    if (t.launched && !t.ready && !t.finished) oldest = std::min(oldest.value_or(*t.launched), *t.launched);
  }
  std::string line = "- Progress: ";
  if (kind_ == Kind::Entries) {
    return line + std::to_string(done) + " of " + std::to_string(tasks_.size()) + " entries done, " +
           std::to_string(failed) + " failed";
  }
  line += std::to_string(launched) + " of " + std::to_string(tasks_.size()) + " entries launched, " +
          std::to_string(ready) + " ready, " + std::to_string(failed) + " failed";
  if (oldest) {
    const auto waited = std::chrono::duration_cast<std::chrono::seconds>(now - *oldest);
    line += "; oldest wait " + std::to_string(waited.count()) + " s";
  }
  return line;
}

ProgressWatch::ProgressWatch(Progress::Kind kind, std::size_t tasks)
    : progress_(kind, tasks, core::the_clock().monotonic()) {}

void ProgressWatch::watch() {
  auto& clock = core::the_clock();
  std::unique_lock lk(mu_);
  while (!progress_.allFinished()) {
    const auto now = clock.monotonic();
    if (auto line = progress_.lineAt(now)) {
      lk.unlock();
      lib::logger()->info(*line);
      lk.lock();
      continue;
    }
    clock.wait_for(cv_, lk, std::chrono::ceil<std::chrono::milliseconds>(progress_.nextDue() - now));
  }
}

void ProgressWatch::finished(std::size_t task, bool failed) {
  {
    std::lock_guard lk(mu_);
    progress_.finished(task, failed);
  }
  cv_.notify_all();
}

void ProgressWatch::launched(std::size_t task) {
  const auto now = core::the_clock().monotonic();
  {
    std::lock_guard lk(mu_);
    progress_.launched(task, now);
  }
  cv_.notify_all();
}

void ProgressWatch::ready(std::size_t task) {
  std::lock_guard lk(mu_);
  progress_.ready(task);
}

namespace {
thread_local ProgressWatch* t_watch = nullptr;
thread_local std::size_t t_task = 0;
}  // namespace

ProgressWatch::TaskScope::TaskScope(ProgressWatch& watch, std::size_t task) {
  t_watch = &watch;
  t_task = task;
}

ProgressWatch::TaskScope::~TaskScope() { t_watch = nullptr; }

void progressLaunched() {
  if (t_watch != nullptr) t_watch->launched(t_task);
}

void progressReady() {
  if (t_watch != nullptr) t_watch->ready(t_task);
}

}  // namespace quenfold_testlibs
