// Assertion errors: a failed check raises an error whose text is the message,
// the source unit and the line, as "%s (%s, line %d)".
#pragma once

#include <stdexcept>
#include <string>

class EAssertionFailed : public std::runtime_error {
 public:
  EAssertionFailed(const std::string& message, const std::string& unit, int line);
};

std::string FormatAssertion(const std::string& message, const std::string& unit, int line);

[[noreturn]] void RaiseAssertion(const std::string& message, const std::string& unit, int line);
