#include "Assertions.h"

#include <cstdio>
#include <vector>

std::string FormatAssertion(const std::string& message, const std::string& unit, int line) {
  int needed = std::snprintf(nullptr, 0, "%s (%s, line %d)", message.c_str(), unit.c_str(), line);
  std::vector<char> text(static_cast<size_t>(needed > 0 ? needed : 0) + 1);
  std::snprintf(text.data(), text.size(), "%s (%s, line %d)", message.c_str(), unit.c_str(), line);
  return std::string(text.data());
}

EAssertionFailed::EAssertionFailed(const std::string& message, const std::string& unit, int line)
    : std::runtime_error(FormatAssertion(message, unit, line)) {}

void RaiseAssertion(const std::string& message, const std::string& unit, int line) {
  throw EAssertionFailed(message, unit, line);
}
