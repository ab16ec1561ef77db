// Text rules of the form: trimming as the operator expects it and the strict
// decimal conversion the port and delay fields use.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Removes leading and trailing characters of code 32 or less.
std::string TrimControls(std::string_view text);

// Reads a whole text as a decimal 32-bit integer: optional leading blanks, an
// optional sign, then digits only. False (and Value untouched) otherwise,
// also when the number does not fit in 32 bits.
bool TryStrToInt(std::string_view text, int32_t& value);

// TryStrToInt, or the fallback when the text is not a decimal integer.
int32_t StrToIntDef(std::string_view text, int32_t fallback);
