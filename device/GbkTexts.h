// GBK (Windows code page 936) text: the bytes a device on that code page sees.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The GBK bytes of a UTF-8 text. A character that GBK cannot hold becomes
// "?", as the Windows conversion does; so does a byte that is not UTF-8.
std::string Utf8ToGbk(std::string_view utf8);

// The position of the character after the one at `position` in GBK text: a
// byte 0x81-0xFE followed by a byte 0x40-0xFE other than 0x7F is one
// character, anything else one byte. Never steps past the end.
size_t NextGbkCharacter(std::string_view gbk, size_t position);
