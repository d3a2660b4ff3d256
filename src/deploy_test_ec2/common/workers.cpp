#include "deploy_test_ec2/common/workers.h"

#include <latch>
#include <system_error>
#include <thread>

#include "core/app_exit_status.h"
#include "core/entry_outcomes.h"
#include "core/exit_request.h"
#include "core/interrupt.h"
#include "lib/commonlib.h"

namespace quenfold_testlibs {

namespace {
// Runs one task on its worker's thread; true when it ended with an error or an exit request.
bool runTask(const WorkerTask& task) {
  try {
    task.run();
    return false;
  } catch (const core::ExitRequest&) {
    core::AppExitStatus::recordFailure("worker for " + task.name + " ended");
  } catch (const core::Interrupted&) {
    // The interruption was logged once; each worker only stops.
    core::AppExitStatus::recordFailure("worker for " + task.name + " interrupted");
  } catch (const std::exception& e) {
    lib::reportError(e, "worker for " + task.name);
    core::AppExitStatus::recordFailure("worker for " + task.name + " failed");
  } catch (...) {
    lib::reportError(std::current_exception(), "worker for " + task.name);
    core::AppExitStatus::recordFailure("worker for " + task.name + " failed");
  }
  return true;
}
}  // namespace

void runWorkers(const std::vector<WorkerTask>& tasks, const SpawnFn& spawn, Progress::Kind kind) {
  std::latch start(1);
  std::vector<std::thread> threads;
  threads.reserve(tasks.size());
  ProgressWatch progress(kind, tasks.size());
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    const WorkerTask& task = tasks[i];
    auto body = [&start, &task, &progress, i] {
      start.wait();
      std::optional<core::EntryScope> scope;
      if (task.entry) scope.emplace(*task.entry);
      ProgressWatch::TaskScope progressScope(progress, i);
      bool failed = runTask(task);
      if (task.entry) {
        core::EntryOutcomes::finish(*task.entry);
        failed = failed || core::EntryOutcomes::failed(*task.entry);
      }
      progress.finished(i, failed);
    };
    try {
      threads.push_back(spawn(body));
    } catch (const std::system_error& e) {
      // No thread for this entry (the system has none left): the others still run.
      lib::recordError("worker for " + task.name + " could not start: " + e.what(),
                       "worker for " + task.name + " could not start");
      if (task.entry) core::EntryOutcomes::fail(*task.entry, "its worker could not start");
      progress.finished(i, true);
    }
  }
  start.count_down();
  progress.watch();
  for (auto& t : threads) t.join();
}

}  // namespace quenfold_testlibs
