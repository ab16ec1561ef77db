#include "RecordingChecks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "MediaProbe.h"
#include "Processes.h"

namespace testsupport {

void ExpectCleanRecording(const std::string& path, bool withAudio, long long minVideoMs) {
  bool video = false, audio = false;
  for (const TProbedStream& s : ProbeStreams(path)) {
    video |= s.codecType == "video" && s.codecName == "h264";
    audio |= s.codecType == "audio" && s.codecName == "aac";
  }
  EXPECT_TRUE(video) << ProbeSummary(path);
  EXPECT_EQ(audio, withAudio) << ProbeSummary(path);
  EXPECT_EQ(DecodeErrors(path), std::vector<std::string>{});

  std::vector<TProbedPacket> packets = ProbePackets(path);
  ASSERT_GT(packets.size(), 20u);
  long long lastVideo = -1, lastAudio = -1, lastAny = -1;
  for (const TProbedPacket& p : packets) {
    if (p.codecType == "video") {
      if (lastVideo < 0) {
        EXPECT_TRUE(p.key) << "the first video packet is a key frame";
        EXPECT_EQ(p.dtsMs, 0) << "times start at the first key frame";
      }
      EXPECT_GE(p.dtsMs, lastVideo);
      lastVideo = p.dtsMs;
    } else {
      if (lastAudio < 0) {
        EXPECT_LT(p.dtsMs, 200) << "audio starts with the video";
      }
      EXPECT_GE(p.dtsMs, lastAudio);
      lastAudio = p.dtsMs;
    }
    EXPECT_GE(p.dtsMs, lastAny) << "interleaved in time order";
    lastAny = p.dtsMs;
  }
  EXPECT_GE(lastVideo, minVideoMs) << "too little video arrived";
}

std::pair<int, int> AudioFormat(const std::string& path) {
  for (const TProbedStream& s : ProbeStreams(path))
    if (s.codecType == "audio") return {s.channels, s.sampleRate};
  return {0, 0};
}

std::vector<double> ChannelLoudness(const std::string& path) {
  int channels = AudioFormat(path).first;
  if (channels <= 0) return {};
  TTempDir dir;
  std::string pcm = dir.File("audio.pcm");
  TCommandResult r = RunCommand({"ffmpeg", "-v", "error", "-i", path, "-vn", "-f", "s16le", "-acodec", "pcm_s16le", pcm});
  EXPECT_EQ(r.exitCode, 0) << r.errors;
  std::string bytes = ReadWholeFile(pcm);
  auto n = static_cast<size_t>(channels);
  std::vector<double> sums(n, 0.0);
  size_t frames = bytes.size() / (2 * n);
  for (size_t i = 0; i < frames * n; ++i) {
    auto sample = static_cast<int16_t>(static_cast<uint8_t>(bytes[2 * i]) | static_cast<uint8_t>(bytes[2 * i + 1]) << 8);
    sums[i % n] += double(sample) * sample;
  }
  for (double& s : sums) s = frames > 0 ? std::sqrt(s / double(frames)) : 0;
  return sums;
}

long long LastVideoMs(const std::string& path) {
  long long last = -1;
  for (const TProbedPacket& p : ProbePackets(path))
    if (p.codecType == "video") last = p.dtsMs;
  return last;
}

}  // namespace testsupport
