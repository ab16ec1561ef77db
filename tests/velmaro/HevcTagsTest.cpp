// H.265 FLV bodies, byte for byte: the decoder configuration record built from
// real x265 parameter sets, and the enhanced ('hvc1') and codec-id-12 forms.
#include <gtest/gtest.h>

#include <vector>

#include "FlvTags.h"
#include "HevcParameterSets.h"

namespace {

using namespace velmaro;
using TBytes = std::vector<uint8_t>;

// x265, Main profile, level 2 (60), 320x240 4:2:0 8-bit, one temporal layer.
const TBytes kVps = {0x40, 0x01, 0x0C, 0x01, 0xFF, 0xFF, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00,
                     0x90, 0x00, 0x00, 0x03, 0x00, 0x00, 0x03, 0x00, 0x3C, 0x95, 0x98, 0x09};
const TBytes kSps = {0x42, 0x01, 0x01, 0x01, 0x60, 0x00, 0x00, 0x03, 0x00, 0x90, 0x00, 0x00, 0x03, 0x00,
                     0x00, 0x03, 0x00, 0x3C, 0xA0, 0x0A, 0x08, 0x0F, 0x16, 0x59, 0x59, 0xA4, 0x93, 0x2B,
                     0xC0, 0x5A, 0x02, 0x00, 0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x32, 0x10};
const TBytes kPps = {0x44, 0x01, 0xC1, 0x72, 0xB4, 0x62, 0x40};

TBytes Cat(std::initializer_list<TBytes> parts) {
  TBytes all;
  for (const TBytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TBytes Record(const TBytes& vps, const TBytes& sps, const TBytes& pps, size_t capacity = 512) {
  TBytes out(capacity);
  out.resize(BuildHevcDecoderConfigurationRecord(vps, sps, pps, out.data(), out.size()));
  return out;
}

TEST(HevcRecord, CarriesTheSpsProfileTierLevelAndOneArrayPerParameterSet) {
  const TBytes expected = Cat({
      {0x01},                                                                    // configurationVersion
      {0x01, 0x60, 0x00, 0x00, 0x00, 0x90, 0x00, 0x00, 0x00, 0x00, 0x00, 0x3C},  // PTL, 00 00 03 removed
      {0xF0, 0x00, 0xFC, 0xFD, 0xF8, 0xF8, 0x00, 0x00},  // segmentation, parallelism, 4:2:0, 8 bit, rate
      {0x0F, 0x03},  // 1 temporal layer, nested, 4-byte lengths; 3 arrays
      {0xA0, 0x00, 0x01, 0x00, 0x18}, kVps,
      {0xA1, 0x00, 0x01, 0x00, 0x2A}, kSps,
      {0xA2, 0x00, 0x01, 0x00, 0x07}, kPps,
  });
  EXPECT_EQ(Record(kVps, kSps, kPps), expected);
}

TEST(HevcRecord, RefusesShortParameterSetsAndASmallBuffer) {
  const TBytes sps(kSps.begin(), kSps.begin() + 18);  // profile/tier/level whole, picture size missing
  const TBytes ptlCut(kSps.begin(), kSps.begin() + 12);
  EXPECT_TRUE(Record(kVps, sps, kPps).empty());
  EXPECT_TRUE(Record(kVps, ptlCut, kPps).empty());
  EXPECT_TRUE(Record({0x40, 0x01}, kSps, kPps).empty());
  EXPECT_TRUE(Record(kVps, kSps, {}).empty());
  EXPECT_TRUE(Record(kVps, kSps, kPps, 110).empty());  // the record is 111 bytes
  EXPECT_EQ(Record(kVps, kSps, kPps, 111).size(), 111u);
}

TEST(HevcBodies, EnhancedAndId12FormsCarryTheirHeadersCompositionAndUnits) {
  const TBytes record = Record(kVps, kSps, kPps);
  const TBytes slice = {0x26, 0x01, 0xAF}, sei = {0x4E, 0x01, 0x05};
  const std::vector<TNalUnit> units = {{sei.data(), sei.size()}, {slice.data(), slice.size()}};
  const TBytes unitBytes = Cat({{0, 0, 0, 3}, sei, {0, 0, 0, 3}, slice});
  const TBytes hvc1 = {'h', 'v', 'c', '1'};
  TBytes out(256);
  auto body = [&](size_t size) { return TBytes(out.begin(), out.begin() + static_cast<long>(size)); };

  EXPECT_EQ(body(BuildHevcSequenceStart(THevcFlvForm::Enhanced, record, out.data(), out.size())),
            Cat({{0x90}, hvc1, record}));
  EXPECT_EQ(body(BuildHevcSequenceStart(THevcFlvForm::Id12, record, out.data(), out.size())),
            Cat({{0x1C, 0x00, 0x00, 0x00, 0x00}, record}));

  struct TCase {
    THevcFlvForm form;
    bool key;
    int32_t compositionMs;
    TBytes header;
  };
  const TCase cases[] = {
      {THevcFlvForm::Enhanced, true, 80, Cat({{0x91}, hvc1, {0x00, 0x00, 0x50}})},   // CodedFrames
      {THevcFlvForm::Enhanced, false, -2, Cat({{0xA1}, hvc1, {0xFF, 0xFF, 0xFE}})},  // negative offset
      {THevcFlvForm::Enhanced, false, 0, Cat({{0xA3}, hvc1})},                       // CodedFramesX
      {THevcFlvForm::Id12, true, 0, {0x1C, 0x01, 0x00, 0x00, 0x00}},
      {THevcFlvForm::Id12, false, 40, {0x2C, 0x01, 0x00, 0x00, 0x28}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.compositionMs);
    EXPECT_EQ(body(BuildHevcCodedFrames(c.form, units, c.key, c.compositionMs, out.data(), out.size())),
              Cat({c.header, unitBytes}));
  }
  EXPECT_EQ(BuildHevcCodedFrames(THevcFlvForm::Enhanced, units, true, 80, out.data(), 20), 0u);
}

}  // namespace
