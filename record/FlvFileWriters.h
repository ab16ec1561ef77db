// One FLV file being written, so that it stays playable up to its last whole
// tag whatever happens to the process: tags are gathered in memory and go to
// the file in one write, and a write that fails part-way is cut back off the
// file. POSIX file calls (the platform part of the recording).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class TFlvFileWriter {
 public:
  TFlvFileWriter() = default;
  TFlvFileWriter(const TFlvFileWriter&) = delete;
  TFlvFileWriter& operator=(const TFlvFileWriter&) = delete;
  ~TFlvFileWriter() { Close(); }

  // Creates a new file (never replaces one). 0, or the errno value.
  int Create(const std::string& path);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  uint64_t Size() const { return size_; }

  // Gather the FLV file header (with PreviousTagSize0) and tags for the next Flush.
  void AddFileHeader(bool hasAudio);
  void AddTag(uint8_t type, uint32_t timeMs, const uint8_t* body, size_t length);
  // Writes what was gathered; on a failure the file is cut back to its size
  // before the call. Either way the gathered bytes are gone. 0, or the errno value.
  int Flush();

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::vector<uint8_t> pending_;
};

// FLV tag types.
constexpr uint8_t kFlvTagAudio = 8;
constexpr uint8_t kFlvTagVideo = 9;
constexpr uint8_t kFlvTagScript = 18;
// A tag's data size is a 24-bit field.
constexpr size_t kMaxFlvTagBody = 0xFFFFFF;
