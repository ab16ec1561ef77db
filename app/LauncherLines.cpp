#include "LauncherLines.h"

#include <unistd.h>

#include <cstdio>

#include "LineWriters.h"

namespace {

// A launcher that stops reading must not hold up the push or its stop: the
// lines go through a bounded queue with a writer thread of its own. A
// normal exit gives the last lines (the "stopped" line) 0.3 s.
TLineWriter& OutputWriter() {
  static TLineWriter& writer = ProcessLineWriter(
      STDOUT_FILENO, [](uint64_t dropped) { return LinesDroppedLine(dropped) + "\n"; },
      std::chrono::milliseconds(300));
  return writer;
}

}  // namespace

std::string OneDecimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  for (char& c : text)
    if (c == ',') c = '.';
  return text;
}


std::string StateLine(int32_t id, const std::string& state, int attempt, int nextSeconds, const std::string& reason,
                      int destination) {
  std::string line = "TIDECAST_STATE id=" + std::to_string(id) + " state=" + state;
  if (destination > 0) line += " dest=" + std::to_string(destination);
  if (attempt > 0) line += " attempt=" + std::to_string(attempt);
  if (attempt > 0 && nextSeconds >= 0) line += " next_s=" + std::to_string(nextSeconds);
  if (!reason.empty()) line += " reason=" + reason;
  return line;
}

std::string DestinationStatsLine(int32_t id, int destination, double sentKbps, uint64_t dropped) {
  return "TIDECAST_STATS id=" + std::to_string(id) + " dest=" + std::to_string(destination) +
         " sent_kbps=" + OneDecimal(sentKbps) + " dropped=" + std::to_string(dropped);
}

std::string StatsLine(int32_t id, const TStatsFigures& f) {
  return "TIDECAST_STATS id=" + std::to_string(id) + " recv_kbps=" + OneDecimal(f.RecvKbps) +
         " sent_kbps=" + OneDecimal(f.SentKbps) + " video_fps=" + OneDecimal(f.VideoFps) +
         " audio_fps=" + OneDecimal(f.AudioFps) + " dropped=" + std::to_string(f.Dropped) +
         " delay_s=" + OneDecimal(f.DelaySeconds);
}

std::string LinesDroppedLine(uint64_t dropped) { return "TIDECAST_LINES_DROPPED count=" + std::to_string(dropped); }

void WriteLauncherLine(const std::string& line) { OutputWriter().Post(line + "\n"); }

void DrainLauncherLines(std::chrono::milliseconds bound) { OutputWriter().Drain(bound); }
