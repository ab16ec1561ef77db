// What the sending side keeps of the media it has handed to the server, so
// that a broken connection loses nothing: while the connection is up, the
// current group of pictures (from the latest key frame on, already sent);
// while it is down, everything from that key frame on, up to a time span and
// a byte bound; past either bound only the latest group of pictures. After a
// reconnect, the kept messages go out again from the front, in their order
// and with their times.
//
// Not thread-safe: the push controller guards it with its send lock. The
// slots and their buffers are reused, so once the first groups of pictures
// have passed, keeping a message allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct TKeptMessage {
  int Stream = 0;       // kStreamVideo or kStreamAudio
  uint32_t TimeMs = 0;  // the time it was (or would have been) sent with
  bool IsKey = false;
  std::vector<uint8_t> Data;
};

class TOutageQueue {
 public:
  static constexpr uint32_t kDefaultSpanMs = 60000;
  static constexpr size_t kDefaultMaxBytes = 64u << 20;

  explicit TOutageQueue(uint32_t maxSpanMs = kDefaultSpanMs, size_t maxBytes = kDefaultMaxBytes);

  // Forgets everything (a new push).
  void Clear();
  // Keeps one message. A video key frame while nothing is pending drops the
  // sent group of pictures before it. Pending messages beyond a bound drop
  // everything before the latest key frame (counted in DroppedVideoFrames).
  void Add(int stream, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey);
  // Messages kept but not sent on the current connection.
  bool HasPending() const { return FSent < FCount; }
  size_t PendingCount() const { return FCount - FSent; }
  const TKeptMessage& NextPending() const { return FSlots[FSent]; }
  void MarkSent() { ++FSent; }
  // A new connection: everything kept is pending again, from the front.
  void ResendAll() { FSent = 0; }

  size_t Count() const { return FCount; }
  size_t Bytes() const { return FBytes; }
  size_t PeakBytes() const { return FPeakBytes; }
  // Video frames never sent because a bound was passed.
  uint64_t DroppedVideoFrames() const { return FDroppedVideo; }
  const TKeptMessage& At(size_t i) const { return FSlots[i]; }

 private:
  bool OverBound() const;
  // Moves the messages from `first` on to the front, reusing the slots.
  void DropBefore(size_t first);
  size_t LatestKeyFrame() const;  // FCount when there is none

  const uint32_t FMaxSpanMs;
  const size_t FMaxBytes;
  std::vector<TKeptMessage> FSlots;  // the first FCount are kept messages
  size_t FCount = 0;
  size_t FSent = 0;  // the first FSent went out on the current connection
  size_t FBytes = 0;
  size_t FPeakBytes = 0;
  uint64_t FDroppedVideo = 0;
};
