#include "RoomStates.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#include "LaunchModes.h"
#include "LauncherLines.h"

namespace {

constexpr const char* kMark = "tidecast_room";
constexpr int kMaxDestinations = 64;

bool IsWord(const std::string& text) {
  if (text.empty() || text.size() > 128) return false;
  for (unsigned char c : text)
    if (c <= ' ' || c == 0x7F || c == '"' || c == '\\') return false;
  return true;
}

std::optional<uint64_t> Count(const std::string& text) {
  int64_t value = LaunchInteger(text, -1, 0, INT64_MAX);
  if (value < 0 || text[0] == '+' || text[0] == '-') return std::nullopt;
  return static_cast<uint64_t>(value);
}

std::optional<double> Rate(const std::string& text) {
  if (text.empty() || text.size() > 24) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !(value >= 0) || value > 1e12) return std::nullopt;
  return value;
}

}  // namespace

std::string FormatRoomStatus(const TRoomStatus& s) {
  std::string text = std::string(kMark) + "=1\n";
  text += "room=" + s.Room + "\n";
  text += "state=" + s.State + "\n";
  text += "since=" + std::to_string(s.Since) + "\n";
  text += "updated=" + std::to_string(s.Updated) + "\n";
  text += "refresh_s=" + std::to_string(s.RefreshSeconds) + "\n";
  text += "device=" + s.Device + "\n";
  for (size_t i = 0; i < s.Destinations.size(); ++i) {
    const TDestinationStatus& d = s.Destinations[i];
    std::string prefix = "dest." + std::to_string(i + 1) + ".";
    text += prefix + "state=" + d.State + "\n";
    text += prefix + "sent_kbps=" + OneDecimal(d.SentKbps) + "\n";
    text += prefix + "sent_bytes=" + std::to_string(d.SentBytes) + "\n";
    text += prefix + "frames_dropped=" + std::to_string(d.FramesDropped) + "\n";
    text += prefix + "reconnects=" + std::to_string(d.Reconnects) + "\n";
  }
  return text;
}

std::optional<TRoomStatus> ParseRoomStatus(const std::string& text) {
  if (text.size() > 64 * 1024) return std::nullopt;
  std::map<std::string, std::string> values;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    values.emplace(line.substr(0, eq), line.substr(eq + 1));  // the first of a key counts
  }
  if (values[kMark] != "1") return std::nullopt;
  TRoomStatus s;
  s.Room = values["room"];
  s.State = values["state"];
  s.Device = values["device"];
  auto since = Count(values["since"]), updated = Count(values["updated"]), refresh = Count(values["refresh_s"]);
  if (!IsWord(s.Room) || !IsWord(s.State) || !IsWord(s.Device) || !since || !updated || !refresh || *refresh == 0 ||
      *refresh > 86400)
    return std::nullopt;
  s.Since = static_cast<int64_t>(*since);
  s.Updated = static_cast<int64_t>(*updated);
  s.RefreshSeconds = static_cast<int32_t>(*refresh);
  for (int n = 1; n <= kMaxDestinations; ++n) {
    std::string prefix = "dest." + std::to_string(n) + ".";
    if (!values.count(prefix + "state")) break;
    TDestinationStatus d;
    d.State = values[prefix + "state"];
    auto kbps = Rate(values[prefix + "sent_kbps"]);
    auto bytes = Count(values[prefix + "sent_bytes"]), dropped = Count(values[prefix + "frames_dropped"]),
         reconnects = Count(values[prefix + "reconnects"]);
    if (!IsWord(d.State) || !kbps || !bytes || !dropped || !reconnects) return std::nullopt;
    d.SentKbps = *kbps;
    d.SentBytes = *bytes;
    d.FramesDropped = *dropped;
    d.Reconnects = *reconnects;
    s.Destinations.push_back(d);
  }
  return s;
}

std::string RoomNameOfPath(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  size_t slash = trimmed.rfind('/');
  std::string file = slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
  if (file == "state") {
    std::string folder = slash == std::string::npos || slash == 0 ? std::string() : trimmed.substr(0, slash);
    size_t up = folder.rfind('/');
    return up == std::string::npos ? folder : folder.substr(up + 1);
  }
  size_t dot = file.rfind('.');
  return dot == std::string::npos || dot == 0 ? file : file.substr(0, dot);
}

bool ReplaceFileText(const std::string& path, const std::string& text, std::string& error) {
  std::string temporary = path + ".tmp";
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = temporary + ": " + std::strerror(errno);
    return false;
  }
  size_t written = 0;
  while (written < text.size()) {
    ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  int closed = ::close(fd);
  if (written != text.size() || closed != 0 || std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = path + ": " + std::strerror(errno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}
