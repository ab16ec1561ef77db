// What ffprobe and ffmpeg say of a recording: the judge of what arrived.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct TProbedStream {
  std::string codecType;  // "video" or "audio"
  std::string codecName;  // "h264", "aac"
  int width = 0, height = 0;
  int sampleRate = 0, channels = 0;
};

struct TProbedPacket {
  std::string codecType;
  long long ptsMs = 0;
  long long dtsMs = 0;
  bool key = false;
  int size = 0;
};

std::vector<TProbedStream> ProbeStreams(const std::string& path);
// Packets in file order, times in milliseconds.
std::vector<TProbedPacket> ProbePackets(const std::string& path);
// The error lines `ffmpeg -v error -i path -f null -` prints while decoding
// every stream; empty when the file decodes cleanly.
std::vector<std::string> DecodeErrors(const std::string& path);
// The decoded video as runs of one picture size: each size with its number
// of frames, in decoding order.
std::vector<std::pair<std::pair<int, int>, int>> DecodedPictureSizes(const std::string& path);
// ffprobe's one-paragraph summary of the streams, for people to read.
std::string ProbeSummary(const std::string& path);

}  // namespace testsupport
