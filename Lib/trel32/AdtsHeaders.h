// AAC framing: RTSP delivers raw AAC frames and the stream's
// AudioSpecificConfig; our consumers want each frame behind an ADTS header.
#pragma once

#include "AacConfigs.h"  // kAdtsHeaderBytes

#include <cstddef>
#include <cstdint>

struct TAacConfig {
  int objectType = 0;      // audio object type of the core coder (2 = AAC LC)
  int frequencyIndex = 0;  // sampling frequency index (0-12)
  int sampleRate = 0;      // Hz of the core coder
  int channelConfig = 0;   // channel configuration (1-7; 0 = in the stream)
  int frameLength = 1024;  // samples per frame (960 with the short-frame flag)
};

constexpr size_t kAdtsHeaderSize = kAdtsHeaderBytes;
constexpr size_t kAdtsMaxFrame = (1 << 13) - 1;  // the 13-bit frame length field

// Reads an AudioSpecificConfig (ISO 14496-3 1.6.2.1). With SBR or PS (types
// 5 and 29) the core coder's type and rate are taken, as ADTS carries them.
// False when the bytes are too short or describe nothing ADTS can carry.
bool ParseAudioSpecificConfig(const uint8_t* data, size_t size, TAacConfig& config);

// Writes the 7-byte ADTS header (MPEG-4, no CRC) for a raw frame of
// `payloadSize` bytes. False when the frame does not fit the length field.
bool WriteAdtsHeader(const TAacConfig& config, size_t payloadSize, uint8_t header[kAdtsHeaderSize]);
