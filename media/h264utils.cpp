#include "h264utils.h"

#include <cstring>

int StartCodeLength(const uint8_t* p, size_t available) {
  if (available >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1) return 3;
  if (available >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1) return 4;
  return 0;
}

bool FindStartCode(const uint8_t* span, size_t length, size_t& offset) {
  // The rule: the first i with i + 3 < length where 00 00 01 begins, or
  // where 00 00 00 01 begins and i + 4 < length. A four-byte code at i is a
  // three-byte code at i + 1 under the same bound, so it is enough to find
  // the first qualifying 00 00 01 and step back over one more zero: a
  // four-byte start code is found at its first zero, so that zero never ends
  // up as the tail of the unit before it. memchr for the 01 byte keeps the
  // scan at memory speed (it is on the path of every video byte).
  if (length < 4) return false;
  const uint8_t* const last = span + length - 1;  // the 01 of a code must leave one byte after it
  const uint8_t* p = span + 2;
  while (p < last) {
    const void* found = std::memchr(p, 1, static_cast<size_t>(last - p));
    if (found == nullptr) return false;
    const uint8_t* one = static_cast<const uint8_t*>(found);
    if (one[-1] == 0 && one[-2] == 0) {
      size_t start = static_cast<size_t>(one - 2 - span);
      offset = start > 0 && span[start - 1] == 0 ? start - 1 : start;
      return true;
    }
    p = one + 1;
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

void ForEachNalUnit(const uint8_t* data, size_t size, const std::function<void(const uint8_t*, size_t)>& unit) {
  TNalUnitReader reader(data, size);
  for (TNalUnit nal; reader.Next(nal);) {
    size_t length = nal.length;
    // A start code that ends the span begins no unit, but it ends this one.
    if (length >= 3 && nal.data[length - 1] == 1 && nal.data[length - 2] == 0 && nal.data[length - 3] == 0)
      length -= 3;
    while (length > 0 && nal.data[length - 1] == 0) --length;  // trailing_zero_8bits
    if (length > 0) unit(nal.data, length);
  }
}
