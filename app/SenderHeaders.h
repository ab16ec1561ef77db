// The stream header record TMediaHeader, as the sender library's C header
// lays it out. Kept here as a copy until the library's header is part of the
// tree; from then on this file only includes it.
#pragma once

#include <cstdint>

#if __has_include("velmaro.h")
#include "velmaro.h"
#else
extern "C" {
typedef struct TMediaHeader {
  int32_t VideoCodecId;   // 7 = AVC
  int32_t Width;
  int32_t Height;
  double FrameRate;
  int32_t VideoDataRate;  // bit/s
  int32_t SpsLen;
  uint8_t Sps[1024];      // SPS NAL unit without start code
  int32_t PpsLen;
  uint8_t Pps[1024];      // PPS NAL unit without start code
  uint8_t HasAudio;
  int32_t AudioCodecId;   // 0xA0 = AAC
  int32_t AudioDataRate;  // bit/s
  int32_t AudioSampleRate;
  int32_t AudioSampleSize;
  int32_t AudioChannels;
  int32_t AudioConfigLen;
  uint8_t AudioConfig[1024];  // AAC AudioSpecificConfig
} TMediaHeader;
}
#endif
