// Device logon: asks a recording device's web server for the login key that
// opens its RTSP stream (rtsp://.../stream/N?config.login=KEY).
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The login key from the device's logon CGI, or "" when there is none (no
// answer, the reply "-1", fewer than three reply fields, or a key that
// IsUsableLoginKey refuses). The host goes into the URL as given; the user
// name (UTF-8) as its GBK bytes, percent-encoded, which is how the device
// reads it; the password (UTF-8) is hashed in its GBK bytes.
// Blocks the calling thread for at most about five seconds.
std::string GetLoginKey(const std::string& host, const std::string& user, const std::string& password,
                        int httpPort);

// Downloads the URL (HTTP GET) and stores the body, byte for byte, in `text`.
// Returns false, leaving `text` as it was, when the download fails (no
// answer within the time-outs, an HTTP error status, a body above 1 MiB).
// The body is kept in memory: two programs logging on at once cannot read
// each other's reply.
bool DownloadURLToText(const std::string& url, std::string& text);

// While set, every download under way (and every one that starts) ends
// within about a second as failed: a stop must not wait for a device's logon
// on another thread.
void SetLogonsCancelled(bool cancelled);
// Ends every download under way within about a second (a quit signal, a stop
// during a start); one that begins afterwards is not affected.
// Async-signal-safe (one atomic increment).
void CancelLogons();

// The system's temporary folder, ending in its separator, or "".
std::string GetTempDir();

// The reply's fields: "|", CR and LF end a field; CR/LF at a field's start
// are skipped; a single or double quote opens a stretch (kept in the field)
// in which nothing ends the field until the same quote comes again; empty
// fields are not counted. Steps GBK characters, so a trail byte is never
// taken for a separator or a quote.
std::vector<std::string> SplitReplyFields(std::string_view reply);

// True for a key that can go into the RTSP URL as it is: 1 to
// kMaxLoginKeyLength characters, each a letter, a digit or one of "-._~".
// Anything else (a quote, a line break, a megabyte of text) comes from a
// broken or hostile device.
constexpr size_t kMaxLoginKeyLength = 256;
bool IsUsableLoginKey(std::string_view key);

// Bytes for a URL's query: every byte other than a letter, a digit or one of
// "-._~" as %XX.
std::string PercentEncoded(std::string_view bytes);

// The login key in a logon reply: its second field when it has three or
// more, "" for "-1" and for anything shorter.
std::string LoginKeyFromReply(std::string_view reply);
