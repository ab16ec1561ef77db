// Records what the library's callback delivers, for the tests to judge.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "trel32.h"

struct TRecordedSample {
  uint8_t stream = 0;
  uint8_t frameType = 0;
  std::vector<uint8_t> data;
  int64_t timestamp = 0;
  std::chrono::steady_clock::time_point arrival;
};

class TSampleRecorder {
 public:
  static void TREL32_CALL Callback(int32_t channel, void* user, uint8_t stream, uint8_t frameType,
                                   const uint8_t* data, int32_t length, int64_t timestamp);
  std::vector<TRecordedSample> Samples() const;
  std::vector<TRecordedSample> Samples(uint8_t stream) const;
  size_t Count(uint8_t stream) const;
  // Waits until `count` samples of the stream have come (false on time-out).
  bool WaitFor(uint8_t stream, size_t count, std::chrono::seconds timeout) const;
  void Clear();

  std::atomic<int32_t> lastChannel{-1};

 private:
  mutable std::mutex lock_;
  std::vector<TRecordedSample> samples_;
};
