// The RTSP capturer: opens one live stream of a recording device (or an IP
// camera) through libtrel32 and hands each access unit and audio frame to
// its owner as it arrives. The unit also starts and stops the library for
// the whole process.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "trel32.h"

// The owner's sample handler: stream code (4 video, 129 audio), frame type
// (2 key frame), data, length, timestamp in the stream's clock (90 kHz for
// video, AudioSampleRate for audio). Called on the library's thread; the
// data is valid only during the call.
using TCaptureSampleEvent =
    std::function<void(uint8_t streamCode, uint8_t frameType, const uint8_t* data, int32_t length, int64_t timestamp)>;

class TTrel32Capturer {
 public:
  bool Connected = false;  // the client exists and its description was read
  bool Capturing = false;  // the callback is registered
  std::string Url;         // RTSP URL of the last Connect
  TRtspMediaInfo MediaInfo{};
  // The codecs of the last Connect, by FFmpeg's names ("h264", "hevc",
  // "pcm_alaw"): video also after a Connect refused for its codec; audio
  // when the stream has sound (made AAC or not).
  std::string VideoCodecName;
  std::string AudioCodecName;
  int32_t Channel = 0;     // names the client in every library call
  TCaptureSampleEvent OnSample;  // set once by the owner before StartCapture
  uint8_t Vps[TREL32_PARAMETER_SET_SIZE] = {};  // H.265 only
  int32_t VpsLen = 0;
  uint8_t Sps[TREL32_PARAMETER_SET_SIZE] = {};
  int32_t SpsLen = 0;
  uint8_t Pps[TREL32_PARAMETER_SET_SIZE] = {};
  int32_t PpsLen = 0;
  // The device's own AudioSpecificConfig (0 bytes without AAC audio).
  uint8_t AudioConfig[TREL32_AUDIO_CONFIG_SIZE] = {};
  int32_t AudioConfigLen = 0;

  // Mode 0 is a recording device (login key over HTTP unless httpPort is 0),
  // mode 1 an IP camera, whose user and password answer its RTSP
  // authentication when it asks (Url and the trace never show them). Returns 0 when connected, -1 for another mode, or
  // the library's code of the step that failed.
  static std::string CodecName(int32_t channel, uint8_t streamCode);
  int32_t Connect(const std::string& address, const std::string& user, const std::string& password, int32_t mode,
                  int32_t rtspPort, int32_t httpPort, bool hd);
  // 0, -1 when the state does not allow it, or the library's code.
  int32_t StartCapture();
  int32_t StopCapture();
  // Makes the library drop the stream and reconnect (see trel32RestartRTSPClient).
  int32_t RestartStream();
  // Stops capturing if needed and releases the library client.
  void Disconnect();

 private:
  // The login stream's reconnects: a restarted device has forgotten the key
  // in the URL, so each attempt logs in again for a fresh one.
  static int32_t TREL32_CALL FreshLoginUrl(int32_t channel, void* user, char* url, int32_t capacity);
  static void TREL32_CALL HandleSample(int32_t channel, void* user, uint8_t streamCode, uint8_t frameType,
                                       const uint8_t* data, int32_t length, int64_t timestamp);
  void ReleaseClient();

  bool clientOpen_ = false;  // a library client exists on Channel, connected or not

  // The logon behind a login-key URL; fixed while the client exists (the
  // library's thread reads it for reconnects).
  struct TLogon {
    std::string address, user, password;
    int32_t rtspPort = 0, httpPort = 0;
  } logon_;
};

// Start-up and shut-down of the library for the process: once before the
// main window is created, once after it is destroyed. Start-up raises
// EAssertionFailed "terl32Lib.Init failed" when the library refuses.
void Trel32CapturersStartup();
void Trel32CapturersShutdown();
