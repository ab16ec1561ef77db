#include "LaunchModes.h"

#include <cctype>
#include <cerrno>
#include <algorithm>
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

namespace {

template <typename T>
void ReadInteger(const std::string& value, T& field) {
  field = static_cast<T>(LaunchInteger(value, field, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
}

}  // namespace

const std::vector<TLaunchParamRow>& LaunchParamTable() {
  using P = TLaunchParams;
  static const std::vector<TLaunchParamRow> table = {
      {"Address", "HOST", "the recording device", +[](const std::string& v, P& p) { p.Address = v; }},
      {"User", "NAME", "its user name", +[](const std::string& v, P& p) { p.User = v; }},
      {"Password", "TEXT", "its password", +[](const std::string& v, P& p) { p.Password = v; }},
      {"isHD", "N", "1 (default) the high stream, 0 the low stream",
       +[](const std::string& v, P& p) { ReadInteger(v, p.isHD); }},
      {"isIPC", "N", "0 (default) a recording device, 1 a plain IP camera",
       +[](const std::string& v, P& p) { ReadInteger(v, p.isIPC); }},
      {"RtspPort", "N", "554 by default", +[](const std::string& v, P& p) { ReadInteger(v, p.RtspPort); }},
      {"HttpPort", "N", "80 by default; 0 skips the device logon",
       +[](const std::string& v, P& p) { ReadInteger(v, p.HttpPort); }},
      {"BufferTime", "S",
       "delay in seconds (0 to 600) for this instance only;\nwithout it the stored delay counts; settings stay as stored",
       +[](const std::string& v, P& p) {
         int64_t seconds = LaunchInteger(v, -1, 0, kMaxLaunchBufferTime);
         if (seconds >= 0) p.BufferTime = static_cast<int32_t>(seconds);
       }},
      {"id", "N", "instance number: the window is titled TidecastMain-N and\nstays hidden unless N is 0",
       +[](const std::string& v, P& p) { ReadInteger(v, p.id); }},
      {"hwndFrom", "N", "Windows only: the window that receives the start result",
       +[](const std::string& v, P& p) { ReadInteger(v, p.hwndFrom); }},
      {"AutoReconnect", "N",
       "1 remakes a lost server connection by itself, 0 leaves that\ndestination failed; without it the stored setting (1) counts",
       +[](const std::string& v, P& p) { ReadInteger(v, p.AutoReconnect); }},
      {"StatsInterval", "S", "seconds between TIDECAST_STATS lines; 0 (default) none",
       +[](const std::string& v, P& p) {
         ReadInteger(v, p.StatsInterval);
         if (p.StatsInterval < 0) p.StatsInterval = 0;
       }},
      {"TlsCaFile", "PATH", "rtmps:// only: a PEM file of authorities trusted besides\nthe system's; without it the stored setting counts",
       +[](const std::string& v, P& p) { p.TlsCaFile = v; }},
      {"TlsVerify", "N", "rtmps:// only: 0 turns the certificate checks off; without it\nthe stored setting (1) counts",
       +[](const std::string& v, P& p) { ReadInteger(v, p.TlsVerify); }},
      {"HevcFlv", "FORM", "H.265 cameras: enhanced (default) sends enhanced RTMP, id12\nthe older codec id 12 for servers without it",
       +[](const std::string& v, P& p) { p.HevcFlv = v; }},
      {"RecordSegmentMinutes", "M", "file:/// destinations: a new file every M minutes (60)",
       +[](const std::string& v, P& p) {
         ReadInteger(v, p.RecordSegmentMinutes);
         if (p.RecordSegmentMinutes < 1) p.RecordSegmentMinutes = TLaunchParams{}.RecordSegmentMinutes;
       }},
      {"RecordMaxMB", "MB", "file:/// destinations: this instance's files kept under MB (20480)",
       +[](const std::string& v, P& p) {
         ReadInteger(v, p.RecordMaxMB);
         if (p.RecordMaxMB < 1) p.RecordMaxMB = TLaunchParams{}.RecordMaxMB;
       }},
  };
  return table;
}

std::string LaunchParamsUsage() {
  constexpr size_t kHelpColumn = 20;
  std::string text;
  for (const TLaunchParamRow& row : LaunchParamTable()) {
    std::string item = std::string("  ") + row.Name + "=" + row.Value;
    item.resize(std::max(item.size() + 2, kHelpColumn), ' ');
    for (const char* c = row.Help; *c != 0; ++c)
      item += *c == '\n' ? std::string("\n") + std::string(kHelpColumn, ' ') : std::string(1, *c);
    text += item + "\n";
  }
  return text;
}

TLaunchParams ParseLaunchParams(const std::string& parameterList, const std::vector<std::string>& destinations) {
  const std::vector<std::string> lines = ParameterLines(parameterList);
  TLaunchParams p;
  p.Destinations = destinations;
  if (!destinations.empty()) p.RtmpUrl = destinations.front();
  for (const TLaunchParamRow& row : LaunchParamTable()) {
    std::string value;
    if (FindValue(lines, row.Name, value)) row.Read(value, p);
  }
  return p;
}

TLaunchParams ParseLaunchParams(const std::string& parameterList, const std::string& rtmpUrl) {
  return ParseLaunchParams(parameterList, std::vector<std::string>{rtmpUrl});
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
