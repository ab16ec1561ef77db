#include "StatusDisplays.h"

#include <cstdio>

namespace {

std::string WithSeparator(std::string text, const std::string& decimalSeparator) {
  size_t point = text.find('.');
  if (point != std::string::npos) text.replace(point, 1, decimalSeparator);
  return text;
}

std::string Scaled(int32_t n, double divisor, const char* suffix, const std::string& decimalSeparator) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f%s", static_cast<double>(n) / divisor, suffix);
  return WithSeparator(text, decimalSeparator);
}

}  // namespace

std::string FormatCount(int32_t n, const std::string& decimalSeparator) {
  if (n < 1000) return std::to_string(n);
  if (n < 1000000) return Scaled(n, 1e3, "K", decimalSeparator);
  if (n < 1000000000) return Scaled(n, 1e6, "M", decimalSeparator);
  return Scaled(n, 1e9, "G", decimalSeparator);
}

std::string FormatElapsed(uint32_t ms) {
  uint32_t hours = ms / 3600000u;
  uint32_t minutes = ms / 60000u - hours * 60u;
  uint32_t seconds = ms / 1000u - hours * 3600u - minutes * 60u;
  char text[32];
  std::snprintf(text, sizeof text, "%.2u:%.2u:%.2u", hours, minutes, seconds);
  return text;
}

std::string FormatStatusLines(const TTrafficCounts& c, int32_t bufferTimeSeconds, uint32_t elapsedMs,
                              const std::string& decimalSeparator) {
  auto count = [&](int64_t n) { return FormatCount(static_cast<int32_t>(n), decimalSeparator); };
  std::string sent;
  if (static_cast<int64_t>(elapsedMs) < static_cast<int64_t>(bufferTimeSeconds) * 1000)
    sent = "缓冲中..." + std::to_string(bufferTimeSeconds - static_cast<int64_t>(elapsedMs / 1000));
  else
    sent = count(static_cast<int64_t>(c.SentBytes) * 8) + "bps";
  return "接收码流: " + count(static_cast<int64_t>(c.RecvBytes) * 8) + "bps\r" +
         "     (视频" + (c.VideoCodec.empty() ? "" : " " + c.VideoCodec) + ": " + count(c.VideoBits) + "bps, " + std::to_string(c.VideoFrames) + "fps  音频: " +
         count(c.AudioBits) + "bps, " + std::to_string(c.AudioFrames) + "fps)\r" + "发送码流：" + sent;
}

std::string ReconnectStatusLine(int attempt, int secondsLeft) {
  if (secondsLeft <= 0) return "正在重连，第" + std::to_string(attempt) + "次...";
  return "正在重连，第" + std::to_string(attempt) + "次，" + std::to_string(secondsLeft) + "秒后重试";
}

std::string DeviceLostStatusLine() { return "录播主机无视频，正在重新连接..."; }

std::string VersionLabel(const std::string& versionText) { return "V" + versionText.substr(0, 255); }
