// One RTSP client of the library: opens the stream over interleaved TCP with
// libavformat, describes it, and delivers access units and ADTS frames to the
// registered callback on a thread of its own, reconnecting when the device
// drops.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AccessUnits.h"
#include "AdtsHeaders.h"
#include "AudioTranscoders.h"
#include "StreamClocks.h"
#include "trel32.h"

struct AVFormatContext;
struct AVPacket;

class TRtspClient {
 public:
  TRtspClient(int32_t channel, std::string url);
  ~TRtspClient();
  TRtspClient(const TRtspClient&) = delete;
  TRtspClient& operator=(const TRtspClient&) = delete;

  // Opens the stream, reads its description and starts the delivering
  // thread. A description without parameter sets makes it wait for the
  // first ones in the stream (see kInBandSetsWaitUs). Returns 0 or a
  // TREL32_E_ code.
  int32_t Open();
  int32_t GetParameterSets(uint8_t* sps, int32_t* spsLength, uint8_t* pps, int32_t* ppsLength) const;
  // H.265's video parameter set (TREL32_E_NO_PARAMETER_SETS for H.264).
  int32_t GetVideoParameterSet(uint8_t* vps, int32_t* vpsLength) const;
  // FFmpeg's name of the device's video or audio codec ("" without that
  // stream); the video's is known also after Open refused it.
  const std::string& CodecName(bool video) const { return video ? videoName_ : audioName_; }
  void FillMediaInfo(TRtspMediaInfo& info) const;
  // The AudioSpecificConfig from the stream's description (empty without audio).
  int32_t GetAudioConfig(uint8_t* config, int32_t capacity, int32_t* length) const;
  int32_t Register(TRtspClientCallback callback, void* user);
  void SetUrlSource(TRtspUrlSource source, void* user);
  int32_t Unregister();
  // Ends the session being read, so that the delivering thread reconnects.
  void RequestRestart() { restartRequested_.store(true); }
  // Ends delivery and closes the stream; bounded even when the device hangs.
  void Close();
  bool OnDeliveringThread() const { return std::this_thread::get_id() == threadId_.load(); }

  // Ends every Open under way (see trel32CancelOpen). Async-signal-safe.
  static void CancelOpens();

  // The reconnect pause after `attempt` failed attempts (1 s doubling, at most 10 s).
  static std::chrono::milliseconds ReconnectPause(int attempt);

 private:
  struct TSession {
    AVFormatContext* format = nullptr;
    int video = -1;
    int audio = -1;
    TAacConfig aac;
    bool hevc = false;
    std::shared_ptr<TAudioTranscoder> transcoder;  // null: AAC from the device as it is
    std::string videoName, audioName;
  };

  int32_t OpenSession(TSession& session);
  void ChooseStreams(TSession& opened);
  void CloseSession(TSession& session);
  void Run();
  void ReadSession();
  bool Reconnect();
  void RefreshUrl();
  void HandleVideo(const AVPacket& packet);
  void HandleAudio(const AVPacket& packet);
  void DeliverAacFrame(const uint8_t* frame, size_t size, int64_t sessionUs);
  void DeliverAccessUnit(const std::vector<uint8_t>& unit, bool idr, int64_t time, int64_t nextTime);
  int32_t AwaitInBandSets();
  void TakeInBandSets(const std::vector<uint8_t>& unit);
  void Deliver(uint8_t streamCode, uint8_t frameType, const uint8_t* data, size_t size, int64_t lineUs,
               int64_t ticks);
  static int Interrupted(void* self);
  void Call(uint8_t streamCode, uint8_t frameType, const uint8_t* data, size_t size, int64_t ticks);
  void ReportFailure(const char* where, std::exception_ptr failure) noexcept;

  const int32_t channel_;
  std::string url_;  // after Open, the delivering thread's alone
  std::mutex urlSourceLock_;
  TRtspUrlSource urlSource_ = nullptr;
  void* urlSourceUser_ = nullptr;

  // Stream description, fixed by Open. The delivering thread fills in the
  // parameter sets, size and frame rate while Open waits for in-band sets.
  mutable std::mutex setsLock_;  // guards sps_, pps_, width_, height_, frameRate_
  std::condition_variable setsFound_;
  std::atomic<bool> awaitingSets_{false};
  std::atomic<int64_t> firstMediaUs_{0};  // when the first session began to play; 0: not yet
  std::vector<uint8_t> vps_, sps_, pps_;  // vps_: H.265 only
  int32_t width_ = 0, height_ = 0, frameRate_ = 0;
  bool hevc_ = false;
  std::string videoName_, audioName_;
  int32_t audioCodec_ = TREL32_AUDIO_NONE;
  bool hasAudio_ = false;
  TAacConfig aac_;
  std::vector<uint8_t> audioConfig_;

  // Interrupts blocking reads: a stop request, or a deadline for opening.
  std::atomic<bool> stopping_{false};
  // While Open runs: the cancel generation it began in (see CancelOpens).
  std::atomic<bool> opening_{false};
  std::atomic<uint32_t> openGeneration_{0};
  bool OpenCancelled() const;
  std::atomic<int64_t> deadlineUs_{0};  // 0: none
  std::atomic<bool> closing_{false};    // a session closes: TEARDOWN may still go out
  std::atomic<bool> reading_{false};    // ReadSession runs: a restart request ends it
  std::atomic<bool> restartRequested_{false};
  std::mutex pauseLock_;
  std::condition_variable pauseWake_;

  // A sample kept from before the first registration.
  struct THeldSample {
    uint8_t streamCode;
    uint8_t frameType;
    std::vector<uint8_t> data;
    int64_t ticks;
  };
  void Hold(uint8_t streamCode, uint8_t frameType, const uint8_t* data, size_t size, int64_t ticks);
  void DeliverHeld();

  std::mutex callbackLock_;  // held while a callback runs; guards the fields below
  TRtspClientCallback callback_ = nullptr;
  void* user_ = nullptr;
  bool everRegistered_ = false;
  // Until the first registration: the samples since the latest IDR access
  // unit, so that delivery starts with a key frame instead of losing the
  // first group of pictures (the probe read it before anyone listened).
  std::vector<THeldSample> held_;
  size_t heldBytes_ = 0;

  std::atomic<uint64_t> failures_{0};  // caught on the delivering thread
  std::thread thread_;
  std::atomic<std::thread::id> threadId_{};

  // Delivering thread only.
  TSession session_;
  TAccessUnitAssembler assembler_;
  TTimeline timeline_;
  TStreamClock videoClock_;
  TStreamClock audioClock_;
  int64_t lastVideoTime_ = TAccessUnitAssembler::kNoTime;  // stream time base
  std::vector<uint8_t> audioFrame_;
};
