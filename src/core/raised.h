// Where a failure was raised, for reports written far from the cause (a worker's catch-all). The
// tool's operations open a Step; when an exception unwinds through steps, the innermost records
// its function before the outer ones do, and the catch site takes it. C++ exceptions carry no
// origin of their own, and a stack trace would need C++23's <stacktrace>.
#pragma once

#include <string>

#include "core/source_location.h"

namespace quenfold_testlibs::core {

class Step {
 public:
  explicit Step(SourceLocation where = SourceLocation::current());
  ~Step();
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;

 private:
  SourceLocation where_;
  int uncaught_;
};

// "function (file:line)" of the innermost step the exception being handled unwound on this
// thread, or "" when it passed through none; the record is cleared.
std::string takeRaisedIn();

}  // namespace quenfold_testlibs::core
