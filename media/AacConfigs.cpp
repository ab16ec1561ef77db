#include "AacConfigs.h"

#include <cstring>

namespace {

constexpr uint8_t kObjectTypeAacLc = 2;

// The standard sampling-frequency index of each supported rate.
int SamplingFrequencyIndex(int32_t sampleRate) {
  switch (sampleRate) {
    case 48000: return 3;
    case 44100: return 4;
    case 32000: return 5;
    case 24000: return 6;
    case 22050: return 7;
    case 16000: return 8;
    case 12000: return 9;
    case 11025: return 10;
    case 8000: return 11;
    default: return -1;
  }
}

// Appends bit fields, most significant bit first.
class TBitWriter {
 public:
  explicit TBitWriter(uint8_t (&out)[8]) : FOut(out) { std::memset(FOut, 0, sizeof FOut); }
  void Put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i, ++FBits)
      if (value >> i & 1) FOut[FBits / 8] = static_cast<uint8_t>(FOut[FBits / 8] | 0x80 >> (FBits % 8));
  }
  int32_t Bytes() const { return (FBits + 7) / 8; }

 private:
  uint8_t (&FOut)[8];
  int FBits = 0;
};

// individual_channel_stream() of a long window with no scale-factor bands:
// no spectral data at all, so the channel decodes to silence.
void PutSilentChannelStream(TBitWriter& bits) {
  bits.Put(0, 8);  // global_gain (unused without spectral data)
  bits.Put(0, 1);  // ics_info: ics_reserved_bit
  bits.Put(0, 2);  //   window_sequence ONLY_LONG_SEQUENCE
  bits.Put(0, 1);  //   window_shape
  bits.Put(0, 6);  //   max_sfb 0: no section, scale-factor or spectral data
  bits.Put(0, 1);  //   predictor_data_present
  bits.Put(0, 1);  // pulse_data_present
  bits.Put(0, 1);  // tns_data_present
  bits.Put(0, 1);  // gain_control_data_present
}

// True when the device's AudioSpecificConfig says something the computed
// AAC-LC one would not: any object type but AAC-LC, an explicit rate or one
// outside the nine, another channel configuration, the 960-sample frame.
// Too short to read: false, the computed one serves.
bool ComputedConfigMisdescribes(const uint8_t* config, int32_t length, int32_t sampleRate, uint8_t channelConfig) {
  if (config == nullptr || length < 2) return false;
  auto bit = [&](int position) { return (config[position / 8] >> (7 - position % 8)) & 1; };
  auto field = [&](int position, int bits) {
    int value = 0;
    for (int i = 0; i < bits; ++i) value = value << 1 | bit(position + i);
    return value;
  };
  int objectType = field(0, 5);
  int frequencyIndex = field(5, 4);
  int channels = field(9, 4);
  bool shortFrame = field(13, 1) != 0;  // GASpecificConfig's frameLengthFlag
  return objectType != kObjectTypeAacLc || frequencyIndex != SamplingFrequencyIndex(sampleRate) ||
         channels != channelConfig || shortFrame;
}

}  // namespace

bool ChooseAacConfig(int32_t sampleRate, uint8_t channelConfig, const uint8_t* deviceConfig,
                     int32_t deviceLength, uint8_t* bytes, int32_t& length) {
  if (!ComputedConfigMisdescribes(deviceConfig, deviceLength, sampleRate, channelConfig))
    return BuildAacConfig(sampleRate, channelConfig, bytes, length);
  if (bytes == nullptr || deviceLength > length) {
    length = 0;
    return false;
  }
  std::memcpy(bytes, deviceConfig, static_cast<size_t>(deviceLength));
  length = deviceLength;
  return true;
}

bool BuildAacConfig(int32_t sampleRate, uint8_t channelConfig, uint8_t* bytes, int32_t& length) {
  int index = SamplingFrequencyIndex(sampleRate);
  if (index < 0 || bytes == nullptr || length < 2) {
    length = 0;
    return false;
  }
  // 5 bits object type, 4 bits frequency index, 4 bits channel configuration,
  // 3 bits GASpecificConfig flags (all 0).
  bytes[0] = static_cast<uint8_t>(kObjectTypeAacLc << 3 | index >> 1);
  bytes[1] = static_cast<uint8_t>((index & 1) << 7 | (channelConfig & 0x0F) << 3);
  length = 2;
  return true;
}

uint8_t AacChannelConfig(int32_t deviceChannels) {
  return deviceChannels == 1 ? 1 : 2;
}

int32_t BuildSilentAacFrame(uint8_t channelConfig, uint8_t (&frame)[8]) {
  TBitWriter bits(frame);
  if (channelConfig == 1) {
    bits.Put(0, 3);  // ID_SCE
    bits.Put(0, 4);  // element_instance_tag
    PutSilentChannelStream(bits);
  } else {
    bits.Put(1, 3);  // ID_CPE
    bits.Put(0, 4);  // element_instance_tag
    bits.Put(0, 1);  // common_window 0: each channel carries its own ics_info
    PutSilentChannelStream(bits);
    PutSilentChannelStream(bits);
  }
  bits.Put(7, 3);  // ID_END; the rest of the byte is padding
  return bits.Bytes();
}
