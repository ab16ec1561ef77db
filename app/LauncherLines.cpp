#include "LauncherLines.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex outputLock;

// One decimal, always with a point: the launcher parses these.
std::string Decimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  for (char& c : text)
    if (c == ',') c = '.';
  return text;
}

}  // namespace

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
         " sent_kbps=" + Decimal(sentKbps) + " dropped=" + std::to_string(dropped);
}

std::string StatsLine(int32_t id, const TStatsFigures& f) {
  return "TIDECAST_STATS id=" + std::to_string(id) + " recv_kbps=" + Decimal(f.RecvKbps) +
         " sent_kbps=" + Decimal(f.SentKbps) + " video_fps=" + Decimal(f.VideoFps) +
         " audio_fps=" + Decimal(f.AudioFps) + " dropped=" + std::to_string(f.Dropped) +
         " delay_s=" + Decimal(f.DelaySeconds);
}

void WriteLauncherLine(const std::string& line) {
  std::lock_guard<std::mutex> lock(outputLock);
  std::string whole = line + "\n";
  if (std::fwrite(whole.data(), 1, whole.size(), stdout) != whole.size() || std::fflush(stdout) != 0)
    std::clearerr(stdout);  // the reader is gone: the line is dropped, the push goes on
}
