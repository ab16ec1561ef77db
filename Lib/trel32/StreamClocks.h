// Sample timestamps: one origin for video and audio, kept across reconnects,
// never going backwards within a stream.
#pragma once

#include <cstdint>

// The client's timeline in microseconds. Each RTSP session's times count
// from its own origin; the timeline places the first session at 0 and each
// later one where the previous one stopped plus the outage, so times continue
// without a backwards jump and without jumping further than the outage.
class TTimeline {
 public:
  // A session's time (µs) on the timeline; the first call of a session sets
  // the session's origin. Never before the session's base.
  int64_t Place(int64_t sessionUs);
  // Records that a sample at `lineUs` was handled at wall time `wallUs`.
  void Note(int64_t lineUs, int64_t wallUs);
  // A new session begins at wall time `wallUs`.
  void NewSession(int64_t wallUs);

 private:
  bool originSet_ = false;
  int64_t origin_ = 0;
  int64_t base_ = 0;
  bool anyNoted_ = false;
  int64_t lastLine_ = 0;
  int64_t lastWall_ = 0;
};

// One stream's clock: timeline microseconds to stream ticks (90 kHz, or the
// audio sample rate), kept strictly increasing.
class TStreamClock {
 public:
  // `rate` ticks per second; a time at or before the previous one becomes
  // the previous one plus `step` ticks.
  TStreamClock(int64_t rate, int64_t step) : rate_(rate), step_(step) {}
  int64_t Ticks(int64_t lineUs);
  void SetRate(int64_t rate, int64_t step);

 private:
  int64_t rate_;
  int64_t step_;
  bool any_ = false;
  int64_t last_ = 0;
};

// Microseconds of CLOCK_MONOTONIC.
int64_t WallMicroseconds();
