#include "RbspReaders.h"

TRbspReader::TRbspReader(const uint8_t* data, size_t length) {
  rbsp_.reserve(length);
  int zeros = 0;
  for (size_t i = 0; i < length; ++i) {
    if (zeros >= 2 && data[i] == 3) {  // 00 00 03: the 03 is not payload
      zeros = 0;
      continue;
    }
    zeros = data[i] == 0 ? zeros + 1 : 0;
    rbsp_.push_back(data[i]);
  }
}

uint32_t TRbspReader::Bits(int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i, ++position_) {
    size_t byte = position_ / 8;
    uint32_t bit = byte < rbsp_.size() ? (rbsp_[byte] >> (7 - position_ % 8)) & 1u : 0;
    overrun_ |= byte >= rbsp_.size();
    value = value << 1 | bit;
  }
  return value;
}

void TRbspReader::Skip(size_t count) {
  position_ += count;
  overrun_ |= position_ > rbsp_.size() * 8;
}

uint32_t TRbspReader::Unsigned() {
  int zeros = 0;
  while (Bits(1) == 0) {
    if (++zeros > 31 || overrun_) {
      overrun_ = true;
      return 0;
    }
  }
  return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + Bits(zeros));
}

int32_t TRbspReader::Signed() {
  uint32_t code = Unsigned();
  return code & 1 ? static_cast<int32_t>((code + 1) / 2) : -static_cast<int32_t>(code / 2);
}
