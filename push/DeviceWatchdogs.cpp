#include "DeviceWatchdogs.h"

namespace {
// After its stream stalls, the client library still hands over a few pictures
// it had queued: a device counts as silent when it sent fewer than a handful
// in the whole span, and as back when it sends steadily.
constexpr uint64_t kFewFrames = 5;
// A new stream is given this long before it is judged.
constexpr int64_t kRestartGraceMs = 2000;
}  // namespace

void TDeviceWatchdog::Reset(int64_t nowMs) {
  FHistory.clear();
  FStartMs = FRestartMs = nowMs;
}

uint64_t TDeviceWatchdog::FramesSince(int64_t nowMs, int64_t spanMs, uint64_t total) const {
  // The newest sample at least spanMs old; the oldest kept when none is.
  const TSample* base = FHistory.empty() ? nullptr : &FHistory.front();
  for (const TSample& sample : FHistory)
    if (nowMs - sample.Ms >= spanMs) base = &sample;
  return base == nullptr ? 0 : total - base->Frames;
}

TDeviceWatchdog::TAction TDeviceWatchdog::Step(int64_t nowMs, uint64_t totalVideoFrames, bool lost) {
  FHistory.push_back({nowMs, totalVideoFrames});
  while (FHistory.size() > 2 && nowMs - FHistory[1].Ms >= kDeviceSilenceMs) FHistory.pop_front();
  const bool watchedLongEnough = nowMs - FStartMs >= kDeviceSilenceMs && nowMs - FRestartMs >= kRestartGraceMs;
  if (lost) {
    if (watchedLongEnough && FramesSince(nowMs, kRestartGraceMs, totalVideoFrames) >= kFewFrames) return TAction::Back;
    if (nowMs - FRestartMs < kDeviceSilenceMs) return TAction::None;
    FRestartMs = nowMs;
    return TAction::Restart;
  }
  if (!watchedLongEnough || FramesSince(nowMs, kDeviceSilenceMs, totalVideoFrames) >= kFewFrames) return TAction::None;
  FRestartMs = nowMs;
  return TAction::Lost;
}
