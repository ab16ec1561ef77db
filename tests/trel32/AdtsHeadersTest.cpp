// ADTS headers built from an AudioSpecificConfig equal the ones ffmpeg writes.
#include <gtest/gtest.h>

#include "AdtsHeaders.h"
#include "TestMedia.h"

using testsupport::TBytes;

TEST(AdtsHeaders, ConfigurationsTable) {
  struct TCase {
    TBytes config;
    bool valid;
    int objectType, sampleRate, channels, frameLength;
  };
  const std::vector<TCase> cases = {
      {{0x11, 0x90}, true, 2, 48000, 2, 1024},        // AAC LC 48 kHz stereo
      {{0x12, 0x08}, true, 2, 44100, 1, 1024},        // AAC LC 44.1 kHz mono
      {{0x11, 0x94}, true, 2, 48000, 2, 960},         // 960-sample frames
      {{0x2B, 0x11, 0x88, 0x00}, true, 2, 24000, 2, 1024},  // HE-AAC: the core is carried
      {{0x11}, false, 0, 0, 0, 0},                    // too short
      {{0x39, 0x90}, false, 0, 0, 0, 0},              // object type 7: not for ADTS
      {{0x17, 0x90}, false, 0, 0, 0, 0},              // frequency index 14 is reserved
  };
  for (const TCase& c : cases) {
    TAacConfig config;
    ASSERT_EQ(ParseAudioSpecificConfig(c.config.data(), c.config.size(), config), c.valid) << int(c.config[0]);
    if (!c.valid) continue;
    EXPECT_EQ(config.objectType, c.objectType);
    EXPECT_EQ(config.sampleRate, c.sampleRate);
    EXPECT_EQ(config.channelConfig, c.channels);
    EXPECT_EQ(config.frameLength, c.frameLength);
  }
}

TEST(AdtsHeaders, MatchFfmpegsHeadersForEveryFrame) {
  for (auto [rate, channels] : {std::pair{48000, 2}, std::pair{44100, 1}, std::pair{16000, 1}}) {
    testsupport::TMediaOptions options;
    options.seconds = 1;
    options.audioRate = rate;
    options.audioChannels = channels;
    const auto& media = testsupport::MakeTestMedia(options);
    TAacConfig config;
    ASSERT_TRUE(ParseAudioSpecificConfig(media.audioSpecificConfig.data(), media.audioSpecificConfig.size(), config));
    ASSERT_FALSE(media.audio.empty());
    for (const auto& frame : media.audio) {
      uint8_t header[kAdtsHeaderSize];
      ASSERT_TRUE(WriteAdtsHeader(config, frame.adts.size() - kAdtsHeaderSize, header));
      EXPECT_EQ(TBytes(header, header + kAdtsHeaderSize), TBytes(frame.adts.begin(), frame.adts.begin() + 7));
    }
  }
}

TEST(AdtsHeaders, FrameTooLongForTheLengthFieldIsRefused) {
  TAacConfig config;
  const uint8_t lc[] = {0x11, 0x90};
  ASSERT_TRUE(ParseAudioSpecificConfig(lc, sizeof lc, config));
  uint8_t header[kAdtsHeaderSize];
  EXPECT_TRUE(WriteAdtsHeader(config, kAdtsMaxFrame - kAdtsHeaderSize, header));
  EXPECT_FALSE(WriteAdtsHeader(config, kAdtsMaxFrame - kAdtsHeaderSize + 1, header));
}
