// Start-code scanning: where NAL units begin and end, and that the scan
// never reads outside the buffer (every case runs in an exactly sized heap
// block, so AddressSanitizer sees any stray read).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "h264utils.h"

namespace {

using TBytes = std::vector<uint8_t>;

std::vector<TBytes> Payloads(const TBytes& buffer) {
  // A copy of exactly the buffer's size: one byte more read is an overflow.
  std::unique_ptr<uint8_t[]> exact(new uint8_t[buffer.size()]);
  std::copy(buffer.begin(), buffer.end(), exact.get());
  std::vector<TBytes> payloads;
  TNalUnitReader reader(exact.get(), buffer.size());
  for (TNalUnit unit; reader.Next(unit);) payloads.emplace_back(unit.data, unit.data + unit.length);
  return payloads;
}

struct TSplitCase {
  const char* fault;
  TBytes buffer;
  std::vector<TBytes> expected;
};

TEST(NalSplitting, UnitsBeginAndEndAtStartCodes) {
  const std::vector<TSplitCase> cases = {
      {"mixed 3- and 4-byte start codes",
       {0, 0, 0, 1, 0x67, 0xAA, 0, 0, 0, 1, 0x68, 0xBB, 0, 0, 1, 0x65, 0xCC, 0xDD},
       {{0x67, 0xAA}, {0x68, 0xBB}, {0x65, 0xCC, 0xDD}}},
      {"a 4-byte start code must not leave its first zero on the previous unit",
       {0, 0, 1, 0x65, 0xAA, 0, 0, 0, 1, 0x41, 0xBB},
       {{0x65, 0xAA}, {0x41, 0xBB}}},
      {"bytes before the first start code belong to no unit",
       {0x11, 0x22, 0x33, 0, 0, 1, 0x65, 0xAA},
       {{0x65, 0xAA}}},
      {"a last unit shorter than 3 bytes still runs to the end", {0, 0, 1, 0x65, 0, 0, 1, 0xAA}, {{0x65}, {0xAA}}},
      {"a start code that ends the buffer is not a start code", {0, 0, 1, 0x65, 0, 0, 1}, {{0x65, 0, 0, 1}}},
      {"a unit of one byte after a 3-byte start code", {0, 0, 1, 0x09}, {{0x09}}},
      {"no start code at all", {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}, {}},
      {"fewer than 4 bytes hold no unit", {0, 0, 1}, {}},
      {"an empty buffer", {}, {}},
      {"a start code right behind another gives an empty unit", {0, 0, 1, 0, 0, 1, 0x65}, {{}, {0x65}}},
  };
  for (const TSplitCase& c : cases) EXPECT_EQ(Payloads(c.buffer), c.expected) << c.fault;
}

TEST(NalSplitting, StartCodeLengthNeverLooksPastTheBytesGiven) {
  const uint8_t four[] = {0, 0, 0, 1};
  EXPECT_EQ(StartCodeLength(four, 4), 4);
  EXPECT_EQ(StartCodeLength(four, 3), 0) << "a 4-byte code cut short is no start code";
  EXPECT_EQ(StartCodeLength(four + 1, 3), 3);
  EXPECT_EQ(StartCodeLength(four + 1, 2), 0);
  const uint8_t none[] = {0, 1, 0, 1};
  EXPECT_EQ(StartCodeLength(none, 4), 0);
}

TEST(NalSplitting, NextNalUnitReportsStartAndLengthWithStartCode) {
  const uint8_t buffer[] = {0x55, 0, 0, 0, 1, 0x67, 0x42, 0, 0, 1, 0x68};
  size_t start = 0, length = 0;
  ASSERT_TRUE(NextNalUnit(buffer, sizeof buffer, start, length));
  EXPECT_EQ(start, 1u);
  EXPECT_EQ(length, 6u) << "00 00 00 01 67 42";
  size_t offset = 0;
  EXPECT_FALSE(FindStartCode(buffer, 3, offset));
}

// Random buffers rich in zeros and ones: every unit must lie inside the
// buffer, in order, and the units with their start codes must tile the
// buffer from the first start code on.
TEST(NalSplitting, RandomBuffersSplitIntoOrderedUnitsInsideTheBuffer) {
  std::mt19937 random(12345);
  const uint8_t alphabet[] = {0, 0, 0, 1, 0x65, 0x41};
  for (int round = 0; round < 4000; ++round) {
    size_t size = random() % 40;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size]);
    for (size_t i = 0; i < size; ++i) buffer[i] = alphabet[random() % sizeof alphabet];
    TNalUnitReader reader(buffer.get(), size);
    const uint8_t* previousEnd = nullptr;
    for (TNalUnit unit; reader.Next(unit);) {
      ASSERT_GE(unit.data, buffer.get());
      ASSERT_LE(unit.data + unit.length, buffer.get() + size);
      if (previousEnd != nullptr) {
        // Between two units lies exactly one start code.
        size_t gap = static_cast<size_t>(unit.data - previousEnd);
        ASSERT_TRUE(gap == 3 || gap == 4) << "round " << round;
        ASSERT_EQ(StartCodeLength(previousEnd, gap), static_cast<int>(gap)) << "round " << round;
      } else {
        size_t before = static_cast<size_t>(unit.data - buffer.get());
        ASSERT_GE(before, 3u);
        ASSERT_EQ(StartCodeLength(unit.data - 3, 3), 3) << "a unit follows its start code";
      }
      previousEnd = unit.data + unit.length;
    }
    if (previousEnd != nullptr) {
      ASSERT_EQ(previousEnd, buffer.get() + size) << "the last unit runs to the end";
    }
  }
}

}  // namespace

namespace {

// The scanning rule spelled out byte by byte, to hold the fast scan against.
bool ReferenceFindStartCode(const uint8_t* b, size_t n, size_t& offset) {
  for (size_t i = 0; i + 3 < n; ++i) {
    if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1) {
      offset = i;
      return true;
    }
    if (i + 4 < n && b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 0 && b[i + 3] == 1) {
      offset = i;
      return true;
    }
  }
  return false;
}

TEST(NalSplitting, FastScanFindsWhatTheByteByByteRuleFinds) {
  std::mt19937 random(777);
  const uint8_t alphabet[] = {0, 0, 0, 1, 0x65};
  for (int round = 0; round < 40000; ++round) {
    size_t size = random() % (round % 2 == 0 ? 24 : 120);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size]);
    for (size_t i = 0; i < size; ++i) buffer[i] = alphabet[random() % sizeof alphabet];
    size_t expected = 99, actual = 99;
    bool expectedFound = ReferenceFindStartCode(buffer.get(), size, expected);
    ASSERT_EQ(FindStartCode(buffer.get(), size, actual), expectedFound) << "round " << round;
    if (expectedFound) {
      ASSERT_EQ(actual, expected) << "round " << round;
    }
  }
}

}  // namespace
