#include "OutageQueues.h"

#include <algorithm>
#include <utility>

#include "PushSeams.h"

TOutageQueue::TOutageQueue(uint32_t maxSpanMs, size_t maxBytes) : FMaxSpanMs(maxSpanMs), FMaxBytes(maxBytes) {
  FSlots.reserve(1024);
}

void TOutageQueue::Clear() {
  FCount = FConfirmed = FSent = 0;
  FOutageFrom = kNone;
  FBytes = FPeakBytes = 0;
  FDroppedVideo = 0;
}

void TOutageQueue::Add(int stream, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey) {
  if (FCount == FSlots.size()) FSlots.emplace_back();
  TKeptMessage& slot = FSlots[FCount++];
  if (slot.Data.capacity() < length) {
    // A spare slot (of a dropped group) may have room: its buffer is taken.
    for (size_t spare = FCount; spare < FSlots.size(); ++spare)
      if (FSlots[spare].Data.capacity() >= length) {
        std::swap(slot.Data, FSlots[spare].Data);
        break;
      }
  }
  slot.Stream = stream;
  slot.TimeMs = timeMs;
  slot.IsKey = stream == kStreamVideo && isKey;
  slot.Data.assign(data, data + length);
  FBytes += length;
  FPeakBytes = std::max(FPeakBytes, FBytes);
  while (FCount > 1 && OverBound()) DropFront(DropOldestGroup());
}

void TOutageQueue::ConfirmSent(uint32_t timeMs) {
  // Confirmed messages are among those handed over; the last key frame among
  // them at or before `timeMs` starts the group still needed.
  size_t keyFrame = 0;
  for (size_t i = 0; i < FSent && FSlots[i].TimeMs <= timeMs; ++i) {
    if (FSlots[i].IsKey) keyFrame = i;
    FConfirmed = std::max(FConfirmed, i + 1);
  }
  if (keyFrame > 0) DropFront(keyFrame);
}

void TOutageQueue::OutageBegan() {
  if (FOutageFrom == kNone) FOutageFrom = FCount;
}

void TOutageQueue::OutageEnded() { FOutageFrom = kNone; }

bool TOutageQueue::PendingHasKeyFrame() const {
  for (size_t i = FSent; i < FCount; ++i)
    if (FSlots[i].IsKey) return true;
  return false;
}

size_t TOutageQueue::BoundFrom() const { return FOutageFrom != kNone ? FOutageFrom : FConfirmed; }

bool TOutageQueue::OverBound() const {
  // Everything kept, the sent head of a long group included, stays within
  // twice the bounds.
  const uint32_t front = FSlots[0].TimeMs, newest = FSlots[FCount - 1].TimeMs;
  if (FBytes > 2 * FMaxBytes || (newest > front && newest - front > 2 * FMaxSpanMs)) return true;
  const size_t from = BoundFrom();
  if (from >= FCount) return false;
  size_t bytes = 0;
  for (size_t i = from; i < FCount; ++i) bytes += FSlots[i].Data.size();
  if (bytes > FMaxBytes) return true;
  // Audio may trail the video it follows: a message older than the start spans nothing.
  const uint32_t first = FSlots[from].TimeMs, last = FSlots[FCount - 1].TimeMs;
  return last > first && last - first > FMaxSpanMs;
}

size_t TOutageQueue::DropOldestGroup() const {
  // The oldest group of pictures: everything before the second key frame.
  for (size_t i = 1; i < FCount; ++i)
    if (FSlots[i].IsKey) return i;
  // One group longer than a bound: its oldest eighth of the span goes, the
  // newest messages stay (a stream that refreshes inside its pictures heals).
  const uint32_t last = FSlots[FCount - 1].TimeMs;
  size_t cut = 1;
  while (cut < FCount - 1 && last > FSlots[cut].TimeMs && last - FSlots[cut].TimeMs > FMaxSpanMs / 8 * 7) ++cut;
  return cut;
}

void TOutageQueue::DropFront(size_t first) {
  first = std::min(first, FCount);
  for (size_t i = 0; i < first; ++i) {
    FBytes -= FSlots[i].Data.size();
    if (i >= FConfirmed && FSlots[i].Stream == kStreamVideo) ++FDroppedVideo;
  }
  // Swapping keeps every slot's buffer for reuse.
  for (size_t i = first; i < FCount; ++i) std::swap(FSlots[i - first], FSlots[i]);
  FCount -= first;
  auto shift = [first](size_t& index) { index = index > first ? index - first : 0; };
  shift(FConfirmed);
  shift(FSent);
  if (FOutageFrom != kNone) shift(FOutageFrom);
}
