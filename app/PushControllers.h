// The push controller: one push at a time from the device's capturer to the
// sender library, directly or through the delay buffer. Plain C++ without a
// window toolkit; the main window forwards its buttons here and shows what
// the controller reports.
//
// Threads: StartPush and StopPush run on the main thread;
// HandleCapturedSample on the capturer's delivering thread; SendSample on the
// delivering thread (no delay) or on the delay buffer's thread, always on one
// of them in one push. A running push has one supervising thread: it
// notices a broken server connection and makes it again (re-sending what the
// outage queue kept), and restarts a device stream that went silent. The
// media threads never wait for it: they only keep and hand over samples.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ClockRebases.h"
#include "Configs.h"
#include "OutageQueues.h"
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
// A monotonic millisecond count that does not wrap.
int64_t SteadyMilliseconds();

// How far one stream may run ahead of the other in the sender's sorter,
// which releases nothing until both streams have a message waiting. When the
// device's audio stops (or never comes) while video runs on, silent AAC
// frames fill the gap once video is this far ahead, so video keeps reaching
// the server; when video stops, audio more than this far ahead of the last
// video is dropped. Either way the sorter holds at most this much media.
constexpr int64_t kStreamSkewLimitMs = 3000;

// The error report, once per push, when the sender refuses media and
// reconnects are turned off (AutoReconnect 0).
constexpr const char* kSendFailedText =
    "RTMP推流发送失败， 请检查网络是否通，RTMP服务主机是否开启，然后停止并重新开始推流";

// Ends every push's start and reconnect under way, in every controller of
// the process (a quit signal). Async-signal-safe.
void RequestProcessStop();
bool ProcessStopRequested();

// How a running push stands, as the launcher is told (TIDECAST_STATE words).
enum class TLinkState { Running, Reconnecting, DeviceLost, Failed };
const char* LinkStateWord(TLinkState state);

struct TLinkEvent {
  TLinkState State = TLinkState::Running;
  int Attempt = 0;       // reconnect attempt about to be made (Reconnecting)
  int NextSeconds = -1;  // pause before it; -1 none
  const char* Reason = "";
};

// The reconnect pause before attempt 1, 2, 3, ...: 1, 2, 4, 8, then 10 s.
int ReconnectPauseSeconds(int attempt);

// No video from the device for this long restarts the device stream.
constexpr uint32_t kDeviceSilenceMs = 10000;

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
  // Ends a start under way (its device connection or server open returns
  // cancelled) and any reconnect; the stop itself is StopPush.
  // Async-signal-safe.
  void RequestCancel() { FCancel.store(true); }
  // Releases what a failed start left open (the device's stream above all).
  void ReleaseLeftovers();

  void HandleCapturedSample(uint8_t code, uint8_t frameType, const uint8_t* data, int32_t length,
                            int64_t ticks);
  void SendSample(int stream, const uint8_t* data, int32_t length, int64_t timeMs, bool isKey);

  // Called during StopPush's wait so that the window stays responsive.
  std::function<void()> OnProcessMessages;
  // Called on the main thread whenever the state changes.
  std::function<void(TState)> OnStateChanged;
  // Called on the supervising thread when the link state changes; must not
  // block. The start's Running is not reported (the start result says it).
  std::function<void(const TLinkEvent&)> OnLinkEvent;
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
  TLinkState LinkState() const { return static_cast<TLinkState>(FLinkState.load()); }
  int ReconnectAttempt() const { return FAttempt.load(); }
  uint32_t NextAttemptTick() const { return FNextAttemptTick.load(); }
  // Frames dropped in this push: by the sender, past the outage queue's
  // bounds, and by the delay buffer. Main thread.
  uint64_t FramesDropped() const;
  // How far the media handed to the server is behind the device: device
  // time of the latest video minus that of the latest sent (the configured
  // delay, and during an outage the time the server has been away too).
  double CurrentDelaySeconds() const;
  size_t KeptPeakBytes();

  // Running totals since the start (the interval counters are the display's).
  std::atomic<uint64_t> FTotalRecvBytes{0};
  std::atomic<uint64_t> FTotalSentBytes{0};
  std::atomic<uint64_t> FTotalVideoFrames{0};
  std::atomic<uint64_t> FTotalAudioFrames{0};

  // Goes up each time the supervising thread comes round (at least every
  // few seconds while a push runs, a reconnect attempt included): the
  // service manager's watchdog is fed only while it moves.
  std::atomic<uint64_t> FSupervisorBeats{0};

  // The six interval counters, read and zeroed by the display each second.
  std::atomic<int32_t> FVideoFrames{0};
  std::atomic<int32_t> FAudioFrames{0};
  std::atomic<int32_t> FSentBytes{0};
  std::atomic<int32_t> FRecvBytes{0};
  std::atomic<int32_t> FVideoBits{0};
  std::atomic<int32_t> FAudioBits{0};

 private:
  void BuildHeader(const TCaptureInfo& info);
  bool Cancelled() const { return FCancel.load() || ProcessStopRequested(); }
  // Runs the capturer's Connect on a thread of its own, so that the window
  // (and a quit signal) is served meanwhile and a cancel can end its logon,
  // its RTSP open and its wait for parameter sets.
  int ConnectCancellable(const std::string& address, const std::string& user, const std::string& password,
                         uint8_t isIPC, int32_t rtspPort, int32_t httpPort, bool isHD);
  // Runs the sender's Open on a thread of its own, so that the window (and
  // a quit signal) is served meanwhile and a cancel can end it.
  int OpenCancellable(const std::string& url, void** handle);
  // Keeps and, while the server is there, sends one message.
  void Emit(int stream, const uint8_t* data, uint32_t length, uint32_t relativeMs, bool isKey);
  bool SendKept(void* handle, const TKeptMessage& message);
  void NoteSent(int stream, uint32_t length, uint32_t relativeMs);
  void StartSupervisor();
  void StopSupervisor();
  void Supervise();
  bool WaitSupervisor(uint32_t ms);  // true when told to stop
  void PollSender();
  void Reconnect();
  bool Drain();  // false when the new connection broke too
  void WatchDevice();
  uint64_t VideoFramesSince(uint32_t now, uint32_t spanMs) const;
  void SetLink(TLinkState state, int attempt = 0, int nextSeconds = -1, const char* reason = "",
               bool announce = true);
  void ResendHeaderWhileHolding(void* handle);
  void MarkDelivered();
  void SendVideo(const uint8_t* data, int32_t length, int64_t timeMs, bool isKey);
  void SendAudio(const uint8_t* data, int32_t length, int64_t timeMs);
  void FillAudioGap(int64_t videoMs);
  // Sends one message; a key frame with new parameter sets gets the header
  // sent again before it. Under FSendLock, which also guards FHeader's
  // changes after the start.
  bool SendOne(void* handle, int stream, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey);
  void FollowParameterSetChange(void* handle, const uint8_t* data, uint32_t length);
  // The header for a new connection: the parameter sets of the first kept
  // key frame. Under FSendLock.
  TMediaHeader HeaderForKept();
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
  std::string FRtmpUrl;
  bool FAutoReconnect = true;
  std::atomic<bool> FCancel{false};
  std::atomic<bool> FPushActive{false};  // samples are taken (from the start's capture on)

  // Supervision.
  std::thread FSupervisor;
  std::mutex FSuperLock;
  std::condition_variable FSuperWake;
  std::atomic<bool> FSuperStop{false};
  std::atomic<bool> FBroken{false};  // the server connection failed
  std::atomic<int> FLinkState{static_cast<int>(TLinkState::Running)};
  std::atomic<int> FAttempt{0};
  std::atomic<uint32_t> FNextAttemptTick{0};
  uint32_t FDeviceRestartTick = 0;          // supervising thread only
  struct TVideoSample {
    uint32_t Tick;
    uint64_t Frames;
  };
  std::deque<TVideoSample> FVideoHistory;  // supervising thread only: the last 10 s
  std::atomic<uint64_t> FClosedHandleDrops{0};
  std::atomic<uint64_t> FHandleDrops{0};  // of the open handle, as last polled
  std::atomic<uint64_t> FQueueDrops{0};
  std::atomic<int64_t> FLastCapturedVideoMs{0};  // device time
  std::atomic<int64_t> FLastSentVideoMs{0};      // relative time
  std::atomic<bool> FAnySent{false};

  // Guards the outage queue, the link flags below and every call on the
  // sender handle other than Open (so that Close never overlaps a send).
  std::mutex FSendLock;
  TOutageQueue FKept;
  bool FLinkUp = false;    // sends may go to the handle
  bool FAwaitKey = false;  // the connection has had no key frame yet

  // Decides on FDelivered and the header re-send together, so that no
  // re-send overlaps the first media the delay buffer releases.
  std::mutex FHeaderLock;

  // Stream skew bound, on the sending thread only (see kStreamSkewLimitMs).
  int64_t FLastVideoMs = 0;    // relative time of the last video sent
  int64_t FLastAudioMs = 0;    // relative time of the last audio sent
  double FFillEndMs = 0;       // end of the silence sent so far
  bool FFillingAudio = false;
  uint8_t FChannelConfig = 2;
  TClockRebase FClockRebase;  // the no-delay path's, on the delivering thread
};
