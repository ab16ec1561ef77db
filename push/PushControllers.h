// The push: one device pull feeding one or more destinations, directly or
// through the delay buffer. It only wires its units and runs start and stop:
// the intake turns samples into timed messages (Intakes), each destination
// sends, keeps and reconnects on its own (Destinations), the watchdog judges
// the device (DeviceWatchdogs); every wait goes through one clock
// (PushClocks). Plain C++ without a window toolkit: the window and launch
// mode are front ends on it.
//
// Threads: StartPush and StopPush run on the caller's (main) thread; samples
// come on the capturer's delivering thread and leave on it or on the delay
// buffer's. Each destination has a supervising thread; the push has one more
// that watches the device. The media threads never wait for them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Configs.h"
#include "DestinationSenders.h"
#include "Destinations.h"
#include "DeviceWatchdogs.h"
#include "Intakes.h"
#include "PushClocks.h"
#include "PushCounters.h"
#include "PushSeams.h"
#include "ReconnectSchedules.h"
#include "StreamHeaders.h"

// Start result codes.
enum : int {
  kStartRunning = 0,
  kStartDeviceFailed = 1,
  kStartOpenFailed = 2,
  kStartHeaderFailed = 3,
  kStartCaptureFailed = 4,
};

// The system tick count in milliseconds (monotonic, wraps at 2^32).
uint32_t SystemTickCount();

// Ends every push's start and reconnect under way, in every controller of
// the process (a quit signal). Async-signal-safe.
void RequestProcessStop();
bool ProcessStopRequested();

class TPushController : public TPushCounters {
 public:
  enum class TState { Idle, Running, Stopping };

  // The capturer lives as long as the controller; its OnSample is bound here,
  // once. `sender` serves rtmp:// and rtmps:// destinations; `config`
  // supplies the delay and AutoReconnect.
  TPushController(TSender& sender, TCaptureDevice& capturer, const TConfig& config,
                  TDelayBufferFactory makeDelayBuffer, TPushClock& clock = SteadyPushClock());
  ~TPushController();
  TPushController(const TPushController&) = delete;
  TPushController& operator=(const TPushController&) = delete;

  // A sender for file:/// destinations (one per destination); without one
  // such a destination is refused.
  void SetFileSenderFactory(TFileSenderFactory factory) { FSenders.SetFileSenderFactory(std::move(factory)); }
  // Why a destination cannot be pushed to (a local folder without a recorder), or "".
  std::string DestinationRefusal(const std::string& url) const { return FSenders.Refusal(url); }

  // Runs the start sequence; returns a start result code, which speaks of the
  // device and the first destination. A further destination connects on its
  // own once the push runs: one that cannot be opened goes Reconnecting (or
  // Failed without reconnects) with its own event. A start first releases
  // whatever an earlier failed start left open.
  int StartPush(const std::string& address, const std::string& user, const std::string& password,
                const std::vector<std::string>& destinations, bool isHD, uint8_t isIPC, int32_t rtspPort,
                int32_t httpPort);
  int StartPush(const std::string& address, const std::string& user, const std::string& password,
                const std::string& rtmpUrl, bool isHD, uint8_t isIPC, int32_t rtspPort, int32_t httpPort) {
    return StartPush(address, user, password, std::vector<std::string>{rtmpUrl}, isHD, isIPC, rtspPort, httpPort);
  }
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
                            int64_t ticks) {
    FIntake.HandleCapturedSample(code, frameType, data, length, ticks);
  }
  void SendSample(int stream, const uint8_t* data, int32_t length, int64_t timeMs, bool isKey) {
    FIntake.Release(stream, data, length, timeMs, isKey);
  }

  // Called during StopPush's wait so that the window stays responsive.
  std::function<void()> OnProcessMessages;
  // Called on the main thread whenever the state changes.
  std::function<void(TState)> OnStateChanged;
  // Called once per start with its result, before any supervising thread
  // runs: a front end writes its result and `running` lines here, so no link
  // event can come before them.
  std::function<void(int result)> OnStartResult;
  // Called on a supervising thread when a link changes; must not block. The
  // start's Running is not reported (the start result says it).
  std::function<void(const TLinkEvent&)> OnLinkEvent;
  // The step of StopPush's wait (five steps; 100 ms in the program).
  int StopWaitStepMs = 100;

  TState State() const { return FState; }
  const TMediaHeader& Header() const { return FHeader; }
  void* SenderHandle() const { return FDestinations.empty() ? nullptr : FDestinations[0]->Handle(); }
  bool KeyFrameSeen() const { return FIntake.KeyFrameSeen(); }
  uint32_t BaseTime() const { return FIntake.BaseTime(); }
  bool Delivered() const { return FIntake.Delivered(); }
  bool HasBufferWorker() const { return FBufferWorker != nullptr; }
  uint32_t StartTick() const { return FStartTick; }
  // The first destination's link, or the device's loss.
  TLinkState LinkState() const;
  int ReconnectAttempt() const;
  uint32_t NextAttemptTick() const;
  // The sender's code of the last start's open of the first destination
  // (VELMARO_TLS_FAILED: the server's certificate failed a check).
  int LastOpenResult() const { return FLastOpenResult.load(); }
  // After a start refused for the device's video codec, its name ("mjpeg");
  // else empty. The push carries what IsCarriedVideoCodec says.
  const std::string& RefusedVideoCodec() const { return FRefusedVideoCodec; }
  // Sound the device sends that the push goes without (its codec's name).
  const std::string& UnsupportedAudioCodec() const { return FUnsupportedAudioCodec; }
  // The destinations of the running push, in argument order (for counters).
  size_t DestinationCount() const { return FDestinations.size(); }
  const TDestination& Destination(size_t i) const { return *FDestinations[i]; }
  // Frames dropped in this push: by the senders, past the outage queues'
  // bounds, refused one by one, and by the delay buffer. Main thread.
  uint64_t FramesDropped() const;
  // How far the media handed to the servers is behind the device (the
  // destination furthest behind): the configured delay once media flows,
  // during an outage the time the server has been away too, and before any
  // media has gone out how long the first video has been held.
  double CurrentDelaySeconds();
  size_t KeptPeakBytes();

 private:
  bool Cancelled() const { return FCancel.load() || ProcessStopRequested(); }
  // Runs the sender's Open on a thread of its own, so that the window (and
  // a quit signal) is served meanwhile and a cancel can end it.
  int OpenCancellable(TSender& sender, const std::string& url, void** handle);
  // Runs `work` on a thread of its own while this thread serves the window
  // and calls `cancel` whenever a cancel is asked for; `work`'s result.
  int RunCancellable(const std::function<int()>& work, const std::function<void()>& cancel);
  // Runs the capturer's Connect on a thread of its own, so that the window
  // (and a quit signal) is served meanwhile and a cancel can end its logon,
  // its RTSP open and its wait for parameter sets.
  int ConnectCancellable(const std::string& address, const std::string& user, const std::string& password,
                         uint8_t isIPC, int32_t rtspPort, int32_t httpPort, bool isHD);
  int Started(int result);
  // The HevcFlv setting; enhanced RTMP when it is not one the push knows.
  THevcFlv HevcFlvForm() const;
  void StartWatching();
  void StopWatching();
  void WatchDevice();
  void SetState(TState state);

  TSender& FRtmpSender;
  TDestinationSenders FSenders;
  TCaptureDevice& FCapturer;
  const TConfig& FConfig;
  TDelayBufferFactory FMakeDelayBuffer;
  TPushClock& FClock;

  TIntake FIntake;
  TMediaHeader FHeader{};
  std::vector<std::unique_ptr<TDestination>> FDestinations;
  std::unique_ptr<TDelayBuffer> FBufferWorker;
  bool FDeviceOpen = false;  // Connect was called since the last release
  TState FState = TState::Idle;
  uint32_t FStartTick = 0;
  std::atomic<bool> FCancel{false};
  std::atomic<int> FLastOpenResult{0};
  std::string FRefusedVideoCodec;     // main thread
  std::string FUnsupportedAudioCodec;  // main thread

  // The device watch.
  TDeviceWatchdog FWatchdog;
  std::atomic<bool> FDeviceLost{false};
  std::thread FWatcher;
  std::mutex FWatchLock;
  std::condition_variable FWatchWake;
  std::atomic<bool> FWatchStop{false};
};
