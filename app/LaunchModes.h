// Launch mode: another program starts a push with two or more command-line
// arguments, a "&"-separated Name=Value list and one or more destinations.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DelayLimits.h"

// The longest delay a launch parameter may ask for, the window's own limit.
constexpr int32_t kMaxLaunchBufferTime = kMaxDelaySeconds;

struct TLaunchParams {
  std::string Address;
  std::string User;
  std::string Password;
  std::string RtmpUrl;  // the second argument: the first destination
  // Arguments 2 to N: rtmp://, rtmps:// or file:///absolute/folder each.
  std::vector<std::string> Destinations;
  int32_t isHD = 1;     // above 0 selects the high-stream button
  int32_t isIPC = 0;    // lowest 8 bits: 0 recording device, 1 IP camera
  int32_t RtspPort = 554;
  int32_t HttpPort = 80;
  int64_t hwndFrom = 0;  // window that receives the start result (Windows); 0 none
  int32_t id = 0;        // instance number: caption suffix; 0 also shows the window
  int32_t AutoReconnect = -1;  // 0 off, above 0 on; -1 (absent): the stored setting
  int32_t StatsInterval = 0;   // seconds between TIDECAST_STATS lines; 0 none
  std::string TlsCaFile;       // RTMPS: a PEM file of authorities trusted besides the system's; empty: the stored one
  int32_t TlsVerify = -1;      // RTMPS: 0 no certificate checks, above 0 checks; -1 (absent): the stored setting
  std::string HevcFlv;         // H.265: "enhanced" or "id12"; empty (absent): the stored setting
  // Delay in seconds for this instance only, in place of the stored one;
  // absent (or out of 0..kMaxLaunchBufferTime) the stored delay counts.
  std::optional<int32_t> BufferTime;
  // Local recordings (file:/// destinations): a new file after this many
  // minutes, and this instance's recordings in the folder at most this many
  // MiB. Below 1 (or not a number) the default counts; the defaults are
  // TRecordOptions' (record/Recordings.h).
  int32_t RecordSegmentMinutes = 60;
  int64_t RecordMaxMB = 20480;

  bool RequestsHD() const { return (isHD & 0xFF) != 0; }
  uint8_t IpcMode() const { return static_cast<uint8_t>(isIPC & 0xFF); }
  bool ShowsWindow() const { return id == 0; }
  std::string Caption() const { return "TidecastMain-" + std::to_string(id); }
};

// True when the arguments (without the program name) ask for launch mode:
// two or more of them.
bool IsLaunchMode(const std::vector<std::string>& arguments);

// One launch parameter: its name, what its value is (for the usage text),
// its help (lines joined by line feeds) and how it is read. The one table
// drives both parsing and `Tidecast --help`.
struct TLaunchParamRow {
  const char* Name;
  const char* Value;
  const char* Help;
  void (*Read)(const std::string& value, TLaunchParams& params);
};
const std::vector<TLaunchParamRow>& LaunchParamTable();
// The table as the usage text lists it, one "  Name=VALUE  help" item each.
std::string LaunchParamsUsage();

// Reads the parameter list and the destinations (arguments 2 to N). Names
// match without regard to case, the first item of a name wins, lines without
// "=" and unknown names are ignored; an integer that is missing or not a
// decimal integer takes its default. Texts are used as they are (not trimmed).
TLaunchParams ParseLaunchParams(const std::string& parameterList, const std::vector<std::string>& destinations);
TLaunchParams ParseLaunchParams(const std::string& parameterList, const std::string& rtmpUrl);

// A decimal integer with an optional sign, nothing else; the default otherwise.
int64_t LaunchInteger(const std::string& text, int64_t defaultValue, int64_t min, int64_t max);

// Splits a command line the way the launching programs write it: blanks
// separate arguments, a double-quoted run is one argument (the quotes go).
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

// The machine-readable line that reports the start result to a launching
// program on standard output.
std::string StartResultLine(int32_t id, int32_t result);
