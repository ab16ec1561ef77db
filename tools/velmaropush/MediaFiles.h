// Reading the tool's input files: an Annex B H.264 elementary stream split
// into access units, and an ADTS AAC stream split into raw frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using TBytes = std::vector<uint8_t>;

struct TVideoFile {
  std::vector<TBytes> accessUnits;  // Annex B, 4-byte start codes
  std::vector<bool> keyFrames;
  TBytes sps, pps;                  // the first of each, without start code
  int width = 0, height = 0;        // from the sequence parameter set
};

struct TAudioFile {
  std::vector<TBytes> frames;  // raw AAC, ADTS header removed
  TBytes audioSpecificConfig;
  int sampleRate = 0;
  int channels = 0;
};

// Both throw std::runtime_error with a message for the operator.
TVideoFile ReadH264File(const std::string& path);
TAudioFile ReadAdtsFile(const std::string& path);

// Picture size from an SPS NAL unit (without start code); false if unreadable.
bool SpsPictureSize(const TBytes& sps, int& width, int& height);
