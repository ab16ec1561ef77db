// FLV tag bodies: the media header and the media samples as the bodies of
// FLV tags (no FLV file header, tag header or previous-tag-size). The sender
// sends them as RTMP messages; a local recording writes them into FLV files,
// so both carry exactly the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "ByteWriters.h"
#include "h264utils.h"
#include "velmaro.h"

namespace velmaro {

constexpr int32_t kCodecAvc = VELMARO_VIDEO_AVC;
constexpr int32_t kCodecHevcId12 = VELMARO_VIDEO_HEVC_ID12;
constexpr int32_t kCodecHevcFourCc = VELMARO_VIDEO_HEVC;
constexpr int32_t kCodecSorensonH263 = 2;
constexpr int32_t kSoundAac = 0xA0;
constexpr int32_t kSoundSpeex = 0xB0;
constexpr int32_t kSoundMp3 = 0x20;
constexpr int32_t kSoundAdpcm = 0x10;

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

// ---- H.265 ------------------------------------------------------------------
// A header whose VideoCodecId is kCodecHevcFourCc or kCodecHevcId12 carries
// the HEVCDecoderConfigurationRecord in its Sps field; the sequence header and
// the video bodies above then take the form the id names.

// Enhanced RTMP (ex-header with FourCC 'hvc1') or the older codec id 12 with
// AVC-style packet types, which servers without enhanced RTMP accept.
enum class THevcFlvForm { Enhanced, Id12 };

// The video body carrying the record: SequenceStart (enhanced) or AVC-style
// packet type 0 (id 12). 0 when the record is empty or the body does not fit.
size_t BuildHevcSequenceStart(THevcFlvForm form, std::span<const uint8_t> record, uint8_t* out, size_t capacity);

// One access unit: every NAL unit behind its 32-bit length. Enhanced: CodedFrames
// with the 24-bit signed composition offset, CodedFramesX when it is 0. Id 12:
// packet type 1 with the composition offset. 0 when it does not fit.
size_t BuildHevcCodedFrames(THevcFlvForm form, const std::vector<TNalUnit>& units, bool keyFrame,
                            int32_t compositionMs, uint8_t* out, size_t capacity);

}  // namespace velmaro
