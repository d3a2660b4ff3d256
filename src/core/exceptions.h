// The tool's own exception types, each selectable by the retry wrapper.
#pragma once

#include <stdexcept>
#include <string>

namespace quenfold_testlibs::core {

// A value that should have shown up (an address on an interface, ...) is not there yet.
class ValueNotFoundException : public std::runtime_error {
 public:
  explicit ValueNotFoundException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace quenfold_testlibs::core

namespace quenfold_testlibs {

// EC2 refused a launch with InvalidParameterValue: taken to mean that the instance profile is not
// ready yet. Carries no message of its own.
class InvalidParameterValueException : public std::exception {
 public:
  const char* what() const noexcept override { return "InvalidParameterValueException"; }
};

}  // namespace quenfold_testlibs
