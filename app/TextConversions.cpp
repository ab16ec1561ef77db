#include "TextConversions.h"

#include <charconv>

namespace {
bool IsControlOrBlank(char c) { return static_cast<unsigned char>(c) <= 32; }
}  // namespace

std::string TrimControls(std::string_view text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && IsControlOrBlank(text[first])) ++first;
  while (last > first && IsControlOrBlank(text[last - 1])) --last;
  return std::string(text.substr(first, last - first));
}

bool TryStrToInt(std::string_view text, int32_t& value) {
  size_t pos = 0;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  bool plus = pos < text.size() && text[pos] == '+';  // from_chars takes '-' only
  std::string_view digits = text.substr(plus ? pos + 1 : pos);
  if (digits.empty() || digits[0] == '+' || (plus && digits[0] == '-')) return false;
  int32_t parsed = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), parsed, 10);
  if (error != std::errc() || end != digits.data() + digits.size()) return false;
  value = parsed;
  return true;
}

int32_t StrToIntDef(std::string_view text, int32_t fallback) {
  int32_t value = fallback;
  return TryStrToInt(text, value) ? value : fallback;
}
