#include "LaunchModes.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>

namespace {

std::vector<std::string> ParameterLines(const std::string& list) {
  std::vector<std::string> lines(1);
  for (size_t i = 0; i < list.size(); ++i) {
    char c = list[i];
    if (c == '&' || c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 < list.size() && list[i + 1] == '\n') ++i;
      lines.emplace_back();
    } else {
      lines.back().push_back(c);
    }
  }
  return lines;
}

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// The value of the first line whose name matches; false when there is none.
bool FindValue(const std::vector<std::string>& lines, const std::string& name, std::string& value) {
  for (const std::string& line : lines) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    if (SameName(line.substr(0, eq), name)) {
      value = line.substr(eq + 1);
      return true;
    }
  }
  return false;
}

}  // namespace

bool IsLaunchMode(const std::vector<std::string>& arguments) { return arguments.size() >= 2; }

int64_t LaunchInteger(const std::string& text, int64_t defaultValue, int64_t min, int64_t max) {
  if (text.empty()) return defaultValue;
  size_t i = (text[0] == '-' || text[0] == '+') ? 1 : 0;
  if (i == text.size()) return defaultValue;
  for (size_t k = i; k < text.size(); ++k)
    if (!std::isdigit(static_cast<unsigned char>(text[k]))) return defaultValue;
  errno = 0;
  long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (errno == ERANGE || value < min || value > max) return defaultValue;
  return value;
}

TLaunchParams ParseLaunchParams(const std::string& parameterList, const std::string& rtmpUrl) {
  const std::vector<std::string> lines = ParameterLines(parameterList);
  TLaunchParams p;
  p.RtmpUrl = rtmpUrl;
  auto text = [&](const char* name, std::string& field) { FindValue(lines, name, field); };
  auto integer = [&](const char* name, auto& field) {
    using T = std::remove_reference_t<decltype(field)>;
    std::string value;
    if (FindValue(lines, name, value))
      field = static_cast<T>(LaunchInteger(value, field, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
  };
  text("Address", p.Address);
  text("User", p.User);
  text("Password", p.Password);
  integer("isHD", p.isHD);
  integer("isIPC", p.isIPC);
  integer("RtspPort", p.RtspPort);
  integer("HttpPort", p.HttpPort);
  integer("hwndFrom", p.hwndFrom);
  integer("id", p.id);
  integer("AutoReconnect", p.AutoReconnect);
  integer("StatsInterval", p.StatsInterval);
  text("TlsCaFile", p.TlsCaFile);
  integer("TlsVerify", p.TlsVerify);
  if (p.StatsInterval < 0) p.StatsInterval = 0;
  std::string delay;
  if (FindValue(lines, "BufferTime", delay)) {
    int64_t seconds = LaunchInteger(delay, -1, 0, kMaxLaunchBufferTime);
    if (seconds >= 0) p.BufferTime = static_cast<int32_t>(seconds);
  }
  return p;
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
  std::vector<std::string> arguments;
  std::string current;
  bool inArgument = false, quoted = false;
  for (char c : commandLine) {
    if (c == '"') {
      quoted = !quoted;
      inArgument = true;
    } else if (!quoted && static_cast<unsigned char>(c) <= ' ') {
      if (inArgument) arguments.push_back(current);
      current.clear();
      inArgument = false;
    } else {
      current.push_back(c);
      inArgument = true;
    }
  }
  if (inArgument) arguments.push_back(current);
  return arguments;
}

std::string StartResultLine(int32_t id, int32_t result) {
  return "TIDECAST_START_RESULT id=" + std::to_string(id) + " result=" + std::to_string(result);
}
