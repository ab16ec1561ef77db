#include "SampleSorts.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "Assertions.h"
#include "ErrorReports.h"
#include "Latencies.h"

namespace {
constexpr int kStreamCountCheckLine = 80;
// A push that completes the set wakes the thread at once; this bound is only a
// safety net. Polling in 2 ms steps instead cost a wake-up 500 times a second
// for as long as one stream waits for the other, which is most of the time.
constexpr std::chrono::milliseconds kIdleRecheck{100};
constexpr size_t kMaxSpareBlocks = 8;

// Room for a little growth, so that the next frame of a similar size fits.
size_t BlockCapacity(size_t length) {
  const size_t granule = length >= 4096 ? 4096 : 256;
  size_t wanted = length + length / 8;
  return (wanted + granule - 1) / granule * granule;
}
}

TSampleSort::TSampleSort(int32_t streamCount) : streamCount_(streamCount) {
  if (streamCount <= 0)
    RaiseAssertion("TSampleSort.Create(), StreamCount must > 0!", "SampleSorts", kStreamCountCheckLine);
  queues_.resize(static_cast<size_t>(streamCount));
  spare_.reserve(kMaxSpareBlocks);  // returning a block never allocates
  thread_ = std::thread([this] { Execute(); });
}

TSampleSort::~TSampleSort() {
  Terminate();
  if (thread_.joinable()) thread_.join();
  Clear();
  for (TSortedSample* sample : spare_) FreeBlock(sample);
}

void TSampleSort::SetOnSample(TSampleHandler handler) {
  std::lock_guard guard(lock_);
  onSample_ = handler;
}

bool TSampleSort::Push(int32_t streamIndex, const uint8_t* data, int32_t length, int64_t time,
                       uint8_t keyFlag, int32_t extra) {
  if (streamIndex < 0 || streamIndex >= streamCount_) return true;
  if (length < 0 || (length > 0 && data == nullptr)) return false;
  TSortedSample* sample = nullptr;
  try {
    // Allocation and copy happen outside the lock; the lock only moves the pointer.
    sample = TakeBlock(static_cast<size_t>(length));
    sample->StreamIndex = streamIndex;
    sample->Length = length;
    sample->Time = time;
    sample->KeyFlag = keyFlag;
    sample->Extra = extra;
    if (length > 0) std::memcpy(sample->Data, data, static_cast<size_t>(length));
    TIDECAST_LATENCY_MARK(LatencyQueued(streamIndex, time));
    bool wake = false;
    {
      std::lock_guard guard(lock_);
      queues_[static_cast<size_t>(streamIndex)].push_back(sample);
      wake = idle_ && EveryStreamWaiting();
    }
    // Wake the thread only when it sleeps and now has work: a push while it
    // is busy costs no system call.
    if (wake) wake_.notify_one();
    return true;
  } catch (const std::exception& error) {
    FreeBlock(sample);
    ReportError("ERROR", std::string("TSampleSort.Push() ") + error.what());
  } catch (...) {
    FreeBlock(sample);
    ReportError("ERROR", "TSampleSort.Push() unknown error");
  }
  return false;
}

void TSampleSort::Clear() {
  std::deque<TSortedSample*> dropped;
  {
    std::lock_guard guard(lock_);
    for (auto& queue : queues_) {
      dropped.insert(dropped.end(), queue.begin(), queue.end());
      queue.clear();
    }
  }
  for (TSortedSample* sample : dropped) FreeBlock(sample);
}

TSortedSample* TSampleSort::TakeBlock(size_t length) {
  {
    std::lock_guard guard(spareLock_);
    for (size_t i = 0; i < spare_.size(); ++i) {
      if (spare_[i]->Capacity >= length) {
        TSortedSample* sample = spare_[i];
        spare_[i] = spare_.back();
        spare_.pop_back();
        return sample;
      }
    }
  }
  const size_t capacity = BlockCapacity(length);
  auto* sample = static_cast<TSortedSample*>(::operator new(sizeof(TSortedSample) + capacity));
  sample->Data = reinterpret_cast<uint8_t*>(sample + 1);
  sample->Capacity = capacity;
  return sample;
}

void TSampleSort::ReturnBlock(TSortedSample* sample) {
  {
    std::lock_guard guard(spareLock_);
    if (spare_.size() < kMaxSpareBlocks) {
      spare_.push_back(sample);
      return;
    }
  }
  FreeBlock(sample);
}

void TSampleSort::Terminate() {
  {
    // Set under the lock so the thread cannot miss the wake-up.
    std::lock_guard guard(lock_);
    terminated_.store(true, std::memory_order_relaxed);
  }
  wake_.notify_all();
}

bool TSampleSort::WaitFinished(std::chrono::milliseconds timeout) {
  std::unique_lock guard(finishedLock_);
  return finishedSignal_.wait_for(guard, timeout, [this] { return finished_.load(); });
}

bool TSampleSort::EveryStreamWaiting() const {
  for (const auto& queue : queues_)
    if (queue.empty()) return false;
  return true;
}

TSortedSample* TSampleSort::TakeEarliestHead() {
  size_t chosen = 0;
  for (size_t i = 1; i < queues_.size(); ++i)
    if (queues_[i].front()->Time < queues_[chosen].front()->Time) chosen = i;  // ties keep the lower index
  TSortedSample* sample = queues_[chosen].front();
  queues_[chosen].pop_front();
  return sample;
}

void TSampleSort::Execute() {
  for (;;) {
    TSortedSample* sample = nullptr;
    TSampleHandler handler;
    {
      std::unique_lock guard(lock_);
      if (!Terminated() && !EveryStreamWaiting()) {
        // Sleep until a push completes the set (or terminates the thread).
        idle_ = true;
        wake_.wait_for(guard, kIdleRecheck, [this] { return Terminated() || EveryStreamWaiting(); });
        idle_ = false;
      }
      if (Terminated()) break;
      if (!EveryStreamWaiting()) continue;
      sample = TakeEarliestHead();
      handler = onSample_;
    }
    TIDECAST_LATENCY_MARK(LatencyTaken(sample->StreamIndex, sample->Time));
    try {
      if (handler.Proc != nullptr)
        handler.Proc(handler.Owner, sample->StreamIndex, sample->Data, sample->Length, sample->Time,
                     sample->KeyFlag, sample->Extra);
    } catch (const std::exception& error) {
      // A handler's error must not end the process from this thread.
      ReportError("ERROR", std::string("TSampleSort ") + error.what());
    }
    ReturnBlock(sample);
  }
  {
    std::lock_guard guard(finishedLock_);
    finished_.store(true);
  }
  finishedSignal_.notify_all();
}

void TSampleSort::FreeBlock(TSortedSample* sample) { ::operator delete(sample); }
