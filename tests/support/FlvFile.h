// Reads an FLV file (as nginx records it) into its tags, to judge exactly
// what reached the server.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct TFlvTag {
  uint8_t type = 0;         // 8 audio, 9 video, 18 script data
  uint32_t timestamp = 0;   // milliseconds, with the extended byte
  std::vector<uint8_t> body;
  bool IsVideo() const { return type == 9; }
  bool IsAudio() const { return type == 8; }
  // Sequence headers: AVCPacketType / AACPacketType 0.
  bool IsSequenceHeader() const { return (IsVideo() || IsAudio()) && body.size() >= 2 && body[1] == 0; }
};

struct TFlvFile {
  bool hasAudioFlag = false;
  bool hasVideoFlag = false;
  std::vector<TFlvTag> tags;
  bool truncated = false;  // the file ends inside a tag
};

// Throws std::runtime_error when the file is missing or has no FLV header.
TFlvFile ReadFlvFile(const std::string& path);

// Splits the body of an AVC NAL-unit video tag into its NAL units, reading
// the 4-byte length before each. Returns false when the lengths do not add up.
bool SplitAvcc(const std::vector<uint8_t>& tagBody, std::vector<std::vector<uint8_t>>& nalUnits, size_t offset = 5);

// H.265 video tags, enhanced ('hvc1') or codec id 12, as one Annex B stream
// for `ffmpeg -f hevc` (FFmpeg 5.1 reads neither form from FLV): the
// parameter sets of each sequence header, then each frame's NAL units.
// Throws on a tag that does not add up.
struct THevcStream {
  std::vector<uint8_t> annexB;
  int sequenceHeaders = 0;  // those that differ from the one before (a repeat is not counted)
  int frames = 0;
  std::string forms;  // "enhanced", "id12" or both, as the tags came
};
THevcStream HevcAnnexB(const TFlvFile& file);

}  // namespace testsupport
