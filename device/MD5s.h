// MD5 (RFC 1321) of a byte string as the device logon sends it.
#pragma once

#include <string>
#include <string_view>

// The digest of the bytes exactly as given, as 32 lower-case hex digits
// (each byte high nibble first).
std::string MD5Hex(std::string_view bytes);
