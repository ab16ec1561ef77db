// The header record comes from the library's caller as it is: any field may
// hold any value. The builders must never write past their buffer, must
// refuse what does not fit, and what they build must read back as the record.
// A Speex stream other than 16 kHz mono raises an assertion error on purpose.
//
// Input: a TMediaHeader record as a caller hands it over (bytes past the
// input's end are zero).
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "Assertions.h"
#include "VelmaroImp.h"

namespace {

using namespace velmaro;

void Require(bool condition) {
  if (!condition) std::abort();
}

// Reads AMF0 back from a metadata body; any read past the body fails.
class TAmfReader {
 public:
  TAmfReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() {
    Require(position_ < size_);
    return data_[position_++];
  }
  std::string Text() {
    size_t length = static_cast<size_t>(Byte()) << 8;
    length |= Byte();
    Require(length <= size_ - position_);
    std::string text(reinterpret_cast<const char*>(data_ + position_), length);
    position_ += length;
    return text;
  }
  uint64_t NumberBits() {
    Require(Byte() == 0x00);
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = bits << 8 | Byte();
    return bits;
  }
  bool AtEnd() const { return position_ == size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

uint64_t Bits(double value) { return std::bit_cast<uint64_t>(value); }

void ExpectNumber(TAmfReader& amf, std::string_view key, double value) {
  Require(amf.Text() == key);
  Require(amf.NumberBits() == Bits(value));
}

void CheckMetadata(const TMediaHeader& h) {
  uint8_t buffer[kHeaderBufferSize];
  Require(BuildMetadata(nullptr, buffer, sizeof buffer) == 0);
  size_t length = BuildMetadata(&h, buffer, sizeof buffer);
  Require(length > 0);  // every field has a fixed size: it always fits
  TAmfReader amf(buffer, length);
  Require(amf.Byte() == 0x02 && amf.Text() == "@setDataFrame");
  Require(amf.Byte() == 0x02 && amf.Text() == "onMetaData");
  Require(amf.Byte() == 0x03 && amf.Text() == "copyright" && amf.Byte() == 0x02 && amf.Text().empty());
  ExpectNumber(amf, "width", h.Width);
  ExpectNumber(amf, "height", h.Height);
  ExpectNumber(amf, "videodatarate", h.VideoDataRate / 1000.0);
  ExpectNumber(amf, "framerate", h.FrameRate);
  ExpectNumber(amf, "videocodecid", h.VideoCodecId);
  if (h.HasAudio) {
    ExpectNumber(amf, "audiodatarate", h.AudioDataRate / 1000.0);
    ExpectNumber(amf, "audiosamplerate", h.AudioSampleRate);
    ExpectNumber(amf, "audiosamplesize", h.AudioSampleSize);
    Require(amf.Text() == "stereo" && amf.Byte() == 0x01 && amf.Byte() == (h.AudioChannels >= 2 ? 1 : 0));
    ExpectNumber(amf, "audiocodecid", static_cast<uint32_t>(h.AudioCodecId) >> 4);
  }
  Require(amf.Text().empty() && amf.Byte() == 0x09 && amf.AtEnd());
}

// The AVCDecoderConfigurationRecord (or another codec's opaque header) must
// hold the record's parameter sets byte for byte; a header over the buffer
// is refused whole.
// H.265: the record in Sps behind the form's five bytes, Pps not looked at;
// no record, no header.
void CheckHevcSequenceStart(const TMediaHeader& h, const uint8_t* buffer, size_t length) {
  const size_t sps = h.SpsLen > 0 ? static_cast<size_t>(h.SpsLen) : 0;
  if (sps == 0 || sps > sizeof h.Sps || 5 + sps > kHeaderBufferSize) {
    Require(length == 0);
    return;
  }
  Require(length == 5 + sps);
  const uint8_t enhanced[] = {0x90, 'h', 'v', 'c', '1'}, id12[] = {0x1C, 0, 0, 0, 0};
  Require(std::memcmp(buffer, h.VideoCodecId == kCodecHevcId12 ? id12 : enhanced, 5) == 0);
  Require(std::memcmp(buffer + 5, h.Sps, sps) == 0);
}

void CheckVideoSequenceHeader(const TMediaHeader& h) {
  uint8_t buffer[kHeaderBufferSize];
  size_t length = BuildVideoSequenceHeader(h, buffer, sizeof buffer);
  if (h.VideoCodecId == kCodecHevcId12 || h.VideoCodecId == kCodecHevcFourCc) {
    CheckHevcSequenceStart(h, buffer, length);
    return;
  }
  if (h.SpsLen > static_cast<int32_t>(sizeof h.Sps) || h.PpsLen > static_cast<int32_t>(sizeof h.Pps)) {
    Require(length == 0);
    return;
  }
  const size_t sps = h.SpsLen > 0 ? static_cast<size_t>(h.SpsLen) : 0;
  const size_t pps = h.PpsLen > 0 ? static_cast<size_t>(h.PpsLen) : 0;
  const bool avcRecord = sps > 0 && h.VideoCodecId == kCodecAvc;
  const size_t expected = 5 + (avcRecord ? 6 + 2 + sps + 1 + 2 + pps : sps);
  if (expected > sizeof buffer) {
    Require(length == 0);
    return;
  }
  Require(length == expected);
  Require(buffer[0] == static_cast<uint8_t>(h.VideoCodecId | 0x10) && buffer[1] == 0);
  if (!avcRecord) {
    Require(std::memcmp(buffer + 5, h.Sps, sps) == 0);
    return;
  }
  Require(buffer[5] == 1 && buffer[9] == 0xFF && buffer[10] == 0xE1);
  Require((buffer[11] << 8 | buffer[12]) == h.SpsLen && std::memcmp(buffer + 13, h.Sps, sps) == 0);
  const uint8_t* p = buffer + 13 + sps;
  Require(p[0] == 1 && static_cast<size_t>(p[1] << 8 | p[2]) == pps && std::memcmp(p + 3, h.Pps, pps) == 0);
}

bool IsRefusedSpeex(const TMediaHeader& h) {
  return h.AudioCodecId == kSoundSpeex && (h.AudioSampleRate != 16000 || h.AudioChannels != 1);
}

void CheckAudioSequenceHeader(const TMediaHeader& h) {
  uint8_t buffer[kHeaderBufferSize];
  size_t length = 0;
  try {
    length = BuildAudioSequenceHeader(h, buffer, sizeof buffer);
  } catch (const EAssertionFailed&) {
    Require(IsRefusedSpeex(h));
    return;
  }
  const size_t config = h.AudioConfigLen > 0 ? static_cast<size_t>(h.AudioConfigLen) : 0;
  const bool fits = h.AudioConfigLen <= static_cast<int32_t>(sizeof h.AudioConfig) && 2 + config <= sizeof buffer;
  if (!fits) {
    Require(length == 0);
    return;
  }
  Require(!IsRefusedSpeex(h) && length == 2 + config);
  Require(buffer[0] == AudioTagFlags(h.AudioCodecId, h.AudioSampleRate, h.AudioChannels) && buffer[1] == 0);
  Require(std::memcmp(buffer + 2, h.AudioConfig, config) == 0);
}

// An audio body of the stream the record describes, its frame taken from
// the record's configuration bytes: exactly AudioBodySize bytes, frame last.
void CheckAudioBody(const TMediaHeader& h) {
  const size_t frame = h.AudioConfigLen > 0 && h.AudioConfigLen <= static_cast<int32_t>(sizeof h.AudioConfig)
                           ? static_cast<size_t>(h.AudioConfigLen)
                           : 0;
  const size_t size = AudioBodySize(h.AudioCodecId, frame);
  std::unique_ptr<uint8_t[]> body(new uint8_t[size]);  // exactly sized: a byte more is an overflow
  try {
    Require(BuildAudioBody(h, h.AudioConfig, frame, body.get(), size) == size);
  } catch (const EAssertionFailed&) {
    Require(IsRefusedSpeex(h));
    return;
  }
  Require(std::memcmp(body.get() + size - frame, h.AudioConfig, frame) == 0);
}

// Without a connection the header messages are built and then not sent.
void CheckUnsentMessages(const TMediaHeader& h) {
  Require(SendMetadata(nullptr, &h) == 0);
  Require(SendAVCSequenceHeaderVideo(nullptr, h) == 0);
  try {
    Require(SendAVCSequenceHeaderAudio(nullptr, h) == 0);
  } catch (const EAssertionFailed&) {
    Require(IsRefusedSpeex(h));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TMediaHeader header{};
  std::memcpy(&header, data, size < sizeof header ? size : sizeof header);
  CheckMetadata(header);
  CheckVideoSequenceHeader(header);
  CheckAudioSequenceHeader(header);
  CheckAudioBody(header);
  CheckUnsentMessages(header);
  return 0;
}
