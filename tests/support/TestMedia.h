// Test media made at test time with ffmpeg (never downloaded): H.264 without
// B-frames as Annex B access units, and AAC-LC as ADTS frames.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using TBytes = std::vector<uint8_t>;

struct TMediaOptions {
  int width = 320;
  int height = 240;
  int frameRate = 25;
  int keyInterval = 25;  // frames between key frames
  int seconds = 12;
  int audioRate = 48000;
  int audioChannels = 2;
  int slicesPerFrame = 1;
};

struct TAccessUnit {
  TBytes data;       // Annex B, starting with a start code
  bool key = false;  // holds an IDR slice
  int64_t timeMs = 0;
};

struct TAudioFrame {
  TBytes adts;    // the frame with its 7-byte ADTS header (no CRC)
  int64_t timeMs = 0;
  TBytes Raw() const { return TBytes(adts.begin() + 7, adts.end()); }
};

struct TTestMedia {
  TMediaOptions options;
  std::vector<TAccessUnit> video;
  std::vector<TAudioFrame> audio;
  TBytes sps;  // NAL units without start code
  TBytes pps;
  TBytes audioSpecificConfig;  // two bytes, from the ADTS header
};

// Generates (and caches per option set within the process) the media.
// Throws std::runtime_error when ffmpeg fails.
const TTestMedia& MakeTestMedia(const TMediaOptions& options = {});

// Splits an Annex B stream into NAL units (each with its start code).
std::vector<TBytes> SplitNalUnits(const TBytes& annexB);
// Groups NAL units into access units: a new unit starts at an access unit
// delimiter, a parameter set or a slice whose first_mb_in_slice is 0.
std::vector<TBytes> SplitAccessUnits(const TBytes& annexB);
// Splits an ADTS stream into frames; stops at the first malformed header.
std::vector<TBytes> SplitAdtsFrames(const TBytes& adts);
// The AudioSpecificConfig (object type, rate index, channels) of an ADTS header.
TBytes AudioSpecificConfigOfAdts(const TBytes& frame);
int NalType(const TBytes& nalWithStartCode);

}  // namespace testsupport
