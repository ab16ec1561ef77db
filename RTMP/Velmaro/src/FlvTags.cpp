#include "FlvTags.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "Assertions.h"

namespace velmaro {
namespace {

constexpr int kSpeexRateCheckLine = 307;
constexpr int kSpeexChannelCheckLine = 308;
constexpr size_t kAvcBodyPrefix = 5;    // frame byte, AVCPacketType, composition time
constexpr size_t kNalLengthField = 4;

// The payload of every NAL unit of the buffer, in buffer order (the whole
// buffer in pass-through). Units left empty are skipped: an empty entry would
// only confuse decoders.
void CollectVideoPayloads(const uint8_t* data, size_t length, bool passThrough, std::vector<TNalUnit>& units) {
  units.clear();
  if (passThrough) {
    units.push_back({data, length});
    return;
  }
  TNalUnitReader reader(data, length);
  TNalUnit unit;
  while (reader.Next(unit)) {
    if (unit.length >= 4 && unit.data[0] == 0 && unit.data[1] == 0 && unit.data[2] == 0 && unit.data[3] == 1) {
      unit.data += 4;
      unit.length -= 4;
    }
    if (unit.length > 0) units.push_back(unit);
  }
}

uint8_t VideoFrameByte(int32_t videoCodecId, bool keyFrame) {
  if (videoCodecId == kCodecAvc) return keyFrame ? 0x17 : 0x27;
  if (videoCodecId == kCodecSorensonH263) return keyFrame ? 0x12 : 0x22;
  return 0x00;
}

double ToDouble(int32_t value) { return static_cast<double>(value); }

// ---- H.265 -----------------------------------------------------------------

constexpr uint8_t kEnhancedVideoFlag = 0x80;
constexpr uint8_t kPacketSequenceStart = 0;
constexpr uint8_t kPacketCodedFrames = 1;
constexpr uint8_t kPacketCodedFramesX = 3;
constexpr int32_t kMaxComposition = 0x7FFFFF;

bool IsHevc(int32_t videoCodecId) { return videoCodecId == kCodecHevcId12 || videoCodecId == kCodecHevcFourCc; }
THevcFlvForm HevcFormOf(int32_t videoCodecId) {
  return videoCodecId == kCodecHevcId12 ? THevcFlvForm::Id12 : THevcFlvForm::Enhanced;
}

void PutUI24(TByteWriter& w, uint32_t value) {
  w.PutByte(static_cast<uint8_t>(value >> 16));
  w.PutUI16(static_cast<uint16_t>(value));
}

// The first bytes of an H.265 video body: frame type and packet type, in
// the enhanced form followed by the FourCC.
void PutHevcVideoHeader(TByteWriter& w, THevcFlvForm form, bool keyFrame, uint8_t enhancedPacketType) {
  const uint8_t frameType = keyFrame ? 0x10 : 0x20;
  if (form == THevcFlvForm::Id12) {
    w.PutByte(static_cast<uint8_t>(frameType | kCodecHevcId12));
    return;
  }
  w.PutByte(static_cast<uint8_t>(kEnhancedVideoFlag | frameType | enhancedPacketType));
  w.PutBytes(reinterpret_cast<const uint8_t*>("hvc1"), 4);
}

}  // namespace

// ---- body builders ----------------------------------------------------------

uint8_t AudioTagFlags(int32_t audioCodecId, int32_t sampleRate, int32_t channels) {
  if (audioCodecId == kSoundAac) return 0xAF;  // AAC, 44 kHz, 16-bit, stereo: fixed by FLV
  if (audioCodecId == kSoundSpeex) {
    if (sampleRate != 16000)
      RaiseAssertion("FLV only supports wideband (16kHz) Speex audio", "VelmaroImp", kSpeexRateCheckLine);
    if (channels != 1) RaiseAssertion("FLV only supports mono Speex audio", "VelmaroImp", kSpeexChannelCheckLine);
    return 0xB6;
  }
  uint8_t flags = audioCodecId != 0 ? 0x02 : 0x00;  // SoundSize 16-bit, except linear PCM
  if (sampleRate == 44100) flags |= 0x0C;
  if (sampleRate == 22050) flags |= 0x08;
  if (sampleRate == 11025) flags |= 0x04;
  if (channels > 1) flags |= 0x01;  // SoundType stereo
  if (audioCodecId == kSoundAdpcm) flags |= 0x12;
  if (audioCodecId == kSoundMp3) flags |= 0x22;
  return flags;
}

size_t BuildMetadata(const TMediaHeader* header, uint8_t* buffer, size_t capacity) {
  if (header == nullptr) return 0;
  std::memset(buffer, 0, capacity);
  TByteWriter w(buffer, capacity);
  w.PutByte(0x02);  // AMF0 string
  w.PutAMFString("@setDataFrame");
  w.PutByte(0x02);
  w.PutAMFString("onMetaData");
  w.PutByte(0x03);  // AMF0 object start
  w.PutAMFString("copyright");
  w.PutByte(0x02);
  w.PutAMFString("");
  w.PutAMFString("width");
  w.PutAMFNumber(ToDouble(header->Width));
  w.PutAMFString("height");
  w.PutAMFNumber(ToDouble(header->Height));
  w.PutAMFString("videodatarate");
  w.PutAMFNumber(ToDouble(header->VideoDataRate) / 1000.0);
  w.PutAMFString("framerate");
  w.PutAMFNumber(header->FrameRate);
  w.PutAMFString("videocodecid");
  w.PutAMFNumber(ToDouble(header->VideoCodecId));
  if (header->HasAudio) {
    w.PutAMFString("audiodatarate");
    w.PutAMFNumber(ToDouble(header->AudioDataRate) / 1000.0);
    w.PutAMFString("audiosamplerate");
    w.PutAMFNumber(ToDouble(header->AudioSampleRate));
    w.PutAMFString("audiosamplesize");
    w.PutAMFNumber(ToDouble(header->AudioSampleSize));
    w.PutAMFString("stereo");
    w.PutAMFBoolean(header->AudioChannels >= 2);
    w.PutAMFString("audiocodecid");
    w.PutAMFNumber(static_cast<double>(static_cast<uint32_t>(header->AudioCodecId) >> 4));
  }
  w.PutAMFString("");  // empty key, then the object end marker
  w.PutByte(0x09);
  return w.Overflowed() ? 0 : w.Position();
}

size_t BuildVideoSequenceHeader(const TMediaHeader& header, uint8_t* buffer, size_t capacity) {
  if (IsHevc(header.VideoCodecId)) {
    if (header.SpsLen <= 0 || header.SpsLen > static_cast<int32_t>(sizeof header.Sps)) return 0;
    return BuildHevcSequenceStart(HevcFormOf(header.VideoCodecId),
                                  std::span<const uint8_t>(header.Sps, static_cast<size_t>(header.SpsLen)), buffer,
                                  capacity);
  }
  TByteWriter w(buffer, capacity);
  w.PutByte(static_cast<uint8_t>(header.VideoCodecId | 0x10));  // key frame + codec id
  w.PutByte(0x00);  // AVCPacketType 0 = sequence header
  w.PutByte(0x00);  // composition time 0
  w.PutUI16(0x0000);
  bool lengthsValid = header.SpsLen <= static_cast<int32_t>(sizeof header.Sps) &&
                      header.PpsLen <= static_cast<int32_t>(sizeof header.Pps);
  if (!lengthsValid) return 0;
  if (header.SpsLen > 0 && header.VideoCodecId == kCodecAvc) {
    // AVCDecoderConfigurationRecord
    w.PutByte(0x01);  // configurationVersion
    w.PutByte(header.SpsLen > 1 ? header.Sps[1] : 0);  // AVCProfileIndication
    w.PutByte(header.SpsLen > 2 ? header.Sps[2] : 0);  // profile_compatibility
    w.PutByte(header.SpsLen > 3 ? header.Sps[3] : 0);  // AVCLevelIndication
    w.PutByte(0xFF);  // lengthSizeMinusOne = 3: four-byte NAL lengths
    w.PutByte(0xE1);  // one sequence parameter set
    w.PutUI16(static_cast<uint16_t>(header.SpsLen));
    w.PutBytes(header.Sps, static_cast<size_t>(header.SpsLen));
    w.PutByte(0x01);  // one picture parameter set
    size_t ppsLen = header.PpsLen > 0 ? static_cast<size_t>(header.PpsLen) : 0;
    w.PutUI16(static_cast<uint16_t>(ppsLen));
    w.PutBytes(header.Pps, ppsLen);
  } else if (header.SpsLen > 0) {
    w.PutBytes(header.Sps, static_cast<size_t>(header.SpsLen));  // another codec's opaque header
  }
  return w.Overflowed() ? 0 : w.Position();
}

size_t BuildAudioSequenceHeader(const TMediaHeader& header, uint8_t* buffer, size_t capacity) {
  if (header.AudioConfigLen > static_cast<int32_t>(sizeof header.AudioConfig)) return 0;
  TByteWriter w(buffer, capacity);
  w.PutByte(AudioTagFlags(header.AudioCodecId, header.AudioSampleRate, header.AudioChannels));
  w.PutByte(0x00);  // AACPacketType 0 = sequence header
  if (header.AudioConfigLen > 0) w.PutBytes(header.AudioConfig, static_cast<size_t>(header.AudioConfigLen));
  return w.Overflowed() ? 0 : w.Position();
}

size_t PlanVideoBody(int32_t videoCodecId, const uint8_t* data, size_t length, bool passThrough,
                     std::vector<TNalUnit>& units) {
  CollectVideoPayloads(data, length, passThrough, units);
  if (units.empty()) return 0;
  size_t payload = 0;
  for (const TNalUnit& unit : units) payload += unit.length;
  // H.265 bodies have a five-byte prefix too: frame byte and FourCC (CodedFramesX), or frame byte, packet
  // type and composition time (codec id 12).
  const bool lengthPrefixed = videoCodecId == kCodecAvc || IsHevc(videoCodecId);
  return lengthPrefixed ? kAvcBodyPrefix + units.size() * kNalLengthField + payload : 1 + payload;
}

size_t BuildVideoBody(int32_t videoCodecId, const std::vector<TNalUnit>& units, bool keyFrame, uint8_t* out,
                      size_t capacity) {
  // The push hands over presentation order with one time per access unit:
  // the composition offset is 0.
  if (IsHevc(videoCodecId))
    return BuildHevcCodedFrames(HevcFormOf(videoCodecId), units, keyFrame, 0, out, capacity);
  const bool avc = videoCodecId == kCodecAvc;
  TByteWriter w(out, capacity);
  w.PutByte(VideoFrameByte(videoCodecId, keyFrame));
  if (avc) {
    w.PutByte(0x01);  // AVCPacketType 1 = NAL units
    w.PutByte(0x00);  // composition time 0
    w.PutUI16(0x0000);
  }
  for (const TNalUnit& unit : units) {
    if (avc) w.PutUI32(static_cast<uint32_t>(unit.length));  // NAL unit length
    w.PutBytes(unit.data, unit.length);
  }
  return w.Overflowed() ? 0 : w.Position();
}

size_t AudioBodySize(int32_t audioCodecId, size_t length) { return length + (audioCodecId == kSoundAac ? 2 : 1); }

size_t BuildAudioBody(const TMediaHeader& header, const uint8_t* data, size_t length, uint8_t* out,
                      size_t capacity) {
  TByteWriter w(out, capacity);
  w.PutByte(AudioTagFlags(header.AudioCodecId, header.AudioSampleRate, header.AudioChannels));
  if (header.AudioCodecId == kSoundAac) w.PutByte(0x01);  // AACPacketType 1 = raw frame
  w.PutBytes(data, length);
  return w.Overflowed() ? 0 : w.Position();
}

bool StartsWithAdtsSyncWord(const uint8_t* data, size_t length) {
  return length >= 2 && data[0] == 0xFF && (data[1] & 0xF0) == 0xF0;
}

// ---- H.265 ------------------------------------------------------------------

size_t BuildHevcSequenceStart(THevcFlvForm form, std::span<const uint8_t> record, uint8_t* out, size_t capacity) {
  if (record.empty()) return 0;
  TByteWriter w(out, capacity);
  PutHevcVideoHeader(w, form, true, kPacketSequenceStart);
  if (form == THevcFlvForm::Id12) {
    w.PutByte(0x00);  // AVC-style packet type 0 = sequence header
    PutUI24(w, 0);    // composition time 0
  }
  w.PutBytes(record.data(), record.size());
  return w.Overflowed() ? 0 : w.Position();
}

size_t BuildHevcCodedFrames(THevcFlvForm form, const std::vector<TNalUnit>& units, bool keyFrame,
                            int32_t compositionMs, uint8_t* out, size_t capacity) {
  const int32_t composition = std::clamp(compositionMs, -kMaxComposition - 1, kMaxComposition);
  const bool withComposition = form == THevcFlvForm::Id12 || composition != 0;
  TByteWriter w(out, capacity);
  PutHevcVideoHeader(w, form, keyFrame, composition != 0 ? kPacketCodedFrames : kPacketCodedFramesX);
  if (form == THevcFlvForm::Id12) w.PutByte(0x01);  // AVC-style packet type 1 = NAL units
  if (withComposition) PutUI24(w, static_cast<uint32_t>(composition) & 0xFFFFFF);
  for (const TNalUnit& unit : units) {
    w.PutUI32(static_cast<uint32_t>(unit.length));
    w.PutBytes(unit.data, unit.length);
  }
  return w.Overflowed() ? 0 : w.Position();
}

}  // namespace velmaro
