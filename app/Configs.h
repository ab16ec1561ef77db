// The operator's last connection settings, kept in the current user's
// settings key SOFTWARE\Orvane\Tidecast (SettingsKeys).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "DelayLimits.h"

class TConfig {
 public:
  // Defaults of a first run.
  static constexpr const char* DefaultAddress = "192.168.1.100";
  static constexpr const char* DefaultRtmpUrl = "rtmp://192.168.1.10/hls/test1";

  // The settings key at `location` (DefaultSettingsLocation() for the program).
  explicit TConfig(std::string location);

  std::string Address = DefaultAddress;  // device host address
  int32_t HttpPort = 80;                 // device HTTP port (logon)
  int32_t RtspPort = 554;                // device RTSP port
  std::string Username = "admin";
  std::string Password;                  // stored as plain text: the file is the user's only
  int32_t StreamType = 0;                // 0 low stream, 1 high stream
  std::string RtmpUrl = DefaultRtmpUrl;  // RTMP publish URL
  int32_t BufferTime = 0;                // delay in seconds; 0 or less: no delay
  int32_t AutoReconnect = 1;             // nonzero: a lost server connection is made again
  // RTMPS, set in the file only (the window neither shows nor saves them):
  std::string TlsCaFile;                 // a PEM file of authorities trusted besides the system's
  int32_t TlsVerify = 1;                 // 0: no certificate checks (a warning in the trace and state line)
  // H.265 cameras, set in the file only: "id12" sends the older FLV form
  // (codec id 12) for servers without enhanced RTMP; empty or "enhanced":
  // enhanced RTMP.
  std::string HevcFlv;
  // The longest delay taken: above it, the window refuses to start and
  // Load refuses the stored value (no delay, with an error report).
  static constexpr int32_t MaxBufferTime = kMaxDelaySeconds;

  // Fills the fields from the key, creating the key when it does not exist.
  // Never fails: a value of the wrong type, a missing integer other than
  // BufferTime or a file that cannot be read gives every field its default;
  // a missing BufferTime alone gives 0, and so does a BufferTime above
  // MaxBufferTime (reported); a missing AutoReconnect alone gives 1, a
  // missing TlsCaFile nothing and a missing TlsVerify 1. A
  // missing string reads as empty; a HevcFlv that is neither form is
  // reported and reads as empty.
  void Load();

  // Writes all nine values at once. Throws ESettingsError, whose text names
  // the value or the file, when they cannot be stored.
  void Save() const;

  void SetDefaults();
  const std::string& Location() const { return FLocation; }

 private:
  std::string FLocation;
};

// How H.265 goes out (the HevcFlv setting): enhanced RTMP, or the older
// codec id 12 ("id12") for servers without it.
enum class THevcFlv { Enhanced, Id12 };
// "enhanced" or "id12" (any case; empty: enhanced); false for anything else.
bool ParseHevcFlv(const std::string& text, THevcFlv& form);

// The operator's message for a delay above TConfig::MaxBufferTime, or ""
// when the delay is allowed.
std::string BufferTimeRefusal(int32_t seconds);

// The program-wide settings: created and loaded before the main window,
// released at exit without being saved.
extern std::unique_ptr<TConfig> Config;
