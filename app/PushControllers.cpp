#include "PushControllers.h"

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

#include "AacConfigs.h"
#include "Debugs.h"
#include "ErrorReports.h"
#include "Latencies.h"
#include "ParameterSetChanges.h"

namespace {

constexpr uint8_t kCodeVideo = 4;
constexpr uint8_t kCodeAudio = 129;
constexpr uint8_t kFrameTypeKey = 2;
constexpr int32_t kAdtsHeaderBytes = 7;
constexpr int kStopWaitSteps = 5;

// Copies a parameter set into a header field without its four-byte start
// code, if it has one. A three-byte start code stays in place.
int32_t CopyParameterSet(const std::vector<uint8_t>& from, uint8_t* to, size_t capacity) {
  static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
  size_t skip = from.size() >= 4 && std::memcmp(from.data(), kStartCode, 4) == 0 ? 4 : 0;
  size_t length = std::min(from.size() - skip, capacity);
  if (length > 0) std::memcpy(to, from.data() + skip, length);
  return static_cast<int32_t>(length);
}

uint32_t DelayMs(int32_t bufferTimeSeconds) {
  int64_t ms = static_cast<int64_t>(bufferTimeSeconds) * 1000;
  return static_cast<uint32_t>(std::min<int64_t>(ms, std::numeric_limits<uint32_t>::max()));
}

constexpr uint32_t kSupervisorStepMs = 250;
constexpr uint32_t kPollStepMs = 20;
// While the kept messages go out again after a reconnect, the sender's queue
// is let to hold about this much before the next ones are handed over.
constexpr uint32_t kDrainQueueMs = 2000;

std::atomic<bool> processStop{false};

}  // namespace

void RequestProcessStop() { processStop.store(true); }
bool ProcessStopRequested() { return processStop.load(); }

const char* LinkStateWord(TLinkState state) {
  switch (state) {
    case TLinkState::Running: return "running";
    case TLinkState::Reconnecting: return "reconnecting";
    case TLinkState::DeviceLost: return "device_lost";
    case TLinkState::Failed: return "failed";
  }
  return "failed";
}

int ReconnectPauseSeconds(int attempt) { return attempt <= 4 ? 1 << (attempt - 1 < 0 ? 0 : attempt - 1) : 10; }

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

uint32_t SystemTickCount() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
  return static_cast<uint32_t>(ms);
}

TPushController::TPushController(TSender& sender, TCaptureDevice& capturer, const TConfig& config,
                                 TDelayBufferFactory makeDelayBuffer)
    : FSender(sender), FCapturer(capturer), FConfig(config), FMakeDelayBuffer(std::move(makeDelayBuffer)) {
  FCapturer.SetOnSample([this](uint8_t code, uint8_t frameType, const uint8_t* data, int32_t length,
                               int64_t ticks) { HandleCapturedSample(code, frameType, data, length, ticks); });
}

TPushController::~TPushController() {
  // The window may be gone by now: stop without calling back into it.
  OnProcessMessages = nullptr;
  OnStateChanged = nullptr;
  OnLinkEvent = nullptr;
  if (FState != TState::Idle || FDeviceOpen || FSenderHandle.load() != nullptr || FBufferWorker)
    StopPush();
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
  if (FDeviceOpen) {
    FCapturer.StopCapture();
    FCapturer.Disconnect();
    FDeviceOpen = false;
  }
  if (FBufferWorker) {
    FBufferWorker->Stop();
    FBufferWorker.reset();
  }
  if (void* handle = FSenderHandle.exchange(nullptr)) FSender.Close(handle);
}

int TPushController::StartPush(const std::string& address, const std::string& user,
                               const std::string& password, const std::string& rtmpUrl, bool isHD,
                               uint8_t isIPC, int32_t rtspPort, int32_t httpPort) {
  if (FState == TState::Stopping) {
    // Asked from within StopPush's wait: the stop must finish first.
    DebugLog("Start refused while stopping");
    return kStartDeviceFailed;
  }
  ReleaseLeftovers();
  FCancel = false;
  FRtmpUrl = rtmpUrl;
  FAutoReconnect = FConfig.AutoReconnect != 0;

  FDeviceOpen = true;
  int result = ConnectCancellable(address, user, password, isIPC, rtspPort, httpPort, isHD);
  if (result != 0) {
    DebugLogFmt("Connect ret=%d", result);
    return kStartDeviceFailed;
  }

  {
    std::lock_guard<std::mutex> lock(FHeaderLock);
    FDelivered = false;
  }
  FKeyFrameSeen = false;
  FRefusalReported = false;
  FSenderHandle = nullptr;
  void* handle = nullptr;
  result = OpenCancellable(rtmpUrl, &handle);
  FSenderHandle = handle;
  if (result != 0) {
    DebugLogFmt("RTMP_Open err=%d", result);
    return kStartOpenFailed;
  }

  TCaptureInfo info = FCapturer.Info();
  BuildHeader(info);
  FAudioSampleRate = info.AudioSampleRate;
  FLastVideoMs = 0;
  FLastAudioMs = 0;
  FFillEndMs = 0;
  FFillingAudio = false;
  {
    std::lock_guard<std::mutex> lock(FSendLock);
    FKept.Clear();
    FLinkUp = true;
    FAwaitKey = false;  // nothing goes out before the first key frame anyway
  }
  FBroken = false;
  FAnySent = false;
  for (auto* total : {&FTotalRecvBytes, &FTotalSentBytes, &FTotalVideoFrames, &FTotalAudioFrames,
                      &FClosedHandleDrops, &FHandleDrops, &FQueueDrops})
    total->store(0);
  FClockRebase.Reset();

  result = FSender.SendHeader(handle, &FHeader);
  if (result != 0) {
    DebugLogFmt("RTMP_SendHeader err=%d", result);
    return kStartHeaderFailed;
  }

  FBufferWorker.reset();
  if (FConfig.BufferTime >= 1) {
    FBufferWorker = FMakeDelayBuffer();
    FBufferWorker->SetDelay(DelayMs(FConfig.BufferTime));
    FBufferWorker->SetOnSample([this](int kind, const uint8_t* data, int32_t length, int64_t timeMs,
                                      bool isKey) { SendSample(kind, data, length, timeMs, isKey); });
    FBufferWorker->Start();
  }

  FStartTick = SystemTickCount();
  FDeviceRestartTick = FStartTick;
  FVideoHistory.clear();
  FPushActive = true;
  result = FCapturer.StartCapture();
  if (result != 0) {
    FPushActive = false;
    DebugLogFmt("StartCapture ret=%d", result);
    return kStartCaptureFailed;
  }

  DebugLog("Capturing...");
  SetLink(TLinkState::Running, 0, -1, "", false);
  StartSupervisor();
  SetState(TState::Running);
  return kStartRunning;
}

int TPushController::ConnectCancellable(const std::string& address, const std::string& user,
                                        const std::string& password, uint8_t isIPC, int32_t rtspPort,
                                        int32_t httpPort, bool isHD) {
  if (Cancelled()) return -1;
  struct TConnect {
    std::atomic<bool> done{false};
    int result = 0;
  } connect;
  std::thread connecter([&] {
    connect.result = FCapturer.Connect(address, user, password, isIPC, rtspPort, httpPort, isHD);
    connect.done = true;
  });
  // As for the sender's Open: a cancel may come just before the logon or the
  // RTSP open begins, so it is repeated until the Connect has returned.
  while (!connect.done.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    if (Cancelled()) FCapturer.CancelConnect();
    if (OnProcessMessages) OnProcessMessages();
  }
  connecter.join();
  return connect.result;
}

int TPushController::OpenCancellable(const std::string& url, void** handle) {
  if (Cancelled()) return VELMARO_OPEN_CANCELLED;
  struct TOpen {
    std::atomic<bool> done{false};
    int result = 0;
    void* handle = nullptr;
  } open;
  std::thread opener([&] {
    open.result = FSender.Open(url.c_str(), &open.handle);
    open.done = true;
  });
  // A cancel may come just before the Open begins: it is repeated until the
  // Open has returned.
  while (!open.done.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    if (Cancelled()) FSender.CancelOpen();
    if (OnProcessMessages) OnProcessMessages();
  }
  opener.join();
  *handle = open.handle;
  if (open.result == 0 && Cancelled()) {
    FSender.Close(open.handle);
    *handle = nullptr;
    return VELMARO_OPEN_CANCELLED;
  }
  return open.result;
}

void TPushController::BuildHeader(const TCaptureInfo& info) {
  FHeader = TMediaHeader{};
  FHeader.VideoCodecId = 7;  // AVC
  FHeader.Width = info.VideoWidth;
  FHeader.Height = info.VideoHeight;
  FHeader.FrameRate = static_cast<double>(info.VideoFrameRate);
  FHeader.VideoDataRate = 10000000;
  // Audio is announced only when the device describes an audio stream: with
  // audio announced and none coming, the sender would hold every video
  // message waiting for it.
  FHeader.HasAudio = info.AudioSampleRate > 0;
  FHeader.AudioCodecId = 0xA0;  // AAC
  FHeader.AudioDataRate = 128000;
  FHeader.AudioSampleRate = info.AudioSampleRate;
  FHeader.AudioSampleSize = 16;
  FHeader.AudioChannels = info.AudioChannels;
  FChannelConfig = AacChannelConfig(info.AudioChannels);
  FHeader.AudioConfigLen = sizeof FHeader.AudioConfig;
  ChooseAacConfig(info.AudioSampleRate, FChannelConfig, info.AudioConfig.data(),
                  static_cast<int32_t>(info.AudioConfig.size()), FHeader.AudioConfig, FHeader.AudioConfigLen);
  FHeader.SpsLen = CopyParameterSet(info.Sps, FHeader.Sps, sizeof FHeader.Sps);
  FHeader.PpsLen = CopyParameterSet(info.Pps, FHeader.Pps, sizeof FHeader.Pps);
}

void TPushController::StopPush() {
  if (FState == TState::Stopping) return;  // the stop under way finishes the job
  const bool wasRunning = FState == TState::Running;
  SetState(TState::Stopping);
  StopSupervisor();
  FPushActive = false;

  FCapturer.StopCapture();
  FCapturer.Disconnect();
  FDeviceOpen = false;
  if (FBufferWorker) FBufferWorker->Stop();

  // Calls already under way finish while the window stays responsive
  // (without a push there are none).
  for (int i = 0; i < (wasRunning ? kStopWaitSteps : 0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(StopWaitStepMs));
    if (OnProcessMessages) OnProcessMessages();
  }

  {
    std::lock_guard<std::mutex> lock(FSendLock);
    FLinkUp = false;
  }
  if (void* handle = FSenderHandle.exchange(nullptr)) FSender.Close(handle);
  FBufferWorker.reset();
  DebugLog("Capture Stop");
  SetState(TState::Idle);
}

void TPushController::HandleCapturedSample(uint8_t code, uint8_t frameType, const uint8_t* data,
                                           int32_t length, int64_t ticks) {
  TIDECAST_LATENCY_MARK(LatencyCaptured(code == kCodeVideo ? kLatencyVideo : code == kCodeAudio ? kLatencyAudio : -1));
  if (data == nullptr || length <= 0) return;
  double seconds;
  if (code == kCodeAudio) {
    int32_t rate = FAudioSampleRate.load(std::memory_order_relaxed);
    if (rate <= 0) return;  // no clock for it
    seconds = static_cast<double>(ticks) / rate;
  } else if (code == kCodeVideo) {
    seconds = static_cast<double>(ticks) / 90000;
  } else {
    return;
  }
  if ((frameType == 5 || frameType == 6) && length < 100) return;
  if (!FPushActive.load(std::memory_order_relaxed)) return;
  double ms = seconds * 1000;
  if (!(std::fabs(ms) < 9.0e18)) return;  // would not fit the 64-bit time
  int64_t timeMs = static_cast<int64_t>(ms);  // truncated toward zero

  int32_t bits = static_cast<int32_t>(static_cast<uint32_t>(length) * 8u);
  FRecvBytes.fetch_add(length, std::memory_order_relaxed);
  FTotalRecvBytes.fetch_add(static_cast<uint64_t>(length), std::memory_order_relaxed);
  int stream;
  if (code == kCodeVideo) {
    FVideoBits.fetch_add(bits, std::memory_order_relaxed);
    FVideoFrames.fetch_add(1, std::memory_order_relaxed);
    FTotalVideoFrames.fetch_add(1, std::memory_order_relaxed);
    FLastCapturedVideoMs.store(timeMs, std::memory_order_relaxed);
    stream = kStreamVideo;
  } else {
    FAudioBits.fetch_add(bits, std::memory_order_relaxed);
    FAudioFrames.fetch_add(1, std::memory_order_relaxed);
    FTotalAudioFrames.fetch_add(1, std::memory_order_relaxed);
    stream = kStreamAudio;
  }
  bool isKey = frameType == kFrameTypeKey;

  if (FBufferWorker) {
    ResendHeaderWhileHolding(FSenderHandle.load());
    FBufferWorker->AddSample(stream, data, length, timeMs, isKey);
  } else {
    // The delay buffer takes a device's clock jump out itself; here it is done
    // before the jump can reach the key-frame base and the silence fill.
    timeMs = FClockRebase.Rebase(stream, timeMs, SteadyMilliseconds());
    SendSample(stream, data, length, timeMs, isKey);
  }
}

void TPushController::ResendHeaderWhileHolding(void* handle) {
  if (FVideoFrames.load(std::memory_order_relaxed) != 1 || FDelivered.load()) return;
  std::lock_guard<std::mutex> lock(FHeaderLock);
  std::lock_guard<std::mutex> sendLock(FSendLock);  // the supervisor may be closing the handle
  if (!FDelivered.load() && handle != nullptr && handle == FSenderHandle.load())
    FSender.SendHeader(handle, &FHeader);  // a failure is ignored
}

void TPushController::MarkDelivered() {
  if (FDelivered.load()) return;
  // Waits for a header re-send under way; none starts after this.
  std::lock_guard<std::mutex> lock(FHeaderLock);
  FDelivered = true;
}

void TPushController::SendSample(int stream, const uint8_t* data, int32_t length, int64_t timeMs,
                                 bool isKey) {
  MarkDelivered();
  if (!FPushActive.load(std::memory_order_relaxed) || data == nullptr || length <= 0) return;
  if (stream == kStreamVideo)
    SendVideo(data, length, timeMs, isKey);
  else if (stream == kStreamAudio)
    SendAudio(data, length, timeMs);
}

void TPushController::SendVideo(const uint8_t* data, int32_t length, int64_t timeMs,
                                bool isKey) {
  DebugLogFmt("%x %d", length > 4 ? data[4] : 0, length);
  if (isKey && !FKeyFrameSeen.load()) {
    DebugLog("KEY FRAME");
    FKeyFrameSeen = true;
    FBaseTime = static_cast<uint32_t>(timeMs);
  }
  if (!FKeyFrameSeen.load()) return;  // nothing goes out before the first key frame
  int64_t relative = timeMs - static_cast<int64_t>(FBaseTime.load());
  if (FHeader.HasAudio) FillAudioGap(relative);
  Emit(kStreamVideo, data, static_cast<uint32_t>(length), static_cast<uint32_t>(relative), isKey);
  FLastVideoMs = relative;
}

void TPushController::SendAudio(const uint8_t* data, int32_t length, int64_t timeMs) {
  if (!FKeyFrameSeen.load() || length <= kAdtsHeaderBytes) return;
  int64_t relative = timeMs - static_cast<int64_t>(FBaseTime.load());
  if (relative < 0) return;
  FFillingAudio = false;  // the device's audio is back
  // Silence already covers this time, or video has stopped: see kStreamSkewLimitMs.
  if (static_cast<double>(relative) < FFillEndMs || relative - FLastVideoMs > kStreamSkewLimitMs) return;
  int32_t payload = length - kAdtsHeaderBytes;  // without the ADTS header
  Emit(kStreamAudio, data + kAdtsHeaderBytes, static_cast<uint32_t>(payload), static_cast<uint32_t>(relative), false);
  FLastAudioMs = relative;
}

void TPushController::ReportRefusal(const char* trace) {
  DebugLog(trace);
  // A refusal mostly means that the connection to the server broke, after
  // which the sender refuses everything: the operator is told once per push
  // (not once per sample) that the media no longer goes out.
  if (FRefusalReported.exchange(true)) return;
  ReportError("错误", kSendFailedText);
}

void TPushController::FillAudioGap(int64_t videoMs) {
  const double frameMs = kAacFrameSamples * 1000.0 / FHeader.AudioSampleRate;
  if (!FFillingAudio) {
    if (videoMs - FLastAudioMs <= kStreamSkewLimitMs) return;
    DebugLog("Audio stopped, sending silence");
    FFillingAudio = true;
    FFillEndMs = std::max(FFillEndMs, static_cast<double>(FLastAudioMs) + frameMs);
  }
  // After a jump in the video clock, start the silence close to the video
  // rather than sending minutes of it at once.
  if (static_cast<double>(videoMs) - FFillEndMs > 2.0 * kStreamSkewLimitMs)
    FFillEndMs = static_cast<double>(videoMs - kStreamSkewLimitMs);
  uint8_t frame[8];
  int32_t frameLength = BuildSilentAacFrame(FChannelConfig, frame);
  while (FFillEndMs <= static_cast<double>(videoMs)) {
    Emit(kStreamAudio, frame, static_cast<uint32_t>(frameLength), static_cast<uint32_t>(FFillEndMs), false);
    FLastAudioMs = static_cast<int64_t>(FFillEndMs);
    FFillEndMs += frameMs;
  }
}

// ---- The sending side: keep, and send while the server is there ----

bool TPushController::SendKept(void* handle, const TKeptMessage& m) {
  return SendOne(handle, m.Stream, m.Data.data(), static_cast<uint32_t>(m.Data.size()), m.TimeMs, m.IsKey);
}

bool TPushController::SendOne(void* handle, int stream, const uint8_t* data, uint32_t length, uint32_t timeMs,
                              bool isKey) {
  if (stream != kStreamVideo) return FSender.SendAudio(handle, data, length, timeMs);
  if (isKey) FollowParameterSetChange(handle, data, length);
  return FSender.SendVideo(handle, data, length, timeMs, isKey);
}

void TPushController::FollowParameterSetChange(void* handle, const uint8_t* data, uint32_t length) {
  if (!TakeParameterSetChange(data, length, FHeader)) return;
  DebugLogFmt("New parameter sets: %dx%d", FHeader.Width, FHeader.Height);
  // The sender queues the new header behind the media already handed over,
  // so it reaches the server right before this key frame.
  if (FSender.SendHeader(handle, &FHeader) != 0) DebugLog("RTMP_SendHeader failed");
}

TMediaHeader TPushController::HeaderForKept() {
  for (size_t i = 0; i < FKept.Count(); ++i) {
    const TKeptMessage& m = FKept.At(i);
    if (m.Stream != kStreamVideo || !m.IsKey) continue;
    // The kept pictures may begin before a change of parameter sets that was
    // sent to the old connection: the new one starts with the first's.
    TakeParameterSetChange(m.Data.data(), m.Data.size(), FHeader);
    break;
  }
  return FHeader;
}

void TPushController::NoteSent(int stream, uint32_t length, uint32_t relativeMs) {
  FSentBytes.fetch_add(static_cast<int32_t>(length), std::memory_order_relaxed);
  FTotalSentBytes.fetch_add(length, std::memory_order_relaxed);
  if (stream == kStreamVideo) {
    FLastSentVideoMs.store(relativeMs, std::memory_order_relaxed);
    FAnySent.store(true, std::memory_order_relaxed);
  }
}

void TPushController::Emit(int stream, const uint8_t* data, uint32_t length, uint32_t relativeMs, bool isKey) {
  const char* refusal = stream == kStreamVideo ? "RTMP_SendVideo failed" : "RTMP_SendAudio failed";
  std::unique_lock<std::mutex> lock(FSendLock);
  void* handle = FSenderHandle.load();
  if (!FAutoReconnect) {
    // Without reconnects nothing is kept: a failed handle refuses each sample.
    if (!FLinkUp || handle == nullptr) return;
    bool sent = SendOne(handle, stream, data, length, relativeMs, isKey);
    lock.unlock();
    if (sent) {
      NoteSent(stream, length, relativeMs);
    } else {
      FBroken = true;
      ReportRefusal(refusal);
    }
    return;
  }
  FKept.Add(stream, data, length, relativeMs, isKey);
  FQueueDrops.store(FKept.DroppedVideoFrames(), std::memory_order_relaxed);
  // Messages still waiting for the supervisor go first: it sends this one too.
  if (!FLinkUp || handle == nullptr || FKept.PendingCount() != 1)
    return;
  const TKeptMessage& message = FKept.NextPending();
  if (FAwaitKey && !(message.Stream == kStreamVideo && message.IsKey)) {
    FKept.MarkSent();  // the first video of a connection is a key frame
    return;
  }
  if (SendKept(handle, message)) {
    FAwaitKey = false;
    FKept.MarkSent();
    lock.unlock();
    NoteSent(stream, length, relativeMs);
    return;
  }
  FLinkUp = false;  // kept: it goes out again after the reconnect
  lock.unlock();
  DebugLog(refusal);
  FBroken = true;
  FSuperWake.notify_one();
}

// ---- Supervision ----

void TPushController::SetLink(TLinkState state, int attempt, int nextSeconds, const char* reason, bool announce) {
  FLinkState = static_cast<int>(state);
  FAttempt = attempt;
  FNextAttemptTick = SystemTickCount() + static_cast<uint32_t>(std::max(nextSeconds, 0)) * 1000u;
  DebugLogFmt("Push %s attempt=%d next=%d reason=%s", LinkStateWord(state), attempt, nextSeconds, reason);
  if (announce && OnLinkEvent) OnLinkEvent(TLinkEvent{state, attempt, nextSeconds, reason});
}

void TPushController::StartSupervisor() {
  FSuperStop = false;
  FSupervisor = std::thread([this] { Supervise(); });
}

void TPushController::StopSupervisor() {
  if (!FSupervisor.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(FSuperLock);
    FSuperStop = true;
  }
  FSuperWake.notify_all();
  // A reconnect may sit in the sender's Open: cancel it until the thread ends.
  std::atomic<bool> ended{false};
  std::thread joiner([&] {
    FSupervisor.join();
    ended = true;
  });
  while (!ended.load()) {
    FSender.CancelOpen();
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
  }
  joiner.join();
}

bool TPushController::WaitSupervisor(uint32_t ms) {
  FSupervisorBeats.fetch_add(1);
  std::unique_lock<std::mutex> lock(FSuperLock);
  return FSuperWake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return FSuperStop.load(); });
}

void TPushController::Supervise() {
  bool failedTold = false;
  while (!FSuperStop.load()) {
    FSupervisorBeats.fetch_add(1);
    {
      std::unique_lock<std::mutex> lock(FSuperLock);
      FSuperWake.wait_for(lock, std::chrono::milliseconds(kSupervisorStepMs),
                          [this] { return FSuperStop.load() || (FBroken.load() && FAutoReconnect); });
    }
    if (FSuperStop.load()) break;
    PollSender();
    if (FBroken.load()) {
      if (FAutoReconnect) {
        Reconnect();
        continue;
      }
      if (!failedTold) {
        failedTold = true;
        SetLink(TLinkState::Failed, 0, -1, "send_failed");
      }
    }
    if (!FBroken.load()) WatchDevice();
  }
}

void TPushController::PollSender() {
  TVelmaroStats stats{};
  std::lock_guard<std::mutex> lock(FSendLock);
  void* handle = FSenderHandle.load();
  if (handle == nullptr || !FSender.GetStats(handle, &stats)) return;
  FHandleDrops = uint64_t{stats.VideoFramesDropped} + stats.AudioFramesDropped;
  if (stats.SendFailed && !FBroken.load()) {
    FBroken = true;
    if (FAutoReconnect) FLinkUp = false;  // without reconnects the handle goes on refusing each sample
  }
}

void TPushController::Reconnect() {
  void* old;
  {
    std::lock_guard<std::mutex> lock(FSendLock);
    FLinkUp = false;
    old = FSenderHandle.exchange(nullptr);
  }
  FClosedHandleDrops += FHandleDrops.exchange(0);
  if (old != nullptr) FSender.Close(old);
  const char* reason = "server_lost";
  for (int attempt = 1; !FSuperStop.load(); ++attempt) {
    int pause = ReconnectPauseSeconds(attempt);
    SetLink(TLinkState::Reconnecting, attempt, pause, reason);
    if (WaitSupervisor(static_cast<uint32_t>(pause) * 1000u)) return;
    void* handle = nullptr;
    int result = FSender.Open(FRtmpUrl.c_str(), &handle);
    if (FSuperStop.load()) {
      if (result == 0) FSender.Close(handle);
      return;
    }
    if (result != 0) {
      DebugLogFmt("RTMP_Open err=%d", result);
      reason = "open_failed";
      continue;
    }
    TMediaHeader header;
    {
      std::lock_guard<std::mutex> lock(FSendLock);
      header = HeaderForKept();
    }
    if (FSender.SendHeader(handle, &header) != 0) {
      FSender.Close(handle);
      reason = "header_failed";
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(FSendLock);
      DebugLogFmt("Reconnected: re-sending %zu kept messages, %zu bytes (at most %zu kept)", FKept.Count(),
                  FKept.Bytes(), FKept.PeakBytes());
      FKept.ResendAll();
      FAwaitKey = true;
      FSenderHandle = handle;
      FBroken = false;
    }
    if (Drain()) {
      SetLink(TLinkState::Running, 0, -1, "reconnected");
      return;
    }
    {
      std::lock_guard<std::mutex> lock(FSendLock);
      FLinkUp = false;
      handle = FSenderHandle.exchange(nullptr);
    }
    if (handle != nullptr) FSender.Close(handle);
    FBroken = false;
    reason = "server_lost";
  }
}

bool TPushController::Drain() {
  for (int sent = 0; !FSuperStop.load(); ++sent) {
    std::unique_lock<std::mutex> lock(FSendLock);
    void* handle = FSenderHandle.load();
    if (!FKept.HasPending()) {
      FLinkUp = true;  // the media threads send again
      return true;
    }
    const TKeptMessage& message = FKept.NextPending();
    if (FAwaitKey && !(message.Stream == kStreamVideo && message.IsKey)) {
      FKept.MarkSent();
      continue;
    }
    if (!SendKept(handle, message)) return false;
    FAwaitKey = false;
    const int stream = message.Stream;
    const uint32_t length = static_cast<uint32_t>(message.Data.size()), time = message.TimeMs;
    FKept.MarkSent();
    lock.unlock();
    NoteSent(stream, length, time);
    // Hand over no faster than the connection takes it, so that the
    // sender's own bound drops nothing.
    TVelmaroStats stats{};
    while (sent % 16 == 0 && FSender.GetStats(handle, &stats) && stats.QueuedMs > kDrainQueueMs &&
           !stats.SendFailed)
      if (WaitSupervisor(kPollStepMs)) return false;
  }
  return false;
}

uint64_t TPushController::VideoFramesSince(uint32_t now, uint32_t spanMs) const {
  // The newest sample at least spanMs old; the oldest kept when none is.
  const TVideoSample* base = FVideoHistory.empty() ? nullptr : &FVideoHistory.front();
  for (const TVideoSample& sample : FVideoHistory)
    if (now - sample.Tick >= spanMs) base = &sample;
  return base == nullptr ? 0 : FTotalVideoFrames.load() - base->Frames;
}

void TPushController::WatchDevice() {
  // After its stream stalls, the client library still hands over a few
  // pictures it had queued: a device counts as silent when it sent fewer
  // than a handful in the whole span, and as back when it sends steadily.
  constexpr uint64_t kFewFrames = 5;
  const uint32_t now = SystemTickCount();
  FVideoHistory.push_back({now, FTotalVideoFrames.load()});
  while (FVideoHistory.size() > 2 && now - FVideoHistory[1].Tick >= kDeviceSilenceMs) FVideoHistory.pop_front();
  const bool watchedLongEnough = now - FStartTick >= kDeviceSilenceMs && now - FDeviceRestartTick >= 2000;
  const TLinkState link = LinkState();
  if (link == TLinkState::DeviceLost) {
    if (VideoFramesSince(now, 2000) >= kFewFrames && watchedLongEnough) {
      SetLink(TLinkState::Running, 0, -1, "device_back");
    } else if (now - FDeviceRestartTick >= kDeviceSilenceMs) {
      FDeviceRestartTick = now;
      FCapturer.RestartStream();
    }
    return;
  }
  if (link != TLinkState::Running || !watchedLongEnough || VideoFramesSince(now, kDeviceSilenceMs) >= kFewFrames)
    return;
  SetLink(TLinkState::DeviceLost, 0, -1, "no_video");
  FDeviceRestartTick = now;
  FCapturer.RestartStream();
}

uint64_t TPushController::FramesDropped() const {
  uint64_t dropped = FClosedHandleDrops.load() + FHandleDrops.load() + FQueueDrops.load();
  if (FBufferWorker) dropped += FBufferWorker->FramesDropped();
  return dropped;
}

double TPushController::CurrentDelaySeconds() const {
  if (!FAnySent.load() || !FKeyFrameSeen.load()) return FConfig.BufferTime > 0 ? FConfig.BufferTime : 0;
  int64_t sentDeviceMs = FLastSentVideoMs.load() + static_cast<int64_t>(FBaseTime.load());
  return static_cast<double>(FLastCapturedVideoMs.load() - sentDeviceMs) / 1000.0;
}

size_t TPushController::KeptPeakBytes() {
  std::lock_guard<std::mutex> lock(FSendLock);
  return FKept.PeakBytes();
}
