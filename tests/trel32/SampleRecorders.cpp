#include "SampleRecorders.h"

#include <thread>

void TREL32_CALL TSampleRecorder::Callback(int32_t channel, void* user, uint8_t stream, uint8_t frameType,
                                           const uint8_t* data, int32_t length, int64_t timestamp) {
  auto* self = static_cast<TSampleRecorder*>(user);
  self->lastChannel.store(channel);
  TRecordedSample sample{stream, frameType, std::vector<uint8_t>(data, data + length), timestamp,
                         std::chrono::steady_clock::now()};
  std::lock_guard guard(self->lock_);
  self->samples_.push_back(std::move(sample));
}

std::vector<TRecordedSample> TSampleRecorder::Samples() const {
  std::lock_guard guard(lock_);
  return samples_;
}

std::vector<TRecordedSample> TSampleRecorder::Samples(uint8_t stream) const {
  std::vector<TRecordedSample> matching;
  for (auto& sample : Samples())
    if (sample.stream == stream) matching.push_back(sample);
  return matching;
}

size_t TSampleRecorder::Count(uint8_t stream) const {
  std::lock_guard guard(lock_);
  size_t count = 0;
  for (auto& sample : samples_) count += sample.stream == stream ? 1 : 0;
  return count;
}

bool TSampleRecorder::WaitFor(uint8_t stream, size_t count, std::chrono::seconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (Count(stream) < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

void TSampleRecorder::Clear() {
  std::lock_guard guard(lock_);
  samples_.clear();
}
