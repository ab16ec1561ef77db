// The three parts the push drives, each behind a small interface: the sender
// (the sender library, or a local recording), the RTSP capturer and the delay
// buffer. The program plugs in adapters of the real parts; tests plug in fakes
// to drive the per-sample path and inject faults.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "velmaro.h"  // TMediaHeader

// The push's numbering of its two streams, towards the delay buffer and the
// destinations (the device's own codes are the client library's, trel32.h).
enum : int { kStreamVideo = 1, kStreamAudio = 2 };

// The sender library's exports RTMP_Open, RTMP_SendHeader, RTMP_SendVideo,
// RTMP_SendAudio and RTMP_Close, with their codes and results.
class TSender {
 public:
  virtual ~TSender() = default;
  virtual int Open(const char* url, void** handle) = 0;
  virtual int SendHeader(void* handle, const TMediaHeader* header) = 0;
  virtual bool SendVideo(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs,
                         bool isKey) = 0;
  virtual bool SendAudio(void* handle, const uint8_t* data, uint32_t length, uint32_t timeMs) = 0;
  virtual bool Close(void* handle) = 0;
  // RTMP_CancelOpen: every Open under way returns soon after.
  virtual void CancelOpen() {}
  // RTMPS for the opens that follow: authorities trusted besides the
  // system's (a PEM file; empty: none), and whether certificates are checked.
  virtual void SetTls(const std::string& /*caFile*/, bool /*verify*/) {}
  // RTMP_GetStats; false when the sender has none for the handle.
  virtual bool GetStats(void* /*handle*/, TVelmaroStats* /*stats*/) { return false; }
  // Why the handle failed for good, as a state-line reason word (a full disk
  // under a local recording: "disk_full"); empty when a new connection may
  // help.
  virtual std::string FatalReason(void* /*handle*/) { return {}; }
};

// What a connected capturer knows of its stream (its MediaInfo and the
// parameter sets exactly as the client library stored them).
struct TCaptureInfo {
  int32_t VideoWidth = 0;
  int32_t VideoHeight = 0;
  int32_t VideoFrameRate = 0;
  int32_t AudioSampleRate = 0;  // 0: the stream has no audio
  int32_t AudioChannels = 0;
  std::vector<uint8_t> Vps;  // H.265 only
  std::vector<uint8_t> Sps;
  std::vector<uint8_t> Pps;
  std::vector<uint8_t> AudioConfig;  // the device's AudioSpecificConfig, if it described one
  // The codecs by FFmpeg's names; empty when the device does not say (H.264
  // and AAC). The push carries H.264 and H.265 ("hevc") video; sound it is
  // handed is AAC (the client library makes other sound AAC where it can).
  std::string VideoCodec;  // also after a Connect refused for its video codec
  std::string UnsupportedAudioCodec;  // sound the device sends that is not carried (AudioSampleRate 0)
};

// The RTSP capturer: Connect, StartCapture, StopCapture, Disconnect and its
// OnSample event (stream code, frame type, data, length, ticks), called on
// the client library's delivering thread.
class TCaptureDevice {
 public:
  using TSampleEvent = std::function<void(uint8_t code, uint8_t frameType, const uint8_t* data,
                                          int32_t length, int64_t ticks)>;
  virtual ~TCaptureDevice() = default;
  virtual void SetOnSample(TSampleEvent handler) = 0;
  virtual int Connect(const std::string& address, const std::string& user,
                      const std::string& password, uint8_t isIPC, int32_t rtspPort,
                      int32_t httpPort, bool isHD) = 0;
  virtual int StartCapture() = 0;
  virtual int StopCapture() = 0;
  virtual void Disconnect() = 0;
  virtual TCaptureInfo Info() const = 0;  // valid after a successful Connect
  // Drops the device connection and makes it again, as after a connection
  // the device dropped; the timeline continues. Any thread but the
  // delivering one.
  virtual void RestartStream() {}
  // Ends a Connect under way (its logon, its RTSP open, its wait for
  // parameter sets) soon after, failed; one that begins afterwards is not
  // affected, so a caller that may come just before repeats it until the
  // Connect has returned. Async-signal-safe.
  virtual void CancelConnect() {}
};

// The delay buffer: holds samples for the delay and releases them on a
// thread of its own through OnSample (kind 1 video, 2 audio).
class TDelayBuffer {
 public:
  using TReleaseEvent = std::function<void(int kind, const uint8_t* data, int32_t length,
                                           int64_t timeMs, bool isKey)>;
  virtual ~TDelayBuffer() = default;
  virtual int SetDelay(uint32_t ms) = 0;
  virtual void SetOnSample(TReleaseEvent handler) = 0;
  virtual void Start() = 0;
  virtual void AddSample(int kind, const void* data, int32_t length, int64_t timeMs,
                         bool isKey) = 0;
  // Returns once no release is in progress and none will start.
  virtual void Stop() = 0;
  // Samples the buffer dropped so far.
  virtual uint32_t FramesDropped() const { return 0; }
  // What the buffer adds to each sample's time on release.
  virtual int64_t TimeOffsetMs() const { return 0; }
};

using TDelayBufferFactory = std::function<std::unique_ptr<TDelayBuffer>()>;
