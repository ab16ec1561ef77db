// Texts of the status and traffic display: rates with a decimal unit suffix,
// the elapsed push time, the three status lines and the version label.
#pragma once

#include <cstdint>
#include <string>

// N with a decimal unit suffix: below 1000 as it is (negatives included), then
// two decimals with "K", "M" or "G" (powers of 1000). The decimal separator
// is the given one (the user's regional one in the window).
std::string FormatCount(int32_t n, const std::string& decimalSeparator = ".");

// Milliseconds as hours:minutes:seconds, each at least two digits; the hours
// take as many digits as they need.
std::string FormatElapsed(uint32_t ms);

// The interval counters one display refresh reads.
struct TTrafficCounts {
  int32_t RecvBytes = 0;
  int32_t SentBytes = 0;
  int32_t VideoBits = 0;
  int32_t AudioBits = 0;
  int32_t VideoFrames = 0;
  int32_t AudioFrames = 0;
  // Named after "视频" when not empty (the window names H.265; H.264, the
  // devices' own codec, goes unnamed as it always has).
  std::string VideoCodec;
};

// The three lines of the status label, joined by a carriage return each:
// received rate, per-stream rates and frame counts, then the sent rate, or
// the countdown while the configured delay is still filling.
std::string FormatStatusLines(const TTrafficCounts& counts, int32_t bufferTimeSeconds, uint32_t elapsedMs,
                              const std::string& decimalSeparator = ".");

// The status area's last line while the server connection is re-made:
// "reconnecting, attempt N, next in S s".
std::string ReconnectStatusLine(int attempt, int secondsLeft);
// ... and while the device sends no video and its stream is re-made.
std::string DeviceLostStatusLine();

// "V" followed by the program's version text.
std::string VersionLabel(const std::string& versionText);
