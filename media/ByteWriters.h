// Big-endian fields and AMF0 values into a fixed buffer: the FLV tag bodies
// and the H.265 decoder configuration record are written with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Appends big-endian fields into a fixed buffer. It never writes past the
// buffer: a field that does not fit marks the writer overflowed instead.
class TByteWriter {
 public:
  TByteWriter(uint8_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  void PutByte(uint8_t value);
  void PutUI16(uint16_t value);
  void PutUI32(uint32_t value);
  void PutBytes(const uint8_t* data, size_t length);
  // AMF0: 16-bit length, then the bytes (object keys; string values after 0x02).
  void PutAMFString(std::string_view text);
  void PutAMFNumber(double value);   // 0x00, IEEE double big-endian
  void PutAMFBoolean(bool value);    // 0x01, one byte
  size_t Position() const { return position_; }
  bool Overflowed() const { return overflowed_; }

 private:
  bool Fits(size_t length);
  uint8_t* buffer_;
  size_t capacity_;
  size_t position_ = 0;
  bool overflowed_ = false;
};
