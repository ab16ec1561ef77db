// What an H.264 sequence parameter set says of the picture: its size after
// cropping and, when the encoder wrote timing information, its frame rate.
// Hand-written because FFmpeg keeps its reader private and the program,
// which must read the size of a new set mid-stream, does not link FFmpeg.
#pragma once

#include <cstddef>
#include <cstdint>

struct TSequenceInfo {
  int32_t Width = 0;      // pixels, after cropping
  int32_t Height = 0;
  int32_t FrameRate = 0;  // frames per second, rounded; 0 when the set has no timing
};

// Reads the NAL unit of an SPS (starting with its header byte 0x67, no start
// code). False when it is not an SPS or is cut short or out of range.
bool ReadSequenceParameterSet(const uint8_t* nal, size_t length, TSequenceInfo& info);
