#include "OutageQueues.h"

#include <utility>

namespace {
constexpr int kVideo = 1;  // kStreamVideo
}

TOutageQueue::TOutageQueue(uint32_t maxSpanMs, size_t maxBytes) : FMaxSpanMs(maxSpanMs), FMaxBytes(maxBytes) {
  FSlots.reserve(1024);
}

void TOutageQueue::Clear() {
  FCount = 0;
  FSent = 0;
  FBytes = 0;
  FPeakBytes = 0;
  FDroppedVideo = 0;
}

void TOutageQueue::Add(int stream, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey) {
  bool key = stream == kVideo && isKey;
  if (key && !HasPending()) DropBefore(FCount);  // the sent group is complete: a new one begins
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
  slot.IsKey = key;
  slot.Data.assign(data, data + length);
  FBytes += length;
  if (FBytes > FPeakBytes) FPeakBytes = FBytes;
  if (!OverBound()) return;
  if (!HasPending()) {
    // A group of pictures longer than the bounds, all of it sent: a
    // reconnect waits for the next key frame instead.
    DropBefore(FCount);
    return;
  }
  size_t latest = LatestKeyFrame();
  if (latest == FCount || latest == 0) {
    // One group of pictures that long: kept whole up to twice the bytes.
    if (FBytes <= 2 * FMaxBytes) return;
    latest = FCount;
  }
  for (size_t i = FSent; i < latest; ++i) FDroppedVideo += FSlots[i].Stream == kVideo;
  DropBefore(latest);
}

bool TOutageQueue::OverBound() const {
  if (FBytes > FMaxBytes) return true;
  // Audio may trail the video it follows: a message older than the front spans nothing.
  return FCount > 1 && FSlots[FCount - 1].TimeMs > FSlots[0].TimeMs &&
         FSlots[FCount - 1].TimeMs - FSlots[0].TimeMs > FMaxSpanMs;
}

size_t TOutageQueue::LatestKeyFrame() const {
  for (size_t i = FCount; i-- > 0;)
    if (FSlots[i].IsKey) return i;
  return FCount;
}

void TOutageQueue::DropBefore(size_t first) {
  for (size_t i = 0; i < first; ++i) FBytes -= FSlots[i].Data.size();
  // Swapping keeps every slot's buffer for reuse.
  for (size_t i = first; i < FCount; ++i) std::swap(FSlots[i - first], FSlots[i]);
  FCount -= first;
  FSent = FSent > first ? FSent - first : 0;
}
