// The exports' implementation: the media header and the media samples become
// RTMP messages whose bodies are FLV tag bodies (FlvTags); librtmp adds the
// chunk headers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "FlvTags.h"
#include "SampleSorts.h"
#include "librtmp.h"
#include "velmaro.h"

namespace velmaro {

constexpr uint32_t kInitialSendBufferSize = 204800;
constexpr int32_t kMediaChunkSize = 16384;
constexpr size_t kHeaderBufferSize = 1024;  // metadata and sequence headers
constexpr int32_t kVideoStream = 0;         // sorter stream indices
constexpr int32_t kAudioStream = 1;
// The `extra` of a sorter sample: 0 for media; otherwise a header message
// sent again mid-stream, which leaves in order with the media and is never
// dropped.
enum : int32_t { kSampleMedia = 0, kSampleMetadata = 1, kSampleVideoHeader = 2, kSampleAudioHeader = 3 };

struct TRTMPContext;

// Carries the sorter's sample event: sends each released sample.
class TRTMPSampleEvent {
 public:
  explicit TRTMPSampleEvent(TRTMPContext* context) : Context(context) {}
  static void HandleSample(void* self, int32_t streamIndex, const uint8_t* data, int32_t length, int64_t time,
                           uint8_t keyFlag, int32_t extra);

  bool FirstSent = false;  // only touched on the sorter's thread
  TRTMPContext* Context;   // not owned
  // The sorter that calls: alive until its thread has ended (the context's
  // pointer to it is already null while its destructor waits for the thread).
  TSampleSort* Sorter = nullptr;
};

// Where a media message ends in the connection's byte stream: it has left
// once the peer acknowledged that many bytes.
struct TSentMark {
  uint64_t EndOffset;
  uint32_t TimeMs;
};

// One per handle; the handle is this record's address.
struct TRTMPContext {
  std::unique_ptr<TRtmpConnection> Connection;
  TMediaHeader Header{};  // the last header sent successfully; guarded by Lock
  std::unique_ptr<uint8_t[]> SendBuffer;  // grows to the largest body, never shrinks
  uint32_t SendBufferSize = 0;
  std::vector<TNalUnit> NalUnits;  // the units of the call being built; guarded by Lock
  std::unique_ptr<TSampleSort> Sorter;  // stream 0 video, stream 1 audio
  std::unique_ptr<TRTMPSampleEvent> SampleEvent;
  std::mutex Lock;  // serialises the caller-side operations
  std::atomic<bool> HeaderSent{false};
  std::atomic<bool> SendFailed{false};  // set on the sorter's thread, never cleared
  std::atomic<uint64_t> BytesSent{0};   // bytes the peer acknowledged
  std::atomic<bool> AnyMediaSent{false};
  std::atomic<uint32_t> SentMediaMs{0};  // time of the newest media message the peer acknowledged
  std::mutex SentLock;
  std::deque<TSentMark> Unacknowledged;  // media messages written, not yet acknowledged; guarded by SentLock
  std::atomic<bool> PassThrough{false};
  std::atomic<bool> AdtsReported{false};  // ADTS-framed AAC is reported once per handle
  // Media queued in the sorter so far; a header after it is queued too.
  // Guarded by Lock.
  bool MediaQueued = false;
  uint32_t LastVideoMs = 0;  // time of the latest video and audio queued
  uint32_t LastAudioMs = 0;
};

// Queues a header given after media (a new picture size, new parameter
// sets): onMetaData and the video sequence header behind the video already
// queued, the audio sequence header behind the audio when its configuration
// changed. Under the context's Lock; returns a VELMARO_ code.
int32_t QueueHeaderMessages(TRTMPContext& context, const TMediaHeader& header);

// Brings BytesSent, AnyMediaSent and SentMediaMs up to what the peer has
// acknowledged; `written` records a media message just written. Any thread.
void UpdateSentFigures(TRTMPContext& context, const TSentMark* written = nullptr);

// Header messages; each returns librtmp's result (1 = sent) or 0.
int SendMetadata(TRtmpConnection* connection, const TMediaHeader* header);
int SendAVCSequenceHeaderVideo(TRtmpConnection* connection, const TMediaHeader& header);
int SendAVCSequenceHeaderAudio(TRtmpConnection* connection, const TMediaHeader& header);
int SendSetChunkSize(TRtmpConnection* connection, int32_t size);

}  // namespace velmaro
