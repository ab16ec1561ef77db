#include "ByteWriters.h"

#include <bit>
#include <cstring>

bool TByteWriter::Fits(size_t length) {
  if (overflowed_ || length > capacity_ - position_) {
    overflowed_ = true;
    return false;
  }
  return true;
}

void TByteWriter::PutByte(uint8_t value) {
  if (Fits(1)) buffer_[position_++] = value;
}

void TByteWriter::PutUI16(uint16_t value) {
  PutByte(static_cast<uint8_t>(value >> 8));
  PutByte(static_cast<uint8_t>(value));
}

void TByteWriter::PutUI32(uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) PutByte(static_cast<uint8_t>(value >> shift));
}

void TByteWriter::PutBytes(const uint8_t* data, size_t length) {
  if (length == 0 || !Fits(length)) return;
  std::memcpy(buffer_ + position_, data, length);
  position_ += length;
}

void TByteWriter::PutAMFString(std::string_view text) {
  PutUI16(static_cast<uint16_t>(text.size()));
  PutBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void TByteWriter::PutAMFNumber(double value) {
  PutByte(0x00);  // AMF0 number marker
  uint64_t bits = std::bit_cast<uint64_t>(value);
  for (int shift = 56; shift >= 0; shift -= 8) PutByte(static_cast<uint8_t>(bits >> shift));
}

void TByteWriter::PutAMFBoolean(bool value) {
  PutByte(0x01);  // AMF0 boolean marker
  PutByte(value ? 1 : 0);
}
