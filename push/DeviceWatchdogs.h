// Watches the device's video: no video for kDeviceSilenceMs means the device
// is lost and its stream must be made again; it is back once it sends steadily.
// Plain logic on the push clock's milliseconds: the push's watching thread
// calls Step about four times a second.
#pragma once

#include <cstdint>
#include <deque>

// No video from the device for this long restarts the device stream.
constexpr int64_t kDeviceSilenceMs = 10000;

class TDeviceWatchdog {
 public:
  enum class TAction { None, Lost, Back, Restart };

  // A new push starts watching at `nowMs`.
  void Reset(int64_t nowMs);
  // Looks at the video count so far; `lost` is whether the device is
  // reported lost now. Lost and Restart also ask for a new device stream.
  TAction Step(int64_t nowMs, uint64_t totalVideoFrames, bool lost);

 private:
  uint64_t FramesSince(int64_t nowMs, int64_t spanMs, uint64_t total) const;

  struct TSample {
    int64_t Ms;
    uint64_t Frames;
  };
  std::deque<TSample> FHistory;  // the last kDeviceSilenceMs
  int64_t FStartMs = 0;
  int64_t FRestartMs = 0;
};
