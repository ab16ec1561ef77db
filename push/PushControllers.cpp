#include "PushControllers.h"

#include <time.h>

#include <algorithm>
#include <limits>

#include "Debugs.h"

namespace {

constexpr int kStopWaitSteps = 5;
constexpr int64_t kPollStepMs = 20;
constexpr int64_t kWatchStepMs = 250;

uint32_t DelayMs(int32_t bufferTimeSeconds) {
  int64_t ms = static_cast<int64_t>(bufferTimeSeconds) * 1000;
  return static_cast<uint32_t>(std::min<int64_t>(ms, std::numeric_limits<uint32_t>::max()));
}

std::atomic<bool> processStop{false};

}  // namespace

void RequestProcessStop() { processStop.store(true); }
bool ProcessStopRequested() { return processStop.load(); }

uint32_t SystemTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
  return static_cast<uint32_t>(ms);
}

TPushController::TPushController(TSender& sender, TCaptureDevice& capturer, const TConfig& config,
                                 TDelayBufferFactory makeDelayBuffer, TPushClock& clock)
    : FRtmpSender(sender),
      FSenders(sender),
      FCapturer(capturer),
      FConfig(config),
      FMakeDelayBuffer(std::move(makeDelayBuffer)),
      FClock(clock),
      FIntake(*this, clock) {
  FCapturer.SetOnSample([this](uint8_t code, uint8_t frameType, const uint8_t* data, int32_t length,
                               int64_t ticks) { FIntake.HandleCapturedSample(code, frameType, data, length, ticks); });
}

TPushController::~TPushController() {
  // The window may be gone by now: stop without calling back into it. The
  // link event goes last, once no supervising thread runs.
  OnProcessMessages = nullptr;
  OnStateChanged = nullptr;
  OnStartResult = nullptr;
  if (FState != TState::Idle || FDeviceOpen || !FDestinations.empty() || FBufferWorker) StopPush();
  FDestinations.clear();
  OnLinkEvent = nullptr;
  FCapturer.SetOnSample(nullptr);
}

void TPushController::SetState(TState state) {
  FState = state;
  if (OnStateChanged) OnStateChanged(state);
}

void TPushController::ReleaseLeftovers() {
  if (FState == TState::Running) {
    StopPush();  // a push still delivers: the full stop with its wait
    return;
  }
  FIntake.End();
  if (FDeviceOpen) {
    FCapturer.StopCapture();
    FCapturer.Disconnect();
    FDeviceOpen = false;
  }
  if (FBufferWorker) {
    FBufferWorker->Stop();
    FBufferWorker.reset();
  }
  for (auto& destination : FDestinations) destination->Close();
}

THevcFlv TPushController::HevcFlvForm() const {
  THevcFlv form = THevcFlv::Enhanced;
  if (!ParseHevcFlv(FConfig.HevcFlv, form)) DebugLogFmt("HevcFlv=%s unknown: enhanced RTMP", FConfig.HevcFlv.c_str());
  return form;
}

int TPushController::Started(int result) {
  if (result != kStartRunning) DebugLogFmt("Start failed: %d", result);
  if (OnStartResult) OnStartResult(result);
  return result;
}

int TPushController::StartPush(const std::string& address, const std::string& user, const std::string& password,
                               const std::vector<std::string>& destinations, bool isHD, uint8_t isIPC,
                               int32_t rtspPort, int32_t httpPort) {
  if (FState == TState::Stopping) {
    // Asked from within StopPush's wait: the stop must finish first.
    DebugLog("Start refused while stopping");
    return kStartDeviceFailed;
  }
  ReleaseLeftovers();
  FDestinations.clear();
  FSenders.Forget();
  FCancel = false;
  FDeviceLost = false;
  const bool autoReconnect = FConfig.AutoReconnect != 0;
  FRtmpSender.SetTls(FConfig.TlsCaFile, FConfig.TlsVerify != 0);

  FDeviceOpen = true;
  FRefusedVideoCodec.clear();
  FUnsupportedAudioCodec.clear();
  int result = ConnectCancellable(address, user, password, isIPC, rtspPort, httpPort, isHD);
  const TCaptureInfo device = FCapturer.Info();
  if (!IsCarriedVideoCodec(device.VideoCodec)) {
    // Video the push cannot carry: said by its name, not as an unreachable device.
    DebugLogFmt("Video codec %s not supported", device.VideoCodec.c_str());
    FRefusedVideoCodec = device.VideoCodec;
    return Started(kStartDeviceFailed);
  }
  if (result != 0) {
    DebugLogFmt("Connect ret=%d", result);
    return Started(kStartDeviceFailed);
  }
  FUnsupportedAudioCodec = device.UnsupportedAudioCodec;

  // Each destination with its own sender handle; one the build cannot serve
  // goes Failed once the push runs (the first fails the start).
  std::vector<int> refused;
  for (size_t i = 0; i < destinations.size(); ++i) {
    TSender* sender = FSenders.SenderFor(destinations[i]);
    if (sender == nullptr) {
      DebugLogFmt("Destination %zu refused: %s", i + 1, FSenders.Refusal(destinations[i]).c_str());
      if (i == 0) return Started(kStartOpenFailed);
      refused.push_back(static_cast<int>(i + 1));
      continue;
    }
    FDestinations.push_back(std::make_unique<TDestination>(static_cast<int>(i + 1), destinations[i], *sender, FClock,
                                                           *this, autoReconnect));
    FDestinations.back()->OnLinkEvent = [this](const TLinkEvent& event) {
      if (OnLinkEvent) OnLinkEvent(event);
    };
  }
  if (FDestinations.empty()) return Started(kStartOpenFailed);
  TDestination& first = *FDestinations.front();

  void* handle = nullptr;
  result = OpenCancellable(first.Sender(), first.Url(), &handle);
  FLastOpenResult = result;
  if (result != 0) {
    DebugLogFmt("RTMP_Open err=%d", result);
    return Started(kStartOpenFailed);
  }
  FHeader = StreamHeader(FCapturer.Info(), HevcFlvForm());
  if (FHeader.SpsLen == 0) DebugLog("The device's parameter sets cannot be read: no sequence header");
  ResetTotals();
  first.Begin(handle, FHeader);  // the handle is the destination's from here on (closed by it)
  result = first.Sender().SendHeader(handle, &FHeader);
  if (result != 0) {
    DebugLogFmt("RTMP_SendHeader err=%d", result);
    return Started(kStartHeaderFailed);
  }
  for (size_t i = 1; i < FDestinations.size(); ++i) FDestinations[i]->Begin(nullptr, FHeader);

  FBufferWorker.reset();
  if (FConfig.BufferTime >= 1) {
    FBufferWorker = FMakeDelayBuffer();
    FBufferWorker->SetDelay(DelayMs(FConfig.BufferTime));
    FBufferWorker->SetOnSample([this](int kind, const uint8_t* data, int32_t length, int64_t timeMs, bool isKey) {
      FIntake.Release(kind, data, length, timeMs, isKey);
    });
    FBufferWorker->Start();
  }
  FIntake.Begin(
      FHeader, FBufferWorker.get(),
      [this](int stream, const uint8_t* data, uint32_t length, uint32_t relativeMs, bool isKey) {
        for (auto& destination : FDestinations) destination->Emit(stream, data, length, relativeMs, isKey);
      },
      [this] {
        for (auto& destination : FDestinations) destination->ResendHeaderWhileHolding();
      });

  FStartTick = SystemTickCount();
  FWatchdog.Reset(FClock.NowMs());
  FIntake.Open();
  result = FCapturer.StartCapture();
  if (result != 0) {
    FIntake.End();
    DebugLogFmt("StartCapture ret=%d", result);
    return Started(kStartCaptureFailed);
  }

  DebugLog("Capturing...");
  SetState(TState::Running);
  Started(kStartRunning);
  // Only now may anything else be reported.
  for (int number : refused)
    if (OnLinkEvent) OnLinkEvent(TLinkEvent{TLinkState::Failed, 0, -1, "unsupported", number});
  for (auto& destination : FDestinations) destination->StartSupervisor();
  StartWatching();
  return kStartRunning;
}

int TPushController::RunCancellable(const std::function<int()>& work, const std::function<void()>& cancel) {
  std::atomic<bool> done{false};
  int result = 0;
  std::thread worker([&] {
    result = work();
    done = true;
  });
  // The cancel is repeated until the work has returned: one that came just
  // before the work began its wait would otherwise be lost.
  while (!done.load()) {
    FClock.Sleep(kPollStepMs);
    if (Cancelled()) cancel();
    if (OnProcessMessages) OnProcessMessages();
  }
  worker.join();
  return result;
}

int TPushController::ConnectCancellable(const std::string& address, const std::string& user,
                                        const std::string& password, uint8_t isIPC, int32_t rtspPort,
                                        int32_t httpPort, bool isHD) {
  if (Cancelled()) return -1;
  // A cancel may come just before the logon or the RTSP open begins.
  return RunCancellable([&] { return FCapturer.Connect(address, user, password, isIPC, rtspPort, httpPort, isHD); },
                        [this] { FCapturer.CancelConnect(); });
}

int TPushController::OpenCancellable(TSender& sender, const std::string& url, void** handle) {
  if (Cancelled()) return VELMARO_OPEN_CANCELLED;
  void* opened = nullptr;
  const int result = RunCancellable([&] { return sender.Open(url.c_str(), &opened); }, [&] { sender.CancelOpen(); });
  if (result == 0 && Cancelled()) {  // opened just as the cancel came
    sender.Close(opened);
    *handle = nullptr;
    return VELMARO_OPEN_CANCELLED;
  }
  *handle = opened;
  return result;
}

void TPushController::StopPush() {
  if (FState == TState::Stopping) return;  // the stop under way finishes the job
  const bool wasRunning = FState == TState::Running;
  SetState(TState::Stopping);
  StopWatching();
  for (auto& destination : FDestinations) destination->StopSupervisor();
  FIntake.End();

  FCapturer.StopCapture();
  FCapturer.Disconnect();
  FDeviceOpen = false;
  if (FBufferWorker) FBufferWorker->Stop();

  // Calls already under way finish while the window stays responsive
  // (without a push there are none).
  for (int i = 0; i < (wasRunning ? kStopWaitSteps : 0); ++i) {
    FClock.Sleep(StopWaitStepMs);
    if (OnProcessMessages) OnProcessMessages();
  }

  for (auto& destination : FDestinations) destination->Close();
  FBufferWorker.reset();
  DebugLog("Capture Stop");
  SetState(TState::Idle);
}

// ---- The device watch ----

void TPushController::StartWatching() {
  FWatchStop = false;
  FWatcher = std::thread([this] {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(FWatchLock);
        if (FClock.WaitFor(lock, FWatchWake, kWatchStepMs, [this] { return FWatchStop.load(); })) return;
      }
      FSupervisorBeats.fetch_add(1, std::memory_order_relaxed);
      WatchDevice();
    }
  });
}

void TPushController::StopWatching() {
  if (!FWatcher.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(FWatchLock);
    FWatchStop = true;
  }
  FWatchWake.notify_all();
  FWatcher.join();
}

void TPushController::WatchDevice() {
  auto report = [this](TLinkState state, const char* reason) {
    DebugLogFmt("Push device %s reason=%s", LinkStateWord(state), reason);
    if (OnLinkEvent) OnLinkEvent(TLinkEvent{state, 0, -1, reason, 0});
  };
  switch (FWatchdog.Step(FClock.NowMs(), FTotalVideoFrames.load(), FDeviceLost.load())) {
    case TDeviceWatchdog::TAction::None: return;
    case TDeviceWatchdog::TAction::Lost:
      FDeviceLost = true;
      report(TLinkState::DeviceLost, "no_video");
      FCapturer.RestartStream();
      return;
    case TDeviceWatchdog::TAction::Restart: FCapturer.RestartStream(); return;
    case TDeviceWatchdog::TAction::Back:
      FDeviceLost = false;
      report(TLinkState::Running, "device_back");
      return;
  }
}

// ---- Figures ----

TLinkState TPushController::LinkState() const {
  if (FDeviceLost.load()) return TLinkState::DeviceLost;
  return FDestinations.empty() ? TLinkState::Running : FDestinations[0]->LinkState();
}

int TPushController::ReconnectAttempt() const {
  return FDestinations.empty() ? 0 : FDestinations[0]->ReconnectAttempt();
}

uint32_t TPushController::NextAttemptTick() const {
  if (FDestinations.empty()) return SystemTickCount();
  const int64_t left = FDestinations[0]->NextAttemptMs() - FClock.NowMs();
  return SystemTickCount() + static_cast<uint32_t>(std::max<int64_t>(left, 0));
}

uint64_t TPushController::FramesDropped() const {
  uint64_t dropped = FBufferWorker ? FBufferWorker->FramesDropped() : 0;
  for (const auto& destination : FDestinations) dropped += destination->FramesDropped();
  return dropped;
}

double TPushController::CurrentDelaySeconds() {
  bool anySent = false;
  double delay = 0;
  for (const auto& destination : FDestinations) {
    if (!destination->AnySent()) continue;
    anySent = true;
    delay = std::max(delay, FIntake.DelaySeconds(true, destination->LastSentVideoMs()));
  }
  return anySent ? delay : FIntake.DelaySeconds(false, 0);
}

size_t TPushController::KeptPeakBytes() {
  size_t peak = 0;
  for (auto& destination : FDestinations) peak = std::max(peak, destination->KeptPeakBytes());
  return peak;
}
