#include "AdtsHeaders.h"

namespace {

constexpr int kSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};

// Reads big-endian bit fields; reading past the end yields zeros and marks it.
class TBitReader {
 public:
  TBitReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  unsigned Read(int bits) {
    unsigned value = 0;
    for (int i = 0; i < bits; ++i, ++position_) {
      size_t byte = position_ / 8;
      if (byte >= size_) {
        overrun_ = true;
        value <<= 1;
        continue;
      }
      value = (value << 1) | ((data_[byte] >> (7 - position_ % 8)) & 1u);
    }
    return value;
  }
  bool Overrun() const { return overrun_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
  bool overrun_ = false;
};

int ReadObjectType(TBitReader& bits) {
  int type = static_cast<int>(bits.Read(5));
  return type == 31 ? 32 + static_cast<int>(bits.Read(6)) : type;
}

// The sampling frequency index; an explicit 24-bit rate maps to the index of
// the same rate, or -1.
int ReadFrequencyIndex(TBitReader& bits) {
  int index = static_cast<int>(bits.Read(4));
  if (index != 15) return index;
  int rate = static_cast<int>(bits.Read(24));
  for (int i = 0; i < 13; ++i)
    if (kSampleRates[i] == rate) return i;
  return -1;
}

}  // namespace

bool ParseAudioSpecificConfig(const uint8_t* data, size_t size, TAacConfig& config) {
  TBitReader bits(data, size);
  TAacConfig result;
  result.objectType = ReadObjectType(bits);
  result.frequencyIndex = ReadFrequencyIndex(bits);
  result.channelConfig = static_cast<int>(bits.Read(4));
  if (result.objectType == 5 || result.objectType == 29) {
    ReadFrequencyIndex(bits);  // the SBR rate; ADTS carries the core's
    result.objectType = ReadObjectType(bits);
  }
  // GASpecificConfig's frameLengthFlag, for the types that have one.
  if (result.objectType >= 1 && result.objectType <= 4) result.frameLength = bits.Read(1) != 0 ? 960 : 1024;
  if (bits.Overrun() || result.objectType < 1 || result.objectType > 4 || result.frequencyIndex < 0 ||
      result.frequencyIndex > 12 || result.channelConfig > 7)
    return false;
  result.sampleRate = kSampleRates[result.frequencyIndex];
  config = result;
  return true;
}

bool WriteAdtsHeader(const TAacConfig& config, size_t payloadSize, uint8_t header[kAdtsHeaderSize]) {
  size_t frameLength = payloadSize + kAdtsHeaderSize;
  if (frameLength > kAdtsMaxFrame) return false;
  auto profile = static_cast<unsigned>(config.objectType - 1);
  auto frequency = static_cast<unsigned>(config.frequencyIndex);
  auto channels = static_cast<unsigned>(config.channelConfig);
  auto length = static_cast<unsigned>(frameLength);
  header[0] = 0xFF;  // syncword 0xFFF
  header[1] = 0xF1;  // syncword, MPEG-4, layer 0, no CRC
  header[2] = static_cast<uint8_t>((profile << 6) | (frequency << 2) | (channels >> 2));
  header[3] = static_cast<uint8_t>(((channels & 3) << 6) | (length >> 11));  // channels, frame length
  header[4] = static_cast<uint8_t>((length >> 3) & 0xFF);                    // frame length
  header[5] = static_cast<uint8_t>(((length & 7) << 5) | 0x1F);              // frame length, fullness 0x7FF
  header[6] = 0xFC;  // fullness, one raw data block
  return true;
}
