#include "ClockRebases.h"

#include <algorithm>

#include "Debugs.h"

namespace {

// Two's-complement arithmetic: hostile timestamps wrap, never overflow.
int64_t WrapAdd(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t WrapSub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

}  // namespace

bool TClockRebase::IsJump(int64_t step, int64_t wallStep) {
  if (wallStep < 0) wallStep = 0;
  return step < -kJumpMs || step > wallStep + kJumpMs;
}

int64_t TClockRebase::Rebase(int kind, int64_t timeMs, int64_t nowMs) {
  if (kind < 0 || kind > kMaxKind) return timeMs;
  TKind& k = kinds_[static_cast<size_t>(kind)];
  if (!k.seen) {
    // A kind that starts late joins the time line the others are on.
    k.seen = true;
    k.shift = sharedShift_;
  } else {
    int64_t wallStep = WrapSub(nowMs, k.lastNow);
    int64_t step = WrapSub(WrapAdd(timeMs, k.shift), k.lastOut);
    if (!IsJump(step, wallStep)) {
      k.lastStep = step > 0 ? step : 0;
    } else if (!IsJump(WrapSub(WrapAdd(timeMs, sharedShift_), k.lastOut), wallStep)) {
      k.shift = sharedShift_;  // another kind met this jump already
    } else {
      int64_t expected = WrapAdd(k.lastOut, std::max<int64_t>(std::max<int64_t>(wallStep, 0), k.lastStep));
      int64_t jump = WrapSub(timeMs, WrapSub(expected, k.shift));
      k.shift = WrapSub(expected, timeMs);
      sharedShift_ = k.shift;
      ++jumps_;
      DebugLogFmt("Clock jump of %lld ms on stream %d taken out", static_cast<long long>(jump), kind);
    }
  }
  k.lastOut = WrapAdd(timeMs, k.shift);
  k.lastNow = nowMs;
  return k.lastOut;
}
