// FLV message bodies, byte for byte: metadata, sequence headers, video bodies
// (one message per access unit), audio bodies and their first byte.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <string>
#include <vector>

#include "Assertions.h"
#include "VelmaroImp.h"

namespace {

using namespace velmaro;
using TBytes = std::vector<uint8_t>;

TBytes Cat(std::initializer_list<TBytes> parts) {
  TBytes all;
  for (const TBytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}
TBytes Key(const std::string& k) {
  TBytes b(2 + k.size());
  b[0] = static_cast<uint8_t>(k.size() >> 8);
  b[1] = static_cast<uint8_t>(k.size());
  std::copy(k.begin(), k.end(), b.begin() + 2);
  return b;
}
TBytes Num(double v) {
  uint64_t bits = std::bit_cast<uint64_t>(v);
  TBytes b = {0x00};
  for (int s = 56; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(bits >> s));
  return b;
}

TMediaHeader AvcHeader(bool hasAudio) {
  TMediaHeader h{};
  h.VideoCodecId = 7;
  h.Width = 1920;
  h.Height = 1080;
  h.FrameRate = 25.0;
  h.VideoDataRate = 10000000;
  const uint8_t sps[] = {0x67, 0x42, 0xC0, 0x1E, 0xAA};
  const uint8_t pps[] = {0x68, 0xCE, 0x3C, 0x80};
  h.SpsLen = sizeof sps;
  std::memcpy(h.Sps, sps, sizeof sps);
  h.PpsLen = sizeof pps;
  std::memcpy(h.Pps, pps, sizeof pps);
  h.HasAudio = hasAudio;
  h.AudioCodecId = 0xA0;
  h.AudioDataRate = 128000;
  h.AudioSampleRate = 44100;
  h.AudioSampleSize = 16;
  h.AudioChannels = 2;
  h.AudioConfigLen = 2;
  h.AudioConfig[0] = 0x12;
  h.AudioConfig[1] = 0x10;
  return h;
}

TBytes Built(size_t (*build)(const TMediaHeader&, uint8_t*, size_t), const TMediaHeader& h) {
  TBytes buffer(kHeaderBufferSize);
  buffer.resize(build(h, buffer.data(), buffer.size()));
  return buffer;
}

TBytes Metadata(const TMediaHeader& h) {
  TBytes buffer(kHeaderBufferSize);
  buffer.resize(BuildMetadata(&h, buffer.data(), buffer.size()));
  return buffer;
}

TEST(MetadataBody, MatchesTheOnMetaDataLayoutWithAndWithoutAudio) {
  TMediaHeader h = AvcHeader(false);
  const TBytes video = Cat({{0x02}, Key("@setDataFrame"), {0x02}, Key("onMetaData"), {0x03},
                            Key("copyright"), {0x02, 0x00, 0x00}, Key("width"), Num(1920), Key("height"), Num(1080),
                            Key("videodatarate"), Num(10000.0), Key("framerate"), Num(25.0),
                            Key("videocodecid"), Num(7)});
  const TBytes end = {0x00, 0x00, 0x09};
  EXPECT_EQ(Metadata(h), Cat({video, end}));
  EXPECT_EQ(Metadata(h).size(), 147u);

  h.HasAudio = 1;
  const TBytes audio = Cat({Key("audiodatarate"), Num(128.0), Key("audiosamplerate"), Num(44100),
                            Key("audiosamplesize"), Num(16), Key("stereo"), {0x01, 0x01}, Key("audiocodecid"),
                            Num(10)});
  EXPECT_EQ(Metadata(h), Cat({video, audio, end}));
  EXPECT_EQ(Metadata(h).size(), 256u);

  h.AudioChannels = 1;
  TBytes mono = Metadata(h);
  const TBytes stereoFalse = Cat({Key("stereo"), {0x01, 0x00}});
  EXPECT_NE(std::search(mono.begin(), mono.end(), stereoFalse.begin(), stereoFalse.end()), mono.end())
      << "one channel must give stereo = false";
  EXPECT_EQ(BuildMetadata(nullptr, mono.data(), mono.size()), 0u) << "no record, no message";
}

TEST(VideoSequenceHeader, CarriesTheAvcDecoderConfigurationRecord) {
  TMediaHeader h = AvcHeader(false);
  EXPECT_EQ(Built(BuildVideoSequenceHeader, h),
            (TBytes{0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x42, 0xC0, 0x1E, 0xFF, 0xE1, 0x00, 0x05, 0x67, 0x42,
                    0xC0, 0x1E, 0xAA, 0x01, 0x00, 0x04, 0x68, 0xCE, 0x3C, 0x80}));
  h.PpsLen = 0;
  EXPECT_EQ(Built(BuildVideoSequenceHeader, h),
            (TBytes{0x17, 0x00, 0x00, 0x00, 0x00, 0x01, 0x42, 0xC0, 0x1E, 0xFF, 0xE1, 0x00, 0x05, 0x67, 0x42,
                    0xC0, 0x1E, 0xAA, 0x01, 0x00, 0x00}));
  h.SpsLen = 0;
  EXPECT_EQ(Built(BuildVideoSequenceHeader, h), (TBytes{0x17, 0x00, 0x00, 0x00, 0x00}));
  h = AvcHeader(false);
  h.VideoCodecId = 2;
  h.SpsLen = 3;
  EXPECT_EQ(Built(BuildVideoSequenceHeader, h), (TBytes{0x12, 0x00, 0x00, 0x00, 0x00, 0x67, 0x42, 0xC0}))
      << "another codec's header follows unchanged";
}

TEST(SequenceHeaders, ThatDoNotFitTheirBufferAreRefusedNotOverflowed) {
  TMediaHeader h = AvcHeader(true);
  h.SpsLen = 1000;
  h.PpsLen = 9;  // 16 + 1009 > 1024
  EXPECT_EQ(Built(BuildVideoSequenceHeader, h), TBytes{});
  h.PpsLen = 8;  // exactly 1024
  EXPECT_EQ(Built(BuildVideoSequenceHeader, h).size(), 1024u);
  h.SpsLen = 5000;  // more than the record holds
  EXPECT_EQ(Built(BuildVideoSequenceHeader, h), TBytes{});
  h.AudioConfigLen = 1023;
  EXPECT_EQ(Built(BuildAudioSequenceHeader, h), TBytes{});
  h.AudioConfigLen = 1022;
  EXPECT_EQ(Built(BuildAudioSequenceHeader, h).size(), 1024u);
}

TEST(AudioSequenceHeader, IsTheTagByteThenPacketTypeZeroThenTheConfig) {
  EXPECT_EQ(Built(BuildAudioSequenceHeader, AvcHeader(true)), (TBytes{0xAF, 0x00, 0x12, 0x10}));
}

TBytes VideoBody(int32_t codec, const TBytes& au, bool passThrough, bool key) {
  std::vector<TNalUnit> units;
  size_t size = PlanVideoBody(codec, au.data(), au.size(), passThrough, units);
  TBytes body(size);
  EXPECT_EQ(BuildVideoBody(codec, units, key, body.data(), body.size()), size);
  return body;
}

const TBytes kSps = {0x67, 0x42, 0xC0, 0x1E};
const TBytes kPps = {0x68, 0xCE, 0x3C, 0x80};
const TBytes kSlice1 = {0x65, 0x88, 0x84, 0x00, 0x21};
const TBytes kSlice2 = {0x65, 0x00, 0x42, 0x11};
const TBytes kAccessUnit = Cat({{0, 0, 0, 1}, kSps, {0, 0, 0, 1}, kPps, {0, 0, 1}, kSlice1, {0, 0, 0, 1}, kSlice2});

TBytes Length(size_t n) { return {0, 0, 0, static_cast<uint8_t>(n)}; }

TEST(VideoBody, AnAvcAccessUnitIsOneMessageWithEveryNalUnitBehindItsLength) {
  const TBytes units = Cat({Length(4), kSps, Length(4), kPps, Length(5), kSlice1, Length(4), kSlice2});
  EXPECT_EQ(VideoBody(7, kAccessUnit, false, true), Cat({{0x17, 0x01, 0x00, 0x00, 0x00}, units}));
  EXPECT_EQ(VideoBody(7, kAccessUnit, false, false), Cat({{0x27, 0x01, 0x00, 0x00, 0x00}, units}));
  EXPECT_EQ(VideoBody(7, Cat({{0x09, 0x09}, kAccessUnit}), false, true),
            Cat({{0x17, 0x01, 0x00, 0x00, 0x00}, units}))
      << "bytes before the first start code must be dropped";
}

TEST(VideoBody, OtherCodecsCarryTheirCodecByteThenTheUnits) {
  const TBytes au = Cat({{0, 0, 0, 1}, kSlice1});
  EXPECT_EQ(VideoBody(2, au, false, true), Cat({{0x12}, kSlice1}));
  EXPECT_EQ(VideoBody(2, au, false, false), Cat({{0x22}, kSlice1}));
  EXPECT_EQ(VideoBody(4, au, false, true), Cat({{0x00}, kSlice1}));
}

TEST(VideoBody, PassThroughSendsTheWholeBufferUnchanged) {
  const TBytes au = Cat({{0, 0, 0, 1}, kSlice1});
  EXPECT_EQ(VideoBody(7, au, true, true), Cat({{0x17, 0x01, 0x00, 0x00, 0x00}, Length(au.size()), au}));
  const TBytes noStartCode = {0x01, 0x02, 0x03};
  EXPECT_EQ(VideoBody(7, noStartCode, true, false), Cat({{0x27, 0x01, 0x00, 0x00, 0x00, 0, 0, 0, 3}, noStartCode}));
}

TEST(VideoBody, ABufferWithoutNalUnitsYieldsNoMessage) {
  std::vector<TNalUnit> units;
  for (const TBytes& au : {TBytes{0x11, 0x22, 0x33, 0x44, 0x55}, TBytes{0, 0, 1}, TBytes{0, 0, 1, 0, 0, 0, 1}})
    EXPECT_EQ(PlanVideoBody(7, au.data(), au.size(), false, units), 0u);
  const TBytes emptyFirst = {0, 0, 1, 0, 0, 1, 0x65};
  EXPECT_EQ(VideoBody(7, emptyFirst, false, true), (TBytes{0x17, 0x01, 0, 0, 0, 0, 0, 0, 1, 0x65}))
      << "an empty NAL unit must not become a zero-length entry";
}

TEST(VideoBody, IsNeverBuiltPastItsBuffer) {
  TBytes guard(64, 0xEE);
  std::vector<TNalUnit> units;
  size_t size = PlanVideoBody(7, kAccessUnit.data(), kAccessUnit.size(), false, units);
  ASSERT_LT(size, guard.size());
  EXPECT_EQ(BuildVideoBody(7, units, true, guard.data(), size - 1), 0u);
  for (size_t i = size - 1; i < guard.size(); ++i) ASSERT_EQ(guard[i], 0xEE) << "wrote past the capacity at " << i;
}

struct TFlagsCase {
  int32_t codec, rate, channels;
  uint8_t expected;
};

TEST(AudioTagFlags, FollowsTheFlvSoundFields) {
  const TFlagsCase cases[] = {
      {0xA0, 44100, 2, 0xAF}, {0xA0, 8000, 1, 0xAF},  {0xA0, 48000, 6, 0xAF},  // AAC: fixed
      {0xB0, 16000, 1, 0xB6},                                                 // Speex wideband mono
      {0x20, 44100, 2, 0x2F}, {0x20, 22050, 1, 0x2A}, {0x20, 48000, 2, 0x23},  // MP3
      {0x00, 11025, 1, 0x04}, {0x00, 44100, 2, 0x0D},                         // linear PCM
      {0x10, 22050, 1, 0x1A}, {0x10, 11025, 2, 0x17},                         // ADPCM
      {0x30, 44100, 1, 0x0E}, {0x60, 8000, 2, 0x03},                          // others: no format bits
  };
  for (const TFlagsCase& c : cases)
    EXPECT_EQ(AudioTagFlags(c.codec, c.rate, c.channels), c.expected)
        << std::hex << "codec " << c.codec << std::dec << " at " << c.rate << " Hz, " << c.channels << " ch";
}

TEST(AudioTagFlags, RejectsSpeexThatFlvCannotCarry) {
  const struct {
    int32_t rate, channels;
    const char* message;
  } cases[] = {
      {8000, 1, "FLV only supports wideband (16kHz) Speex audio (VelmaroImp, line 307)"},
      {16000, 2, "FLV only supports mono Speex audio (VelmaroImp, line 308)"},
  };
  for (const auto& c : cases) {
    try {
      AudioTagFlags(0xB0, c.rate, c.channels);
      ADD_FAILURE() << "Speex at " << c.rate << " Hz with " << c.channels << " channels was accepted";
    } catch (const EAssertionFailed& error) {
      EXPECT_STREQ(error.what(), c.message);
    }
  }
}

TEST(AudioBody, IsTheTagByteThenForAacPacketTypeOneThenTheFrame) {
  TMediaHeader h = AvcHeader(true);
  const TBytes frame = {0x21, 0x10, 0x05};
  TBytes body(AudioBodySize(h.AudioCodecId, frame.size()));
  EXPECT_EQ(BuildAudioBody(h, frame.data(), frame.size(), body.data(), body.size()), body.size());
  EXPECT_EQ(body, (TBytes{0xAF, 0x01, 0x21, 0x10, 0x05}));
  h.AudioCodecId = 0x20;
  body.assign(AudioBodySize(h.AudioCodecId, frame.size()), 0);
  BuildAudioBody(h, frame.data(), frame.size(), body.data(), body.size());
  EXPECT_EQ(body, (TBytes{0x2F, 0x21, 0x10, 0x05}));
}

TEST(AudioBody, RecognisesAnAdtsHeader) {
  const uint8_t adts[] = {0xFF, 0xF1, 0x50};
  const uint8_t raw[] = {0x21, 0x1F, 0x50};
  EXPECT_TRUE(StartsWithAdtsSyncWord(adts, sizeof adts));
  EXPECT_FALSE(StartsWithAdtsSyncWord(raw, sizeof raw));
  EXPECT_FALSE(StartsWithAdtsSyncWord(adts, 1));
}

}  // namespace
