#include "h264utils.h"

int StartCodeLength(const uint8_t* p, size_t available) {
  if (available >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) return 3;
  if (available >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1) return 4;
  return 0;
}

bool FindStartCode(const uint8_t* span, size_t length, size_t& offset) {
  // A four-byte start code is found at its first zero, so that zero never
  // ends up as the tail of the unit before it.
  for (size_t i = 0; i + 3 < length; ++i) {
    if (span[i] == 0 && span[i + 1] == 0 && span[i + 2] == 1) {
      offset = i;
      return true;
    }
    if (i + 4 < length && span[i] == 0 && span[i + 1] == 0 && span[i + 2] == 0 && span[i + 3] == 1) {
      offset = i;
      return true;
    }
  }
  return false;
}

bool NextNalUnit(const uint8_t* span, size_t length, size_t& start, size_t& unitLength) {
  if (length < 4 || !FindStartCode(span, length, start)) return false;
  // The search for the end starts behind the shortest start code.
  size_t searchFrom = start + 3;
  size_t next = 0;
  if (FindStartCode(span + searchFrom, length - searchFrom, next))
    unitLength = next + 3;
  else
    unitLength = length - start;
  return true;
}

bool TNalUnitReader::Next(TNalUnit& unit) {
  size_t start = 0, unitLength = 0;
  if (!NextNalUnit(cursor_, remaining_, start, unitLength)) {
    remaining_ = 0;
    return false;
  }
  const uint8_t* unitBegin = cursor_ + start;
  size_t codeLength = static_cast<size_t>(StartCodeLength(unitBegin, unitLength));
  unit.data = unitBegin + codeLength;
  unit.length = unitLength - codeLength;
  cursor_ = unitBegin + unitLength;
  remaining_ -= start + unitLength;
  return true;
}
