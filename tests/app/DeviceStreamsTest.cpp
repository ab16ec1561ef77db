// What the program reads from a device's stream itself: the picture size in
// a sequence parameter set, a change of parameter sets in a key frame, and
// the audio configuration it must take from the device.
#include <gtest/gtest.h>

#include "AacConfigs.h"
#include "HevcParameterSets.h"
#include "Processes.h"
#include "ParameterSetChanges.h"
#include "SequenceParameterSets.h"
#include "TestMedia.h"
#include "h264utils.h"

using namespace testsupport;

namespace {

TMediaOptions Pictures(int width, int height, int frameRate) {
  TMediaOptions o;
  o.width = width;
  o.height = height;
  o.frameRate = frameRate;
  o.seconds = 1;
  return o;
}

TMediaHeader HeaderOf(const TTestMedia& media) {
  TMediaHeader header{};
  header.VideoCodecId = 7;
  header.Width = media.options.width;
  header.Height = media.options.height;
  header.FrameRate = media.options.frameRate;
  header.SpsLen = static_cast<int32_t>(media.sps.size());
  std::copy(media.sps.begin(), media.sps.end(), header.Sps);
  header.PpsLen = static_cast<int32_t>(media.pps.size());
  std::copy(media.pps.begin(), media.pps.end(), header.Pps);
  return header;
}

// One H.265 picture from x265 at the size: its VPS, SPS and PPS (without
// start codes), and the whole picture in Annex B.
struct THevcSets {
  TBytes vps, sps, pps, annexB;
};

THevcSets EncodeHevcPicture(int width, int height) {
  TTempDir dir("tidecast-hevc");
  const std::string out = dir.File("one.hevc");
  TCommandResult r = RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                 "testsrc=size=" + std::to_string(width) + "x" + std::to_string(height) + ":rate=25",
                                 "-frames:v", "1", "-c:v", "libx265", "-x265-params", "log-level=none", "-f", "hevc",
                                 out});
  if (r.exitCode != 0) throw std::runtime_error("ffmpeg: " + r.errors);
  THevcSets sets;
  const std::string bytes = ReadWholeFile(out);
  sets.annexB.assign(bytes.begin(), bytes.end());
  for (const TBytes& nal : SplitNalUnits(sets.annexB)) {
    const size_t sc = nal[2] == 1 ? 3 : 4;
    TBytes* set = nullptr;
    switch (nal[sc] >> 1 & 0x3F) {
      case kHevcNalVps: set = &sets.vps; break;
      case kHevcNalSps: set = &sets.sps; break;
      case kHevcNalPps: set = &sets.pps; break;
    }
    if (set != nullptr && set->empty()) set->assign(nal.begin() + static_cast<long>(sc), nal.end());
  }
  return sets;
}

TMediaHeader HevcHeaderOf(const THevcSets& sets) {
  TMediaHeader header{};
  header.VideoCodecId = VELMARO_VIDEO_HEVC;
  header.SpsLen =
      static_cast<int32_t>(BuildHevcDecoderConfigurationRecord(sets.vps, sets.sps, sets.pps, header.Sps, sizeof header.Sps));
  return header;
}

TBytes RecordOf(const TMediaHeader& header) { return TBytes(header.Sps, header.Sps + header.SpsLen); }
TBytes SetIn(const TBytes& record, int type) {
  std::span<const uint8_t> set = HevcRecordParameterSet(record, type);
  return TBytes(set.begin(), set.end());
}

}  // namespace

// H.265: the size after the conformance window (1080 lines are coded as
// 1088; odd sizes are padded), and a key frame's new sets becoming the
// record, a set it lacks kept from the record; a repeat or an unreadable SPS
// changes nothing.
TEST(HevcParameterSets, SizesAndChangesOfRealEncoderOutput) {
  const THevcSets small = EncodeHevcPicture(320, 240);
  TMediaHeader header = HevcHeaderOf(small);
  ASSERT_GT(header.SpsLen, 0);
  for (int type : {kHevcNalVps, kHevcNalSps, kHevcNalPps})
    EXPECT_EQ(SetIn(RecordOf(header), type),
              type == kHevcNalVps ? small.vps : type == kHevcNalSps ? small.sps : small.pps);

  for (auto [width, height] : {std::pair{1920, 1080}, {642, 362}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const THevcSets large = EncodeHevcPicture(width, height);
    THevcSequenceInfo info;
    ASSERT_TRUE(ReadHevcSequenceParameterSet(large.sps, info));
    EXPECT_EQ(std::pair(info.Width, info.Height), std::pair(width, height));
    TMediaHeader changed = header;
    ASSERT_TRUE(TakeParameterSetChange(large.annexB.data(), large.annexB.size(), changed));
    EXPECT_EQ(std::pair(changed.Width, changed.Height), std::pair(width, height));
    EXPECT_EQ(RecordOf(changed), RecordOf(HevcHeaderOf(large)));
    EXPECT_FALSE(TakeParameterSetChange(large.annexB.data(), large.annexB.size(), changed)) << "a repeat";
  }
  EXPECT_FALSE(TakeParameterSetChange(small.annexB.data(), small.annexB.size(), header)) << "the record's own sets";

  // Only a new PPS: the record keeps its VPS and SPS, and the size.
  TBytes newPps = {0, 0, 0, 1, 0x44, 0x01, 0xC1, 0x73, 0xB4, 0x62, 0x40};
  TMediaHeader ppsOnly = header;
  ppsOnly.Width = 320;
  ASSERT_TRUE(TakeParameterSetChange(newPps.data(), newPps.size(), ppsOnly));
  EXPECT_EQ(SetIn(RecordOf(ppsOnly), kHevcNalPps), TBytes(newPps.begin() + 4, newPps.end()));
  EXPECT_EQ(SetIn(RecordOf(ppsOnly), kHevcNalSps), small.sps);
  EXPECT_EQ(ppsOnly.Width, 320);

  TBytes cutSps = {0, 0, 0, 1};
  cutSps.insert(cutSps.end(), small.sps.begin(), small.sps.begin() + 16);
  TMediaHeader unchanged = header;
  EXPECT_FALSE(TakeParameterSetChange(cutSps.data(), cutSps.size(), unchanged)) << "an SPS cut short";
  EXPECT_EQ(RecordOf(unchanged), RecordOf(header));
}

// Sizes that are no multiple of 16 need the SPS's cropping; the rate comes
// from its timing information.
TEST(SequenceParameterSet, SizeAndRateOfRealEncoderOutput) {
  for (auto [width, height, rate] : {std::tuple{320, 240, 25}, {1920, 1080, 30}, {176, 144, 15}, {642, 362, 50}}) {
    SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
    const TTestMedia& media = MakeTestMedia(Pictures(width, height, rate));
    TSequenceInfo info;
    ASSERT_TRUE(ReadSequenceParameterSet(media.sps.data(), media.sps.size(), info));
    EXPECT_EQ(info.Width, width);
    EXPECT_EQ(info.Height, height);
    EXPECT_EQ(info.FrameRate, rate);
  }
  const TTestMedia& media = MakeTestMedia(Pictures(320, 240, 25));
  TSequenceInfo info;
  EXPECT_FALSE(ReadSequenceParameterSet(media.pps.data(), media.pps.size(), info)) << "a PPS is no SPS";
  for (size_t cut = 1; cut < 6; ++cut)
    EXPECT_FALSE(ReadSequenceParameterSet(media.sps.data(), cut, info)) << "cut to " << cut << " bytes";
  // Found by fuzzing: a scaling-list delta far outside -128..127 overflowed.
  std::string found = ReadWholeFile(SourceDir() + "/tests/app/data/sps-scaling-delta-overflow");
  TMediaHeader header{};
  header.VideoCodecId = 7;
  EXPECT_FALSE(TakeParameterSetChange(reinterpret_cast<const uint8_t*>(found.data()), found.size(), header));
}

TEST(ParameterSetChange, OnlyNewSetsChangeTheHeader) {
  const TTestMedia& small = MakeTestMedia(Pictures(320, 240, 25));
  TMediaOptions twoKeyFrames = Pictures(640, 480, 25);
  twoKeyFrames.seconds = 2;
  const TTestMedia& large = MakeTestMedia(twoKeyFrames);
  ASSERT_EQ(large.video.size(), 50u);
  ASSERT_TRUE(small.video[0].key);
  ASSERT_TRUE(large.video[25].key);
  TMediaHeader header = HeaderOf(small);
  EXPECT_FALSE(TakeParameterSetChange(small.video[0].data.data(), small.video[0].data.size(), header))
      << "the key frame repeats the sets of the header";
  EXPECT_FALSE(TakeParameterSetChange(large.video[1].data.data(), large.video[1].data.size(), header))
      << "a picture without sets";

  ASSERT_TRUE(TakeParameterSetChange(large.video[0].data.data(), large.video[0].data.size(), header));
  EXPECT_EQ(header.Width, 640);
  EXPECT_EQ(header.Height, 480);
  EXPECT_EQ(TBytes(header.Sps, header.Sps + header.SpsLen), large.sps);
  EXPECT_EQ(TBytes(header.Pps, header.Pps + header.PpsLen), large.pps);
  EXPECT_FALSE(TakeParameterSetChange(large.video[25].data.data(), large.video[25].data.size(), header))
      << "the next key frame of the new size is no change";
}

TEST(AacConfig, TheDevicesOwnConfigWhereTheComputedOneWouldMisdescribe) {
  struct TCase {
    const char* what;
    int32_t rate;
    uint8_t channels;
    TBytes device;
    TBytes expected;
  };
  const std::vector<TCase> cases = {
      {"AAC-LC 48 kHz stereo: computed", 48000, 2, {0x11, 0x90}, {0x11, 0x90}},
      {"no device config: computed", 44100, 1, {}, {0x12, 0x08}},
      {"AAC-LC 96 kHz: the device's", 96000, 2, {0x10, 0x10}, {0x10, 0x10}},
      {"AAC-LC 7350 Hz: the device's", 7350, 1, {0x16, 0x08}, {0x16, 0x08}},
      {"HE-AAC over a 24 kHz core: the device's", 24000, 2, {0x2B, 0x11, 0x88, 0x00}, {0x2B, 0x11, 0x88, 0x00}},
      {"960-sample frames: the device's", 48000, 2, {0x11, 0x94}, {0x11, 0x94}},
      {"5.1 channels: the device's", 48000, 2, {0x11, 0xB0}, {0x11, 0xB0}},
      {"96 kHz without a device config: none", 96000, 2, {}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    uint8_t bytes[16] = {};
    int32_t length = sizeof bytes;
    bool chosen = ChooseAacConfig(c.rate, c.channels, c.device.data(), static_cast<int32_t>(c.device.size()), bytes,
                                  length);
    EXPECT_EQ(chosen, !c.expected.empty());
    EXPECT_EQ(TBytes(bytes, bytes + length), c.expected);
  }
  uint8_t tiny[2];
  int32_t length = sizeof tiny;
  const TBytes he = {0x2B, 0x11, 0x88, 0x00};
  EXPECT_FALSE(ChooseAacConfig(24000, 2, he.data(), 4, tiny, length)) << "no room for the device's four bytes";
  EXPECT_EQ(length, 0);
}
