// H.264 and H.265 NAL unit types and start-code scanning: splits an Annex B access
// unit into its NAL units without copying anything. Every read stays inside
// the span given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

// The NAL unit types the program looks at (ITU-T H.264 table 7-1).
enum : int {
  kNalTypeSlice = 1,
  kNalTypeIdr = 5,
  kNalTypeSei = 6,
  kNalTypeSps = 7,
  kNalTypePps = 8,
  kNalTypeAud = 9,
};

// The H.265 NAL unit types the program looks at (ITU-T H.265 table 7-1): the
// coded slices are 0-31, the random-access (key) pictures 16-23.
enum : int {
  kHevcNalFirstKey = 16,
  kHevcNalLastKey = 23,
  kHevcNalVps = 32,
  kHevcNalSps = 33,
  kHevcNalPps = 34,
  kHevcNalAud = 35,
  kHevcNalPrefixSei = 39,
};

// The type of the NAL unit whose header byte `nal` points at.
inline int NalUnitType(const uint8_t* nal) { return nal[0] & 0x1F; }
// ... and of an H.265 NAL unit (its two-byte header).
inline int HevcNalUnitType(const uint8_t* nal) { return (nal[0] >> 1) & 0x3F; }

// 3 when the bytes at p are 00 00 01, 4 when they are 00 00 00 01, else 0.
// Looks at no more than `available` bytes.
int StartCodeLength(const uint8_t* p, size_t available);

// The first start code in the span. A start code counts only when at least
// one byte follows it inside the span (one that ends the span is not found).
bool FindStartCode(const uint8_t* span, size_t length, size_t& offset);

// The first NAL unit of the span: where its start code begins and its length
// including the start code. It runs up to the next start code, or to the end.
bool NextNalUnit(const uint8_t* span, size_t length, size_t& start, size_t& unitLength);

// One NAL unit without its start code; points into the caller's buffer.
struct TNalUnit {
  const uint8_t* data = nullptr;
  size_t length = 0;
};

// Walks the NAL units of an access unit in buffer order. Bytes before the
// first start code belong to no unit and are skipped.
class TNalUnitReader {
 public:
  TNalUnitReader(const uint8_t* data, size_t length) : cursor_(data), remaining_(length) {}
  bool Next(TNalUnit& unit);

 private:
  const uint8_t* cursor_;
  size_t remaining_;
};

// Calls `unit` with each NAL unit of the span, without its start code and
// without trailing zero bytes; empty units are skipped.
void ForEachNalUnit(const uint8_t* data, size_t size, const std::function<void(const uint8_t*, size_t)>& unit);
