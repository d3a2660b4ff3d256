// The drivers' worker threads: one per task, all made before any starts, started together,
// joined in order, with no bound on their number or time. An error that escapes a task ends
// that worker only: it is reported on standard error and recorded for the exit status; an exit
// request ends the worker quietly and is recorded too.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace quenfold_testlibs {

struct WorkerTask {
  std::string name;  // names the worker in the recorded failure, e.g. its subnet
  std::function<void()> run;
};

void runWorkers(const std::vector<WorkerTask>& tasks);

}  // namespace quenfold_testlibs
