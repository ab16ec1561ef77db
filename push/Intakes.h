// The intake: turns the device's samples into timed messages for the
// destinations. It reads the capturer's codes and clocks (90 kHz video, the
// sample rate for audio), strips the ADTS header, holds everything back until
// the first key frame and times messages from it, bounds how far one stream
// may run ahead of the other (silence fills in for audio that stops), sends
// the header again while the delay fills, and says how far the media handed
// over is behind the device.
//
// Threads: HandleCapturedSample on the capturer's delivering thread; Release
// on the delivering thread (no delay) or on the delay buffer's thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "ClockRebases.h"
#include "PushClocks.h"
#include "PushCounters.h"
#include "PushSeams.h"

// How far one stream may run ahead of the other in the sender's sorter,
// which releases nothing until both streams have a message waiting. When the
// device's audio stops (or never comes) while video runs on, silent AAC
// frames fill the gap once video is this far ahead, so video keeps reaching
// the server; when video stops, audio more than this far ahead of the last
// video is dropped. Either way the sorter holds at most this much media.
constexpr int64_t kStreamSkewLimitMs = 3000;

// While the delay buffer holds the stream back, the header goes out again with
// the first video taken and then at most this often, so that a server which
// drops an idle publisher's header still has one.
constexpr int64_t kHeaderResendMs = 1000;

class TIntake {
 public:
  // A message for every destination (relative time: from the first key frame).
  using TEmit = std::function<void(int stream, const uint8_t* data, uint32_t length, uint32_t relativeMs, bool isKey)>;

  TIntake(TPushCounters& counters, TPushClock& clock) : FCounters(counters), FClock(clock) {}

  // A new push: `buffer` (or none) holds samples back; `emit` takes each
  // message; `resendHeader` sends the header again while the buffer holds.
  void Begin(const TMediaHeader& header, TDelayBuffer* buffer, TEmit emit, std::function<void()> resendHeader);
  // Samples are taken from here on (the capture starts right after).
  void Open() { FActive = true; }
  // No sample is taken from here on.
  void End() { FActive = false; }

  void HandleCapturedSample(uint8_t code, uint8_t frameType, const uint8_t* data, int32_t length, int64_t ticks);
  // A sample the delay buffer releases (or, without a delay, one just taken).
  void Release(int stream, const uint8_t* data, int32_t length, int64_t timeMs, bool isKey);

  bool KeyFrameSeen() const { return FKeyFrameSeen.load(); }
  uint32_t BaseTime() const { return FBaseTime.load(); }
  bool Delivered() const { return FDelivered.load(); }
  // How far the media is behind the device once a destination has handed
  // over video up to `sentRelativeMs`; before any has, how long the first
  // video has been held.
  double DelaySeconds(bool anySent, uint32_t sentRelativeMs);

 private:
  void ResendHeaderWhileHolding();
  void MarkDelivered();
  void SendVideo(const uint8_t* data, int32_t length, int64_t timeMs, bool isKey);
  void SendAudio(const uint8_t* data, int32_t length, int64_t timeMs);
  void FillAudioGap(int64_t videoMs);

  TPushCounters& FCounters;
  TPushClock& FClock;
  TEmit FEmit;
  std::function<void()> FResendHeader;
  TDelayBuffer* FBuffer = nullptr;
  std::atomic<bool> FActive{false};
  std::atomic<int32_t> FAudioSampleRate{0};
  bool FHasAudio = false;
  uint8_t FChannelConfig = 2;

  std::atomic<bool> FKeyFrameSeen{false};
  std::atomic<uint32_t> FBaseTime{0};
  // Decides on FDelivered and the header re-send together, so that no
  // re-send overlaps the first media the delay buffer releases.
  std::mutex FHeaderLock;
  std::atomic<bool> FDelivered{false};
  std::atomic<int64_t> FLastResendMs{0};  // delivering thread

  // The delay figure: device times of the newest video taken and released,
  // and the release's relative time.
  std::atomic<int64_t> FFirstVideoAtMs{-1};  // push clock
  std::atomic<int64_t> FLastTakenVideoMs{0};
  std::atomic<int64_t> FLastReleasedVideoMs{0};
  std::atomic<int64_t> FLastReleasedRelativeMs{0};

  // Stream skew bound, on the releasing thread only (see kStreamSkewLimitMs).
  int64_t FLastVideoMs = 0;  // relative time of the last video sent
  int64_t FLastAudioMs = 0;  // relative time of the last audio sent
  double FFillEndMs = 0;     // end of the silence sent so far
  bool FFillingAudio = false;
  TClockRebase FClockRebase;  // the no-delay path's, on the delivering thread
};
