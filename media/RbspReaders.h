// Reads a parameter set's payload bit by bit, as the H.264 and H.265 syntax
// tables describe it: emulation-prevention bytes (the 03 of 00 00 03) are
// removed first, and reading past the end yields zeros and marks the reader
// overrun, so a hostile set can never make a read leave its buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class TRbspReader {
 public:
  // `data` is the NAL unit's payload behind its header.
  TRbspReader(const uint8_t* data, size_t length);
  uint32_t Bits(int count);
  void Skip(size_t count);
  // ue(v); a code longer than 32 bits marks the reader overrun.
  uint32_t Unsigned();
  // se(v)
  int32_t Signed();
  bool Overrun() const { return overrun_; }
  // The payload without emulation-prevention bytes.
  const std::vector<uint8_t>& Payload() const { return rbsp_; }

 private:
  std::vector<uint8_t> rbsp_;
  size_t position_ = 0;
  bool overrun_ = false;
};
