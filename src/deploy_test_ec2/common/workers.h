// The drivers' worker threads: one per task, all made before any starts, started together,
// joined in order, with no bound on their number or time. An error that escapes a task ends
// that worker only: it is reported on standard error and recorded for the exit status; an exit
// request ends the worker quietly and is recorded too.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "deploy_test_ec2/common/progress.h"

namespace quenfold_testlibs {

struct WorkerTask {
  std::string name;  // names the worker in the recorded failure, e.g. its subnet
  std::function<void()> run;
  // The entry it works for (core::EntryOutcomes): what fails on its thread counts for that entry,
  // which is done when the task ends without a failure.
  std::optional<std::size_t> entry = std::nullopt;
};

// Starts one thread; tests replace it to see a thread that cannot be made.
using SpawnFn = std::function<std::thread(std::function<void()>)>;
inline std::thread spawnThread(std::function<void()> body) { return std::thread(std::move(body)); }

// A worker whose thread cannot be made is logged and recorded as that task's failure; the others
// run as usual. While they run, the calling thread logs their progress (Progress) of `kind`.
void runWorkers(const std::vector<WorkerTask>& tasks, const SpawnFn& spawn = spawnThread,
                Progress::Kind kind = Progress::Kind::Entries);

}  // namespace quenfold_testlibs
