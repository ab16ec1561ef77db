// The pause before each attempt to make a lost connection again: 1, 2, 4, 8,
// then every 10 s. Header-only: the push's destinations and the RTSP client
// library's own reconnect follow the same schedule.
#pragma once

// The pause before attempt 1, 2, 3, ... (an attempt below 1 counts as 1).
constexpr int ReconnectPauseSeconds(int attempt) {
  constexpr int kLongestPause = 10;
  if (attempt < 1) attempt = 1;
  return attempt <= 4 ? 1 << (attempt - 1) : kLongestPause;
}
