#include "Intakes.h"

#include <algorithm>
#include <cmath>

#include "AacConfigs.h"
#include "Debugs.h"
#include "Latencies.h"
#include "trel32.h"

namespace {
// Frame types 5 and 6 under 100 bytes are a device's filler, never media.
bool IsFiller(uint8_t frameType, int32_t length) { return (frameType == 5 || frameType == 6) && length < 100; }
}  // namespace

void TIntake::Begin(const TMediaHeader& header, TDelayBuffer* buffer, TEmit emit, std::function<void()> resendHeader) {
  FBuffer = buffer;
  FEmit = std::move(emit);
  FResendHeader = std::move(resendHeader);
  FAudioSampleRate = header.AudioSampleRate;
  FHasAudio = header.HasAudio != 0;
  FChannelConfig = AacChannelConfig(header.AudioChannels);
  {
    std::lock_guard<std::mutex> lock(FHeaderLock);
    FDelivered = false;
  }
  FKeyFrameSeen = false;
  FBaseTime = 0;
  FLastResendMs = FClock.NowMs() - kHeaderResendMs;  // the first video re-sends at once
  FFirstVideoAtMs = -1;
  FLastVideoMs = FLastAudioMs = 0;
  FFillEndMs = 0;
  FFillingAudio = false;
  FClockRebase.Reset();
}

void TIntake::HandleCapturedSample(uint8_t code, uint8_t frameType, const uint8_t* data, int32_t length,
                                   int64_t ticks) {
  TIDECAST_LATENCY_MARK(LatencyCaptured(code == TREL32_STREAM_VIDEO   ? kLatencyVideo
                                        : code == TREL32_STREAM_AUDIO ? kLatencyAudio
                                                                      : -1));
  if (data == nullptr || length <= 0) return;
  double seconds;
  if (code == TREL32_STREAM_AUDIO) {
    int32_t rate = FAudioSampleRate.load(std::memory_order_relaxed);
    if (rate <= 0) return;  // no clock for it
    seconds = static_cast<double>(ticks) / rate;
  } else if (code == TREL32_STREAM_VIDEO) {
    seconds = static_cast<double>(ticks) / 90000;
  } else {
    return;
  }
  if (IsFiller(frameType, length)) return;
  if (!FActive.load(std::memory_order_relaxed)) return;
  double ms = seconds * 1000;
  if (!(std::fabs(ms) < 9.0e18)) return;      // would not fit the 64-bit time
  int64_t timeMs = static_cast<int64_t>(ms);  // truncated toward zero

  int32_t bits = static_cast<int32_t>(static_cast<uint32_t>(length) * 8u);
  FCounters.FRecvBytes.fetch_add(length, std::memory_order_relaxed);
  FCounters.FTotalRecvBytes.fetch_add(static_cast<uint64_t>(length), std::memory_order_relaxed);
  const int stream = code == TREL32_STREAM_VIDEO ? kStreamVideo : kStreamAudio;
  if (stream == kStreamVideo) {
    FCounters.FVideoBits.fetch_add(bits, std::memory_order_relaxed);
    FCounters.FVideoFrames.fetch_add(1, std::memory_order_relaxed);
    FCounters.FTotalVideoFrames.fetch_add(1, std::memory_order_relaxed);
  } else {
    FCounters.FAudioBits.fetch_add(bits, std::memory_order_relaxed);
    FCounters.FAudioFrames.fetch_add(1, std::memory_order_relaxed);
    FCounters.FTotalAudioFrames.fetch_add(1, std::memory_order_relaxed);
  }
  const bool isKey = frameType == TREL32_FRAME_IDR;

  if (FBuffer != nullptr) {
    if (stream == kStreamVideo) {
      if (FFirstVideoAtMs.load(std::memory_order_relaxed) < 0) FFirstVideoAtMs = FClock.NowMs();
      FLastTakenVideoMs.store(timeMs, std::memory_order_relaxed);
      ResendHeaderWhileHolding();
    }
    FBuffer->AddSample(stream, data, length, timeMs, isKey);
    return;
  }
  // The delay buffer takes a device's clock jump out itself; here it is done
  // before the jump can reach the key-frame base and the silence fill.
  timeMs = FClockRebase.Rebase(stream, timeMs, FClock.NowMs());
  if (stream == kStreamVideo) FLastTakenVideoMs.store(timeMs, std::memory_order_relaxed);
  Release(stream, data, length, timeMs, isKey);
}

void TIntake::ResendHeaderWhileHolding() {
  if (FDelivered.load()) return;
  const int64_t now = FClock.NowMs();
  if (now - FLastResendMs.load(std::memory_order_relaxed) < kHeaderResendMs) return;
  FLastResendMs.store(now, std::memory_order_relaxed);
  std::lock_guard<std::mutex> lock(FHeaderLock);
  if (!FDelivered.load() && FResendHeader) FResendHeader();
}

void TIntake::MarkDelivered() {
  if (FDelivered.load()) return;
  // Waits for a header re-send under way; none starts after this.
  std::lock_guard<std::mutex> lock(FHeaderLock);
  FDelivered = true;
}

void TIntake::Release(int stream, const uint8_t* data, int32_t length, int64_t timeMs, bool isKey) {
  MarkDelivered();
  if (!FActive.load(std::memory_order_relaxed) || data == nullptr || length <= 0) return;
  if (stream == kStreamVideo)
    SendVideo(data, length, timeMs, isKey);
  else if (stream == kStreamAudio)
    SendAudio(data, length, timeMs);
}

void TIntake::SendVideo(const uint8_t* data, int32_t length, int64_t timeMs, bool isKey) {
  DebugLogFmt("%x %d", length > 4 ? data[4] : 0, length);
  if (isKey && !FKeyFrameSeen.load()) {
    DebugLog("KEY FRAME");
    FKeyFrameSeen = true;
    FBaseTime = static_cast<uint32_t>(timeMs);
  }
  if (!FKeyFrameSeen.load()) return;  // nothing goes out before the first key frame
  int64_t relative = timeMs - static_cast<int64_t>(FBaseTime.load());
  const int64_t offset = FBuffer != nullptr ? FBuffer->TimeOffsetMs() : 0;
  FLastReleasedVideoMs.store(timeMs - offset, std::memory_order_relaxed);
  FLastReleasedRelativeMs.store(relative, std::memory_order_relaxed);
  if (FHasAudio) FillAudioGap(relative);
  FEmit(kStreamVideo, data, static_cast<uint32_t>(length), static_cast<uint32_t>(relative), isKey);
  FLastVideoMs = relative;
}

void TIntake::SendAudio(const uint8_t* data, int32_t length, int64_t timeMs) {
  if (!FKeyFrameSeen.load() || length <= kAdtsHeaderBytes) return;
  int64_t relative = timeMs - static_cast<int64_t>(FBaseTime.load());
  if (relative < 0) return;
  FFillingAudio = false;  // the device's audio is back
  // Silence already covers this time, or video has stopped: see kStreamSkewLimitMs.
  if (static_cast<double>(relative) < FFillEndMs || relative - FLastVideoMs > kStreamSkewLimitMs) return;
  int32_t payload = length - kAdtsHeaderBytes;  // without the ADTS header
  FEmit(kStreamAudio, data + kAdtsHeaderBytes, static_cast<uint32_t>(payload), static_cast<uint32_t>(relative), false);
  FLastAudioMs = relative;
}

void TIntake::FillAudioGap(int64_t videoMs) {
  const double frameMs = kAacFrameSamples * 1000.0 / FAudioSampleRate.load();
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
    FEmit(kStreamAudio, frame, static_cast<uint32_t>(frameLength), static_cast<uint32_t>(FFillEndMs), false);
    FLastAudioMs = static_cast<int64_t>(FFillEndMs);
    FFillEndMs += frameMs;
  }
}

double TIntake::DelaySeconds(bool anySent, uint32_t sentRelativeMs) {
  if (!anySent || !FKeyFrameSeen.load()) {
    // Nothing has reached a server yet: the media is as far behind as the
    // first video has been held.
    const int64_t first = FFirstVideoAtMs.load();
    return first < 0 ? 0.0 : static_cast<double>(FClock.NowMs() - first) / 1000.0;
  }
  const int64_t held = FLastTakenVideoMs.load() - FLastReleasedVideoMs.load();
  const int64_t behind = FLastReleasedRelativeMs.load() - static_cast<int64_t>(sentRelativeMs);
  return static_cast<double>(std::max<int64_t>(0, held + behind)) / 1000.0;
}
