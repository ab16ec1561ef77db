// The exports' implementation and the FLV message builders: the media header
// and the media samples become RTMP messages whose bodies are FLV tag bodies
// (no FLV file header, tag header or previous-tag-size; librtmp adds the
// chunk headers).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "SampleSorts.h"
#include "h264utils.h"
#include "librtmp.h"
#include "velmaro.h"

namespace velmaro {

constexpr uint32_t kInitialSendBufferSize = 204800;
constexpr int32_t kMediaChunkSize = 16384;
constexpr size_t kHeaderBufferSize = 1024;  // metadata and sequence headers
constexpr int32_t kVideoStream = 0;         // sorter stream indices
constexpr int32_t kAudioStream = 1;
constexpr int32_t kCodecAvc = 7;
constexpr int32_t kCodecSorensonH263 = 2;
constexpr int32_t kSoundAac = 0xA0;
constexpr int32_t kSoundSpeex = 0xB0;
constexpr int32_t kSoundMp3 = 0x20;
constexpr int32_t kSoundAdpcm = 0x10;

// The `extra` of a sorter sample: 0 for media; otherwise a header message
// sent again mid-stream, which leaves in order with the media and is never
// dropped.
enum : int32_t { kSampleMedia = 0, kSampleMetadata = 1, kSampleVideoHeader = 2, kSampleAudioHeader = 3 };

// Appends big-endian fields into a fixed buffer. It never writes past the
// buffer: a field that does not fit marks the writer overflowed instead.
class TByteWriter {
 public:
  TByteWriter(uint8_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  void PutByte(uint8_t value);
  void PutUI16(uint16_t value);
  void PutUI32(uint32_t value);
  void PutBytes(const uint8_t* data, size_t length);
  // AMF0: 16-bit length, then the bytes (object keys; string values after 0x02).
  void PutAMFString(std::string_view text);
  void PutAMFNumber(double value);   // 0x00, IEEE double big-endian
  void PutAMFBoolean(bool value);    // 0x01, one byte
  size_t Position() const { return position_; }
  bool Overflowed() const { return overflowed_; }

 private:
  bool Fits(size_t length);
  uint8_t* buffer_;
  size_t capacity_;
  size_t position_ = 0;
  bool overflowed_ = false;
};

// First byte of every audio body (SoundFormat, SoundRate, SoundSize,
// SoundType). Speex other than 16 kHz mono raises an assertion error.
uint8_t AudioTagFlags(int32_t audioCodecId, int32_t sampleRate, int32_t channels);

// Header message bodies, built into a buffer of kHeaderBufferSize bytes.
// Each returns the body length; 0 when the record is missing or the body
// would not fit (never a partial write past the buffer).
size_t BuildMetadata(const TMediaHeader* header, uint8_t* buffer, size_t capacity);
size_t BuildVideoSequenceHeader(const TMediaHeader& header, uint8_t* buffer, size_t capacity);
size_t BuildAudioSequenceHeader(const TMediaHeader& header, uint8_t* buffer, size_t capacity);

// The video body of one call: one message per access unit. For AVC: key or
// inter frame byte, AVCPacketType 1, composition time 0, then every NAL unit
// in buffer order behind its 32-bit length, start codes dropped. Other codecs:
// the codec byte, then the units' bytes. In pass-through the whole buffer is
// the one unit.
// PlanVideoBody scans the buffer once, fills `units` (reused between calls,
// so the steady state allocates nothing) and returns the body size: 0 when
// the buffer holds no NAL unit. BuildVideoBody then writes the body.
size_t PlanVideoBody(int32_t videoCodecId, const uint8_t* data, size_t length, bool passThrough,
                     std::vector<TNalUnit>& units);
size_t BuildVideoBody(int32_t videoCodecId, const std::vector<TNalUnit>& units, bool keyFrame, uint8_t* out,
                      size_t capacity);

// The audio body: AudioTagFlags, for AAC AACPacketType 1, then the frame.
size_t AudioBodySize(int32_t audioCodecId, size_t length);
size_t BuildAudioBody(const TMediaHeader& header, const uint8_t* data, size_t length, uint8_t* out,
                      size_t capacity);

// True when an AAC frame still carries an ADTS header (sync word FFF).
bool StartsWithAdtsSyncWord(const uint8_t* data, size_t length);

struct TRTMPContext;

// Carries the sorter's sample event: sends each released sample.
class TRTMPSampleEvent {
 public:
  explicit TRTMPSampleEvent(TRTMPContext* context) : Context(context) {}
  static void HandleSample(void* self, int32_t streamIndex, const uint8_t* data, int32_t length, int64_t time,
                           uint8_t keyFlag, int32_t extra);

  bool FirstSent = false;  // only touched on the sorter's thread
  TRTMPContext* Context;   // not owned
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
  std::atomic<uint64_t> BytesSent{0};   // media bodies the connection took
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

// Header messages; each returns librtmp's result (1 = sent) or 0.
int SendMetadata(TRtmpConnection* connection, const TMediaHeader* header);
int SendAVCSequenceHeaderVideo(TRtmpConnection* connection, const TMediaHeader& header);
int SendAVCSequenceHeaderAudio(TRtmpConnection* connection, const TMediaHeader& header);
int SendSetChunkSize(TRtmpConnection* connection, int32_t size);

}  // namespace velmaro
