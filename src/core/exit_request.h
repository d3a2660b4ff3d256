// "End with exit status N" below main: thrown after logging. main turns it into the process
// exit status; a worker thread that catches it ends quietly.
#pragma once

namespace quenfold_testlibs::core {

struct ExitRequest {
  int status = 1;
};

}  // namespace quenfold_testlibs::core
