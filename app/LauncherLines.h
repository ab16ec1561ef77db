// The lines a launching program reads on standard output besides the start
// result: one TIDECAST_STATE line per change of the push's state and, when
// asked for, a TIDECAST_STATS line every few seconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// "TIDECAST_STATE id=<id> state=<word>", then attempt= and next_s= when
// attempt is above 0, and reason= when one is given (a word without blanks).
// `destination` above 0 adds "dest=<n>" after the state (a line about one of
// several destinations).
std::string StateLine(int32_t id, const std::string& state, int attempt = 0, int nextSeconds = -1,
                      const std::string& reason = "", int destination = 0);

// A figure with one decimal, always with a point whatever the locale: the
// launcher, the state file and the metrics text parse these.
std::string OneDecimal(double value);

struct TStatsFigures {
  double RecvKbps = 0;
  double SentKbps = 0;
  double VideoFps = 0;
  double AudioFps = 0;
  uint64_t Dropped = 0;  // frames dropped since the start
  double DelaySeconds = 0;
};

// "TIDECAST_STATS id=<id> recv_kbps=.. sent_kbps=.. video_fps=.. audio_fps=..
// dropped=.. delay_s=..", with a decimal point whatever the locale.
std::string StatsLine(int32_t id, const TStatsFigures& figures);
// With several destinations, one line each after StatsLine: "TIDECAST_STATS
// id=<id> dest=<n> sent_kbps=.. dropped=.." (that destination's share).
std::string DestinationStatsLine(int32_t id, int destination, double sentKbps, uint64_t dropped);

// Queues the line and a line feed for standard output, from any thread; it
// goes out whole, in the order posted, on a writer thread of its own, so a
// launcher that stops reading never blocks the caller. While the pipe stays
// full, lines past a bound are dropped and counted; once it takes lines
// again, LinesDroppedLine tells how many. A launcher that has closed its
// end is no error (SIGPIPE must be ignored by the program).
void WriteLauncherLine(const std::string& line);
// "TIDECAST_LINES_DROPPED count=<n>"
std::string LinesDroppedLine(uint64_t dropped);
// Waits, at most `bound`, until the queued lines are written.
void DrainLauncherLines(std::chrono::milliseconds bound);
