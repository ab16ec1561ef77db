// Keeps a device's timestamps on the device's own pacing across a clock jump.
// An encoder restart or a clock reset makes the timestamps leap forward or
// back while the samples keep arriving at their usual rate. Compared with the
// wall clock between two samples of one kind, such a leap stands out: the
// time moves on seconds more than the wall clock did, or goes back by
// seconds. The jump is taken out (the sample continues the time line by the
// wall clock's step, or by the kind's last step if that is larger: samples
// often come in bursts) and every later sample of that kind keeps the same
// shift. A delivery stall is no jump: the time moves on little
// while the wall clock moves on much, and the backlog keeps its own times.
//
// Kinds (video, audio, ...) are followed apart but share their shifts: when
// the second kind meets the same jump, it takes the shift the first one got,
// so sound and picture stay together.
//
// Not thread-safe: one caller at a time (the owner's lock or its one thread).
#pragma once

#include <array>
#include <cstdint>

class TClockRebase {
 public:
  static constexpr int kMaxKind = 10;
  // A time step this much beyond the wall clock's (or this far back) is a jump.
  static constexpr int64_t kJumpMs = 3000;

  // The time to use for a sample of `kind` (0..kMaxKind) that carries
  // `timeMs` and arrives at `nowMs` on a monotonic millisecond clock. A kind
  // out of range passes unchanged.
  int64_t Rebase(int kind, int64_t timeMs, int64_t nowMs);
  // Forgets every kind and shift (a new push).
  void Reset() { *this = TClockRebase(); }
  // Jumps taken out so far.
  uint32_t Jumps() const { return jumps_; }

 private:
  struct TKind {
    bool seen = false;
    int64_t shift = 0;    // added to the device's time
    int64_t lastOut = 0;  // the previous sample's time after the shift
    int64_t lastNow = 0;  // when it arrived
    int64_t lastStep = 0; // the time step before it, when it was no jump
  };
  static bool IsJump(int64_t step, int64_t wallStep);

  std::array<TKind, kMaxKind + 1> kinds_{};
  int64_t sharedShift_ = 0;  // the latest shift any kind took
  uint32_t jumps_ = 0;
};
