// The push's traffic counters, shared by the intake (received), the
// destinations (sent) and the front ends that show them.
#pragma once

#include <atomic>
#include <cstdint>

struct TPushCounters {
  // Running totals since the start (the interval counters are the display's).
  std::atomic<uint64_t> FTotalRecvBytes{0};
  std::atomic<uint64_t> FTotalSentBytes{0};  // over every destination
  std::atomic<uint64_t> FTotalVideoFrames{0};
  std::atomic<uint64_t> FTotalAudioFrames{0};

  // The six interval counters, read and zeroed by the window each second.
  std::atomic<int32_t> FVideoFrames{0};
  std::atomic<int32_t> FAudioFrames{0};
  std::atomic<int32_t> FSentBytes{0};
  std::atomic<int32_t> FRecvBytes{0};
  std::atomic<int32_t> FVideoBits{0};
  std::atomic<int32_t> FAudioBits{0};

  // Goes up each time a supervising thread (a destination's, the device
  // watch) comes round, a reconnect attempt included: the service manager's
  // watchdog is fed only while it moves.
  std::atomic<uint64_t> FSupervisorBeats{0};

  void ResetTotals() {
    for (auto* total : {&FTotalRecvBytes, &FTotalSentBytes, &FTotalVideoFrames, &FTotalAudioFrames}) total->store(0);
  }
};
