// Secrets in trace lines. The password's hash, the device's login key and the
// RTMP stream key are worth as much as the password itself (the device takes
// the hash as the credential), so a trace shows each only as a hint: an
// ellipsis and its last few characters, enough to tell two keys apart when
// debugging, never enough to use one.
#pragma once

#include <string>
#include <string_view>

// "…" and the secret's last characters: 4 of a secret of 16 or more, 2 of
// one of 8 or more, none of a shorter one. Empty for an empty secret.
std::string SecretHint(std::string_view secret);

// The text with every occurrence of `secret` replaced by its hint.
std::string RedactSecret(std::string_view text, std::string_view secret);

// A URL fit for a trace: the password of its user part, the values of query
// items that carry credentials (names such as upswd, config.login, key,
// token, password) and, in an RTMP URL, everything after the application
// (the stream key) and every value of the application's own query
// ("rtmp://host/app?key=K/room") are replaced by their hints. Other parts
// stay as they are.
std::string RedactUrl(std::string_view url);
