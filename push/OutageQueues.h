// What a destination keeps of the media it has handed to its server, so that
// a broken connection loses nothing. Three parts, front to back:
//   - the head: messages the sender has really sent (SentMediaMs), kept from
//     the key frame of their group of pictures on, so that a new connection
//     can start at a key frame;
//   - handed over but not yet confirmed sent (they may still wait in the
//     sender's queue when the connection breaks);
//   - pending: not handed over on the current connection.
// During an outage everything from the head on is kept, the outage's own
// messages up to a time span and a byte bound counted from the first message
// after the break, so an outage shorter than the span loses nothing however
// long the group before it was. Past a bound the oldest group of pictures
// goes (DropOldestGroup); a single group longer than a bound loses its oldest
// messages instead, never the newest. Everything kept, the head included,
// stays within twice the bounds. After a reconnect, the kept messages go
// out again from the front, in their order and with their times.
//
// Not thread-safe: its destination guards it. Slots and their buffers are
// reused, so once the first groups have passed keeping allocates nothing.
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
  // Keeps one message (pending), then applies the bounds.
  void Add(int stream, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey);
  // The sender has really sent every message up to `timeMs`: groups of
  // pictures wholly before the one holding it are let go.
  void ConfirmSent(uint32_t timeMs);
  // The connection broke: the outage's span counts from the next message.
  void OutageBegan();
  // The outage is over (everything kept went out again).
  void OutageEnded();

  bool HasPending() const { return FSent < FCount; }
  size_t PendingCount() const { return FCount - FSent; }
  const TKeptMessage& NextPending() const { return FSlots[FSent]; }
  void MarkSent() { ++FSent; }
  // A new connection: everything kept is pending again, from the front.
  void ResendAll() { FSent = 0; }
  // A video key frame is kept among the pending messages.
  bool PendingHasKeyFrame() const;

  size_t Count() const { return FCount; }
  size_t Bytes() const { return FBytes; }
  size_t PeakBytes() const { return FPeakBytes; }
  // Video frames never sent because a bound was passed.
  uint64_t DroppedVideoFrames() const { return FDroppedVideo; }
  const TKeptMessage& At(size_t i) const { return FSlots[i]; }

 private:
  static constexpr size_t kNone = static_cast<size_t>(-1);
  bool OverBound() const;
  // Where the bounded part begins: the outage's first message, else the
  // first message not confirmed sent.
  size_t BoundFrom() const;
  // How many messages from the front go when a bound is passed.
  size_t DropOldestGroup() const;
  // Moves the messages from `first` on to the front, reusing the slots;
  // video among them not confirmed sent counts as dropped.
  void DropFront(size_t first);

  const uint32_t FMaxSpanMs;
  const size_t FMaxBytes;
  std::vector<TKeptMessage> FSlots;  // the first FCount are kept messages
  size_t FCount = 0;
  size_t FConfirmed = 0;  // the first FConfirmed were really sent
  size_t FSent = 0;       // the first FSent were handed over on the current connection
  size_t FOutageFrom = kNone;
  size_t FBytes = 0;
  size_t FPeakBytes = 0;
  uint64_t FDroppedVideo = 0;
};
