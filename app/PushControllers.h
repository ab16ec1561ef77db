// The push controller: one push at a time from the device's capturer to the
// sender library, directly or through the delay buffer. Plain C++ without a
// window toolkit; the main window forwards its buttons here and shows what
// the controller reports.
//
// Threads: StartPush and StopPush run on the main thread;
// HandleCapturedSample on the capturer's delivering thread; SendSample on the
// delivering thread (no delay) or on the delay buffer's thread, always on one
// of them in one push.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "Configs.h"
#include "PushSeams.h"

// Start result codes.
enum : int {
  kStartRunning = 0,
  kStartDeviceFailed = 1,
  kStartOpenFailed = 2,
  kStartHeaderFailed = 3,
  kStartCaptureFailed = 4,
};

// Stream numbers towards the delay buffer and SendSample.
enum : int { kStreamVideo = 1, kStreamAudio = 2 };

// The system tick count in milliseconds (monotonic, wraps at 2^32).
uint32_t SystemTickCount();

// How far one stream may run ahead of the other in the sender's sorter,
// which releases nothing until both streams have a message waiting. When the
// device's audio stops (or never comes) while video runs on, silent AAC
// frames fill the gap once video is this far ahead, so video keeps reaching
// the server; when video stops, audio more than this far ahead of the last
// video is dropped. Either way the sorter holds at most this much media.
constexpr int64_t kStreamSkewLimitMs = 3000;

// The error report, once per push, when the sender refuses media.
constexpr const char* kSendFailedText =
    "RTMP推流发送失败， 请检查网络是否通，RTMP服务主机是否开启，然后停止并重新开始推流";

class TPushController {
 public:
  enum class TState { Idle, Running, Stopping };

  // The capturer lives as long as the controller; its OnSample is bound to
  // HandleCapturedSample here, once. `config` supplies the delay.
  TPushController(TSender& sender, TCaptureDevice& capturer, const TConfig& config,
                  TDelayBufferFactory makeDelayBuffer);
  ~TPushController();
  TPushController(const TPushController&) = delete;
  TPushController& operator=(const TPushController&) = delete;

  // Runs the start sequence; returns a start result code. A start first
  // releases whatever an earlier failed start left open.
  int StartPush(const std::string& address, const std::string& user, const std::string& password,
                const std::string& rtmpUrl, bool isHD, uint8_t isIPC, int32_t rtspPort,
                int32_t httpPort);
  // Runs the stop sequence; safe when no push runs. A stop requested while
  // one is under way (from its half-second wait) returns at once: the first
  // one finishes the job.
  void StopPush();

  void HandleCapturedSample(uint8_t code, uint8_t frameType, const uint8_t* data, int32_t length,
                            int64_t ticks);
  void SendSample(int stream, const uint8_t* data, int32_t length, int64_t timeMs, bool isKey);

  // Called during StopPush's wait so that the window stays responsive.
  std::function<void()> OnProcessMessages;
  // Called on the main thread whenever the state changes.
  std::function<void(TState)> OnStateChanged;
  // The step of StopPush's wait (five steps; 100 ms in the program).
  int StopWaitStepMs = 100;

  TState State() const { return FState; }
  const TMediaHeader& Header() const { return FHeader; }
  void* SenderHandle() const { return FSenderHandle.load(); }
  bool KeyFrameSeen() const { return FKeyFrameSeen.load(); }
  uint32_t BaseTime() const { return FBaseTime.load(); }
  bool Delivered() const { return FDelivered.load(); }
  bool HasBufferWorker() const { return FBufferWorker != nullptr; }
  uint32_t StartTick() const { return FStartTick; }

  // The six interval counters, read and zeroed by the display each second.
  std::atomic<int32_t> FVideoFrames{0};
  std::atomic<int32_t> FAudioFrames{0};
  std::atomic<int32_t> FSentBytes{0};
  std::atomic<int32_t> FRecvBytes{0};
  std::atomic<int32_t> FVideoBits{0};
  std::atomic<int32_t> FAudioBits{0};

 private:
  void BuildHeader(const TCaptureInfo& info);
  void ReleaseLeftovers();
  void ResendHeaderWhileHolding(void* handle);
  void MarkDelivered();
  void SendVideo(void* handle, const uint8_t* data, int32_t length, int64_t timeMs, bool isKey);
  void SendAudio(void* handle, const uint8_t* data, int32_t length, int64_t timeMs);
  void FillAudioGap(void* handle, int64_t videoMs);
  // A key frame with new parameter sets: the header follows before it goes out.
  void FollowParameterSetChange(void* handle, const uint8_t* data, int32_t length);
  void ReportRefusal(const char* trace);
  void SetState(TState state);

  TSender& FSender;
  TCaptureDevice& FCapturer;
  const TConfig& FConfig;
  TDelayBufferFactory FMakeDelayBuffer;

  std::atomic<void*> FSenderHandle{nullptr};
  TMediaHeader FHeader{};
  std::atomic<bool> FKeyFrameSeen{false};
  std::atomic<uint32_t> FBaseTime{0};
  uint32_t FStartTick = 0;
  std::atomic<bool> FDelivered{false};
  std::atomic<bool> FRefusalReported{false};  // the operator was told this push
  std::unique_ptr<TDelayBuffer> FBufferWorker;
  std::atomic<int32_t> FAudioSampleRate{0};  // the capturer's, read at start
  bool FDeviceOpen = false;                   // Connect was called since the last release
  TState FState = TState::Idle;

  // Decides on FDelivered and the header re-send together, so that no
  // re-send overlaps the first media the delay buffer releases.
  std::mutex FHeaderLock;

  // Stream skew bound, on the sending thread only (see kStreamSkewLimitMs).
  int64_t FLastVideoMs = 0;    // relative time of the last video sent
  int64_t FLastAudioMs = 0;    // relative time of the last audio sent
  double FFillEndMs = 0;       // end of the silence sent so far
  bool FFillingAudio = false;
  uint8_t FChannelConfig = 2;
};
