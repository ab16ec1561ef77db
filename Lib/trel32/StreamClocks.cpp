#include "StreamClocks.h"

#include <algorithm>
#include <chrono>

int64_t TTimeline::Place(int64_t sessionUs) {
  if (!originSet_) {
    origin_ = sessionUs;
    originSet_ = true;
  }
  return std::max(sessionUs - origin_ + base_, base_);
}

void TTimeline::Note(int64_t lineUs, int64_t wallUs) {
  lastLine_ = anyNoted_ ? std::max(lastLine_, lineUs) : lineUs;
  lastWall_ = wallUs;
  anyNoted_ = true;
}

void TTimeline::NewSession(int64_t wallUs) {
  originSet_ = false;
  if (anyNoted_) base_ = lastLine_ + std::max<int64_t>(wallUs - lastWall_, 0);
}

int64_t TStreamClock::Ticks(int64_t lineUs) {
  // Rounded to the nearest tick, in two parts so that no product overflows
  // (the timeline never goes below 0).
  int64_t ticks = lineUs / 1000000 * rate_ + (lineUs % 1000000 * rate_ + 500000) / 1000000;
  if (any_ && ticks <= last_) ticks = last_ + step_;
  any_ = true;
  last_ = ticks;
  return ticks;
}

void TStreamClock::SetRate(int64_t rate, int64_t step) {
  rate_ = rate;
  step_ = step;
}

int64_t WallMicroseconds() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
