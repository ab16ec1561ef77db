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

}  // namespace

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

  FDeviceOpen = true;
  int result = FCapturer.Connect(address, user, password, isIPC, rtspPort, httpPort, isHD);
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
  result = FSender.Open(rtmpUrl.c_str(), &handle);
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

  result = FCapturer.StartCapture();
  if (result != 0) {
    DebugLogFmt("StartCapture ret=%d", result);
    return kStartCaptureFailed;
  }

  DebugLog("Capturing...");
  FStartTick = SystemTickCount();
  SetState(TState::Running);
  return kStartRunning;
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
  SetState(TState::Stopping);

  FCapturer.StopCapture();
  FCapturer.Disconnect();
  FDeviceOpen = false;
  if (FBufferWorker) FBufferWorker->Stop();

  // Calls already under way finish while the window stays responsive.
  for (int i = 0; i < kStopWaitSteps; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(StopWaitStepMs));
    if (OnProcessMessages) OnProcessMessages();
  }

  if (void* handle = FSenderHandle.load()) {
    FSender.Close(handle);
    FSenderHandle = nullptr;
  }
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
  void* handle = FSenderHandle.load();
  if (handle == nullptr) return;
  double ms = seconds * 1000;
  if (!(std::fabs(ms) < 9.0e18)) return;  // would not fit the 64-bit time
  int64_t timeMs = static_cast<int64_t>(ms);  // truncated toward zero

  int32_t bits = static_cast<int32_t>(static_cast<uint32_t>(length) * 8u);
  FRecvBytes.fetch_add(length, std::memory_order_relaxed);
  int stream;
  if (code == kCodeVideo) {
    FVideoBits.fetch_add(bits, std::memory_order_relaxed);
    FVideoFrames.fetch_add(1, std::memory_order_relaxed);
    stream = kStreamVideo;
  } else {
    FAudioBits.fetch_add(bits, std::memory_order_relaxed);
    FAudioFrames.fetch_add(1, std::memory_order_relaxed);
    stream = kStreamAudio;
  }
  bool isKey = frameType == kFrameTypeKey;

  if (FBufferWorker) {
    ResendHeaderWhileHolding(handle);
    FBufferWorker->AddSample(stream, data, length, timeMs, isKey);
  } else {
    SendSample(stream, data, length, timeMs, isKey);
  }
}

void TPushController::ResendHeaderWhileHolding(void* handle) {
  if (FVideoFrames.load(std::memory_order_relaxed) != 1 || FDelivered.load()) return;
  std::lock_guard<std::mutex> lock(FHeaderLock);
  if (!FDelivered.load()) FSender.SendHeader(handle, &FHeader);  // a failure is ignored
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
  void* handle = FSenderHandle.load();
  if (handle == nullptr || data == nullptr || length <= 0) return;
  if (stream == kStreamVideo)
    SendVideo(handle, data, length, timeMs, isKey);
  else if (stream == kStreamAudio)
    SendAudio(handle, data, length, timeMs);
}

void TPushController::SendVideo(void* handle, const uint8_t* data, int32_t length, int64_t timeMs,
                                bool isKey) {
  DebugLogFmt("%x %d", length > 4 ? data[4] : 0, length);
  if (isKey && !FKeyFrameSeen.load()) {
    DebugLog("KEY FRAME");
    FKeyFrameSeen = true;
    FBaseTime = static_cast<uint32_t>(timeMs);
  }
  if (!FKeyFrameSeen.load()) return;  // nothing goes out before the first key frame
  int64_t relative = timeMs - static_cast<int64_t>(FBaseTime.load());
  if (isKey) FollowParameterSetChange(handle, data, length);
  if (FHeader.HasAudio) FillAudioGap(handle, relative);
  if (FSender.SendVideo(handle, data, static_cast<uint32_t>(length), static_cast<uint32_t>(relative), isKey))
    FSentBytes.fetch_add(length, std::memory_order_relaxed);
  else
    ReportRefusal("RTMP_SendVideo failed");
  FLastVideoMs = relative;
}

void TPushController::FollowParameterSetChange(void* handle, const uint8_t* data, int32_t length) {
  std::lock_guard<std::mutex> lock(FHeaderLock);
  if (!TakeParameterSetChange(data, static_cast<size_t>(length), FHeader)) return;
  DebugLogFmt("New parameter sets: %dx%d", FHeader.Width, FHeader.Height);
  // The sender queues the new header behind the media already sent, so it
  // reaches the server right before this key frame.
  if (FSender.SendHeader(handle, &FHeader) != 0) ReportRefusal("RTMP_SendHeader failed");
}

void TPushController::SendAudio(void* handle, const uint8_t* data, int32_t length, int64_t timeMs) {
  if (!FKeyFrameSeen.load() || length <= kAdtsHeaderBytes) return;
  int64_t relative = timeMs - static_cast<int64_t>(FBaseTime.load());
  if (relative < 0) return;
  FFillingAudio = false;  // the device's audio is back
  // Silence already covers this time, or video has stopped: see kStreamSkewLimitMs.
  if (static_cast<double>(relative) < FFillEndMs || relative - FLastVideoMs > kStreamSkewLimitMs) return;
  int32_t payload = length - kAdtsHeaderBytes;  // without the ADTS header
  if (FSender.SendAudio(handle, data + kAdtsHeaderBytes, static_cast<uint32_t>(payload),
                        static_cast<uint32_t>(relative)))
    FSentBytes.fetch_add(payload, std::memory_order_relaxed);
  else
    ReportRefusal("RTMP_SendAudio failed");
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

void TPushController::FillAudioGap(void* handle, int64_t videoMs) {
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
    FSender.SendAudio(handle, frame, static_cast<uint32_t>(frameLength), static_cast<uint32_t>(FFillEndMs));
    FLastAudioMs = static_cast<int64_t>(FFillEndMs);
    FFillEndMs += frameMs;
  }
}
