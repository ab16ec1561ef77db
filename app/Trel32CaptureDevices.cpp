#include "Trel32CaptureDevices.h"

#include <algorithm>

#include "DeviceLogons.h"

namespace {
std::vector<uint8_t> ParameterSet(const uint8_t* bytes, int32_t length, size_t capacity) {
  size_t used = std::min(static_cast<size_t>(std::max(length, 0)), capacity);
  return std::vector<uint8_t>(bytes, bytes + used);
}
}  // namespace

TCaptureInfo TTrel32CaptureDevice::Info() const {
  TCaptureInfo info;
  info.VideoWidth = FCapturer.MediaInfo.VideoWidth;
  info.VideoHeight = FCapturer.MediaInfo.VideoHeight;
  info.VideoFrameRate = FCapturer.MediaInfo.VideoFrameRate;
  info.AudioSampleRate = FCapturer.MediaInfo.AudioSampleRate;
  info.AudioChannels = FCapturer.MediaInfo.AudioChannels;
  info.Vps = ParameterSet(FCapturer.Vps, FCapturer.VpsLen, sizeof FCapturer.Vps);
  info.Sps = ParameterSet(FCapturer.Sps, FCapturer.SpsLen, sizeof FCapturer.Sps);
  info.Pps = ParameterSet(FCapturer.Pps, FCapturer.PpsLen, sizeof FCapturer.Pps);
  info.AudioConfig = ParameterSet(FCapturer.AudioConfig, FCapturer.AudioConfigLen, sizeof FCapturer.AudioConfig);
  info.VideoCodec = FCapturer.VideoCodecName;
  if (FCapturer.MediaInfo.AudioCodec == TREL32_AUDIO_UNSUPPORTED) info.UnsupportedAudioCodec = FCapturer.AudioCodecName;
  return info;
}

void TTrel32CaptureDevice::CancelConnects() {
  CancelLogons();
  trel32CancelOpen();
}
