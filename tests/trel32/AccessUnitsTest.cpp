// Access units are decided by the slices, not by packet times.
#include <gtest/gtest.h>

#include <random>

#include "AccessUnits.h"
#include "TestMedia.h"

using testsupport::TBytes;

namespace {

constexpr int64_t kNoTime = TAccessUnitAssembler::kNoTime;

struct TUnit {
  TBytes data;
  bool idr;
  int64_t time;
  int64_t nextTime;
};

// NAL units by type; a slice's second byte says whether its first macroblock is 0.
TBytes Nal(int type, bool firstMbZero = true, int startCodeLength = 4) {
  TBytes nal(static_cast<size_t>(startCodeLength - 1), 0);
  nal.push_back(1);
  nal.push_back(static_cast<uint8_t>(0x60 | type));
  nal.push_back(firstMbZero ? 0x88 : 0x44);
  nal.push_back(0x21);
  return nal;
}

TBytes Join(std::initializer_list<TBytes> parts) {
  TBytes all;
  for (const TBytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class Assembler : public ::testing::Test {
 protected:
  TAccessUnitAssembler assembler{[this](const std::vector<uint8_t>& unit, bool idr, int64_t time, int64_t next) {
    units.push_back({unit, idr, time, next});
  }};
  std::vector<TUnit> units;
};

TEST_F(Assembler, SlicesOfOnePictureInTwoPacketsBecomeOneUnit) {
  TBytes first = Join({Nal(7), Nal(8), Nal(5, true)});
  assembler.AddPacket(first.data(), first.size(), 3600);
  // The second slice's time was moved by a sender report: it still belongs here.
  TBytes second = Nal(5, false);
  assembler.AddPacket(second.data(), second.size(), 3601);
  EXPECT_TRUE(units.empty()) << "a unit is handed out once the next one begins";
  TBytes next = Join({Nal(1, true), Nal(1, false)});
  assembler.AddPacket(next.data(), next.size(), 7200);
  ASSERT_EQ(units.size(), 1u);
  EXPECT_EQ(units[0].data, Join({Nal(7), Nal(8), Nal(5, true), Nal(5, false)}));
  EXPECT_TRUE(units[0].idr);
  EXPECT_EQ(units[0].time, 3600);
  EXPECT_EQ(units[0].nextTime, 7200);
  assembler.Flush();
  ASSERT_EQ(units.size(), 2u);
  EXPECT_FALSE(units[1].idr);
  EXPECT_EQ(units[1].nextTime, kNoTime);
}

TEST_F(Assembler, ParameterSetsRepeatedBeforeTheSecondIdrSliceStayInThePicture) {
  TBytes packet = Join({Nal(9), Nal(7), Nal(8), Nal(5, true), Nal(7), Nal(8), Nal(5, false), Nal(9), Nal(7),
                        Nal(8), Nal(5, true), Nal(6), Nal(1, true)});
  assembler.AddPacket(packet.data(), packet.size(), 0);
  assembler.Flush();
  ASSERT_EQ(units.size(), 3u);
  EXPECT_EQ(units[0].data, Join({Nal(9), Nal(7), Nal(8), Nal(5, true), Nal(7), Nal(8), Nal(5, false)}));
  EXPECT_EQ(units[1].data, Join({Nal(9), Nal(7), Nal(8), Nal(5, true)}));
  EXPECT_EQ(units[2].data, Join({Nal(6), Nal(1, true)})) << "SEI before a new picture opens it";
  EXPECT_FALSE(units[2].idr);
}

TEST_F(Assembler, OnePacketWithTwoPicturesIsSplitAndShortStartCodesGrow) {
  TBytes packet = Join({Nal(9, true, 3), Nal(1, true, 3), Nal(9, true, 3), Nal(1, true, 3), Nal(1, false, 3)});
  assembler.AddPacket(packet.data(), packet.size(), kNoTime);
  assembler.Flush();
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(units[0].data, Join({Nal(9), Nal(1)}));
  EXPECT_EQ(units[1].data, Join({Nal(9), Nal(1), Nal(1, false)}));
  EXPECT_EQ(units[0].time, kNoTime);
}

// H.265 NAL units: a 2-byte header, then the slice header's first bit is
// first_slice_segment_in_pic_flag.
TBytes HevcNal(int type, bool firstInPicture = true) {
  return {0, 0, 0, 1, static_cast<uint8_t>(type << 1), 1, static_cast<uint8_t>(firstInPicture ? 0xA0 : 0x20), 0x42};
}

// A CRA picture in two slices after its sets, a trailing picture with a
// suffix SEI between its slices, a delimited picture, a BLA picture: four
// units, key frames exactly at the random-access pictures.
TEST_F(Assembler, H265PicturesAreTheirSlicesAndRandomAccessPicturesAreKeyFrames) {
  assembler.SetHevc(true);
  const std::vector<TBytes> expected = {
      Join({HevcNal(32), HevcNal(33), HevcNal(34), HevcNal(39), HevcNal(21), HevcNal(21, false)}),
      Join({HevcNal(1), HevcNal(40), HevcNal(1, false)}),
      Join({HevcNal(35), HevcNal(0)}),
      Join({HevcNal(16)}),
  };
  for (size_t i = 0; i < expected.size(); ++i)
    assembler.AddPacket(expected[i].data(), expected[i].size(), static_cast<int64_t>(i) * 3600);
  assembler.Flush();
  ASSERT_EQ(units.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(units[i].data, expected[i]) << "unit " << i;
    EXPECT_EQ(units[i].idr, i == 0 || i == 3) << "unit " << i;
    EXPECT_EQ(units[i].time, static_cast<int64_t>(i) * 3600) << "unit " << i;
  }
}

TEST_F(Assembler, UnitStartsTable) {
  struct TCase {
    int type;
    bool firstMbZero;
    bool begins;
  };
  for (TCase c : {TCase{1, true, true}, TCase{1, false, false}, TCase{5, true, true}, TCase{5, false, false},
                  TCase{6, true, true}, TCase{7, true, true}, TCase{8, true, true}, TCase{9, true, true},
                  TCase{12, true, false}}) {
    TBytes nal = Nal(c.type, c.firstMbZero);
    EXPECT_EQ(BeginsAccessUnit(nal.data() + 4, nal.size() - 4), c.begins) << "type " << c.type;
  }
}

TEST_F(Assembler, TrailingZerosAndParameterSetsAloneAreNoUnit) {
  TBytes packet = Join({Nal(7), Nal(8), TBytes{0, 0, 0}});
  assembler.AddPacket(packet.data(), packet.size(), 100);
  assembler.Flush();
  EXPECT_TRUE(units.empty());
  std::vector<TBytes> nals;
  ForEachNalUnit(packet.data(), packet.size(), [&](const uint8_t* nal, size_t size) { nals.emplace_back(nal, nal + size); });
  ASSERT_EQ(nals.size(), 2u);
  TBytes pps = Nal(8);
  EXPECT_EQ(nals[1], TBytes(pps.begin() + 4, pps.end())) << "trailing zeros are not part of a unit";
}

// The plain byte-by-byte reading of the splitting rule, to hold the fast scan to.
std::vector<TBytes> SplitByteByByte(const TBytes& data) {
  std::vector<size_t> starts;  // just behind each 00 00 01
  for (size_t i = 0; i + 3 <= data.size();) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 3;
    } else {
      ++i;
    }
  }
  std::vector<TBytes> units;
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : data.size();
    while (end > starts[k] && data[end - 1] == 0) --end;
    if (end > starts[k]) units.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(starts[k]),
                                            data.begin() + static_cast<std::ptrdiff_t>(end));
  }
  return units;
}

TEST(NalUnitSplitting, AgreesWithAByteByByteScanOnStartCodeRichBytes) {
  // Mostly 00 and 01, so that start codes overlap, touch the ends and hide
  // inside runs of zeros.
  std::mt19937 random(7);
  for (int round = 0; round < 2000; ++round) {
    TBytes data(random() % 40);
    for (uint8_t& byte : data) {
      uint32_t pick = random() % 8;
      byte = pick < 4 ? 0 : pick < 6 ? 1 : static_cast<uint8_t>(random());
    }
    std::vector<TBytes> units;
    ForEachNalUnit(data.data(), data.size(), [&](const uint8_t* nal, size_t size) { units.emplace_back(nal, nal + size); });
    ASSERT_EQ(units, SplitByteByByte(data)) << "round " << round;
  }
}

TEST_F(Assembler, RealEncoderOutputRegroupsIntoTheEncodersAccessUnits) {
  testsupport::TMediaOptions options;
  options.seconds = 2;
  options.slicesPerFrame = 3;
  const auto& media = testsupport::MakeTestMedia(options);
  // Fed one NAL unit per packet, all with one time: only the slices can tell.
  for (const auto& unit : media.video)
    for (const TBytes& nal : testsupport::SplitNalUnits(unit.data)) assembler.AddPacket(nal.data(), nal.size(), 0);
  assembler.Flush();
  ASSERT_EQ(units.size(), media.video.size());
  for (size_t i = 0; i < units.size(); ++i) {
    EXPECT_EQ(units[i].idr, media.video[i].key) << i;
    EXPECT_EQ(testsupport::SplitNalUnits(units[i].data).size(), testsupport::SplitNalUnits(media.video[i].data).size());
  }
}

}  // namespace

namespace {

TBytes BigSlice(int type, bool firstMbZero, size_t size) {
  TBytes nal = Nal(type, firstMbZero);
  nal.resize(size, 0x5A);  // no zero bytes: no start code inside
  return nal;
}

}  // namespace

// A source whose picture never ends: an IDR picture, then slices whose first
// macroblock is never 0. The unit must stop growing at the bound, nothing of
// the broken picture or of the pictures that refer to it may come out, and
// delivery must resume with the next IDR picture, whole.
TEST_F(Assembler, EndlessPictureIsDroppedAndDeliveryWaitsForTheNextIdr) {
  TBytes idr = Join({Nal(7), Nal(8), BigSlice(5, true, 1000)});
  assembler.AddPacket(idr.data(), idr.size(), 0);
  TBytes endless = BigSlice(1, true, 60'000);
  assembler.AddPacket(endless.data(), endless.size(), 3600);
  TBytes more = BigSlice(1, false, 60'000);
  for (int i = 0; i < 400; ++i) assembler.AddPacket(more.data(), more.size(), 3600);  // 24 MB
  ASSERT_EQ(units.size(), 1u) << "the broken picture or a part of it came out";
  EXPECT_EQ(assembler.DroppedUnits(), 1u);
  TBytes picture = BigSlice(1, true, 500);
  assembler.AddPacket(picture.data(), picture.size(), 7200);  // refers to the lost picture
  TBytes next = Join({Nal(9), Nal(7), Nal(8), BigSlice(5, true, 700)});
  assembler.AddPacket(next.data(), next.size(), 10800);
  assembler.AddPacket(picture.data(), picture.size(), 14400);
  assembler.Flush();
  ASSERT_EQ(units.size(), 3u);
  EXPECT_TRUE(units[1].idr);
  EXPECT_EQ(units[1].time, 10800);
  EXPECT_EQ(units[1].data, Join({Nal(9), Nal(7), Nal(8), BigSlice(5, true, 700)}));
  EXPECT_EQ(units[2].time, 14400);
  EXPECT_EQ(assembler.DroppedUnits(), 2u) << "the skipped picture is counted";
}
