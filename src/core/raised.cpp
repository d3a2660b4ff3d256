#include "core/raised.h"

#include <exception>
#include <filesystem>

namespace quenfold_testlibs::core {

namespace {
thread_local std::string t_raised_in;

// "void ns::f(const T&, ...)" -> "ns::f"
std::string shortName(const char* signature) {
  std::string s(signature);
  if (auto paren = s.find('('); paren != std::string::npos) s.resize(paren);
  if (auto space = s.rfind(' '); space != std::string::npos) s.erase(0, space + 1);
  return s;
}
}  // namespace

Step::Step(SourceLocation where) : where_(where), uncaught_(std::uncaught_exceptions()) {
  // A record left by a failure that was handled inside an earlier step is stale now.
  if (uncaught_ == 0) t_raised_in.clear();
}

Step::~Step() {
  if (std::uncaught_exceptions() > uncaught_ && t_raised_in.empty()) {
    t_raised_in = shortName(where_.function_name()) + " (" +
                  std::filesystem::path(where_.file_name()).filename().string() + ":" + std::to_string(where_.line()) +
                  ")";
  }
}

std::string takeRaisedIn() {
  std::string out;
  out.swap(t_raised_in);
  return out;
}

}  // namespace quenfold_testlibs::core
