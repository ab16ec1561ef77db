#include "StreamHeaders.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "AacConfigs.h"
#include "HevcParameterSets.h"
#include "h264utils.h"

namespace {

// Copies a parameter set into a header field without its four-byte start
// code, if it has one. A three-byte start code stays in place.
int32_t CopyParameterSet(const std::vector<uint8_t>& from, uint8_t* to, size_t capacity) {
  static constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
  size_t skip = from.size() >= 4 && std::memcmp(from.data(), kStartCode, 4) == 0 ? 4 : 0;
  size_t length = std::min(from.size() - skip, capacity);
  if (length > 0) std::memcpy(to, from.data() + skip, length);
  return static_cast<int32_t>(length);
}

std::span<const uint8_t> WithoutStartCode(const std::vector<uint8_t>& set) {
  std::span<const uint8_t> bytes(set);
  const int skip = StartCodeLength(bytes.data(), bytes.size());
  return bytes.subspan(static_cast<size_t>(skip));
}

void TakeHevcParameterSets(const TCaptureInfo& info, TMediaHeader& header) {
  const std::span<const uint8_t> sps = WithoutStartCode(info.Sps);
  const size_t size = BuildHevcDecoderConfigurationRecord(WithoutStartCode(info.Vps), sps, WithoutStartCode(info.Pps),
                                                          header.Sps, sizeof header.Sps);
  header.SpsLen = static_cast<int32_t>(size);
  THevcSequenceInfo picture;
  if (size > 0 && (header.Width <= 0 || header.Height <= 0) && ReadHevcSequenceParameterSet(sps, picture)) {
    header.Width = picture.Width;
    header.Height = picture.Height;
  }
}

}  // namespace

bool IsCarriedVideoCodec(const std::string& codec) { return codec.empty() || codec == "h264" || codec == "hevc"; }

bool IsHevcHeader(const TMediaHeader& header) {
  return header.VideoCodecId == VELMARO_VIDEO_HEVC || header.VideoCodecId == VELMARO_VIDEO_HEVC_ID12;
}

TMediaHeader StreamHeader(const TCaptureInfo& info, THevcFlv hevcForm) {
  TMediaHeader header{};
  const bool hevc = info.VideoCodec == "hevc";
  header.VideoCodecId = !hevc                           ? VELMARO_VIDEO_AVC
                        : hevcForm == THevcFlv::Id12 ? VELMARO_VIDEO_HEVC_ID12
                                                     : VELMARO_VIDEO_HEVC;
  header.Width = info.VideoWidth;
  header.Height = info.VideoHeight;
  header.FrameRate = static_cast<double>(info.VideoFrameRate);
  header.VideoDataRate = 10000000;
  // Audio is announced only when the device describes an audio stream: with
  // audio announced and none coming, the sender would hold every video
  // message waiting for it.
  header.HasAudio = info.AudioSampleRate > 0;
  header.AudioCodecId = 0xA0;  // AAC
  header.AudioDataRate = 128000;
  header.AudioSampleRate = info.AudioSampleRate;
  header.AudioSampleSize = 16;
  header.AudioChannels = info.AudioChannels;
  header.AudioConfigLen = sizeof header.AudioConfig;
  ChooseAacConfig(info.AudioSampleRate, AacChannelConfig(info.AudioChannels), info.AudioConfig.data(),
                  static_cast<int32_t>(info.AudioConfig.size()), header.AudioConfig, header.AudioConfigLen);
  if (hevc) {
    TakeHevcParameterSets(info, header);
    return header;
  }
  header.SpsLen = CopyParameterSet(info.Sps, header.Sps, sizeof header.Sps);
  header.PpsLen = CopyParameterSet(info.Pps, header.Pps, sizeof header.Pps);
  return header;
}
