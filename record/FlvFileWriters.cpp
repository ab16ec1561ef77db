#include "FlvFileWriters.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr size_t kTagHeaderSize = 11;
constexpr uint8_t kFlvHeaderSize = 9;

void PutUI24(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 16; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutUI32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

}  // namespace

int TFlvFileWriter::Create(const std::string& path) {
  Close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
  if (fd_ < 0) return errno;
  size_ = 0;
  pending_.clear();
  return 0;
}

void TFlvFileWriter::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

void TFlvFileWriter::AddFileHeader(bool hasAudio) {
  pending_.insert(pending_.end(), {'F', 'L', 'V', 1});               // signature, version 1
  pending_.push_back(static_cast<uint8_t>(hasAudio ? 0x05 : 0x01));  // TypeFlags: audio 0x04, video 0x01
  PutUI32(pending_, kFlvHeaderSize);                                 // DataOffset
  PutUI32(pending_, 0);                                              // PreviousTagSize0
}

void TFlvFileWriter::AddTag(uint8_t type, uint32_t timeMs, const uint8_t* body, size_t length) {
  pending_.push_back(type);                                // TagType
  PutUI24(pending_, static_cast<uint32_t>(length));        // DataSize
  PutUI24(pending_, timeMs & 0xFFFFFF);                    // Timestamp, lower 24 bits
  pending_.push_back(static_cast<uint8_t>(timeMs >> 24));  // TimestampExtended
  PutUI24(pending_, 0);                                    // StreamID, always 0
  pending_.insert(pending_.end(), body, body + length);
  PutUI32(pending_, static_cast<uint32_t>(kTagHeaderSize + length));  // PreviousTagSize
}

int TFlvFileWriter::Flush() {
  if (fd_ < 0) return EBADF;
  size_t done = 0;
  int error = 0;
  while (done < pending_.size()) {
    ssize_t n = ::pwrite(fd_, pending_.data() + done, pending_.size() - done, static_cast<off_t>(size_ + done));
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      error = n < 0 ? errno : ENOSPC;  // a write of nothing: no room
      break;
    }
  }
  if (error != 0 && done > 0 && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
    // The partial tag stays; readers stop at it. Nothing more is written.
  }
  if (error == 0) size_ += done;
  pending_.clear();
  return error;
}
