// std::source_location for the build. clang before 15 cannot compile libstdc++'s (it lacks the
// builtin behind it), and the linter reads the code with clang 14; for it alone a stand-in with
// the same members is made from the builtins both compilers have.
#pragma once

#include <cstdint>
#include <source_location>

namespace quenfold_testlibs::core {

#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          const char* function = __builtin_FUNCTION(),
                                          std::uint_least32_t line = __builtin_LINE()) noexcept {
    SourceLocation where;
    where.file_ = file;
    where.function_ = function;
    where.line_ = line;
    return where;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr const char* function_name() const noexcept { return function_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }
  constexpr std::uint_least32_t column() const noexcept { return 0; }

 private:
  const char* file_ = "";
  const char* function_ = "";
  std::uint_least32_t line_ = 0;
};
#endif

}  // namespace quenfold_testlibs::core
