#include "SampleSorts.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "Assertions.h"
#include "ErrorReports.h"

namespace {
constexpr int kStreamCountCheckLine = 80;
}

TSampleSort::TSampleSort(int32_t streamCount) : streamCount_(streamCount) {
  if (streamCount <= 0)
    RaiseAssertion("TSampleSort.Create(), StreamCount must > 0!", "SampleSorts", kStreamCountCheckLine);
  queues_.resize(static_cast<size_t>(streamCount));
  thread_ = std::thread([this] { Execute(); });
}

TSampleSort::~TSampleSort() {
  Terminate();
  if (thread_.joinable()) thread_.join();
  Clear();
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
    void* block = ::operator new(sizeof(TSortedSample) + static_cast<size_t>(length));
    sample = static_cast<TSortedSample*>(block);
    sample->StreamIndex = streamIndex;
    sample->Data = reinterpret_cast<uint8_t*>(sample + 1);
    sample->Length = length;
    sample->Time = time;
    sample->KeyFlag = keyFlag;
    sample->Extra = extra;
    if (length > 0) std::memcpy(sample->Data, data, static_cast<size_t>(length));
    {
      std::lock_guard guard(lock_);
      queues_[static_cast<size_t>(streamIndex)].push_back(sample);
    }
    wake_.notify_one();
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
      wake_.wait(guard, [this] { return Terminated() || EveryStreamWaiting(); });
      if (Terminated()) break;
      sample = TakeEarliestHead();
      handler = onSample_;
    }
    try {
      if (handler.Proc != nullptr)
        handler.Proc(handler.Owner, sample->StreamIndex, sample->Data, sample->Length, sample->Time,
                     sample->KeyFlag, sample->Extra);
    } catch (const std::exception& error) {
      // A handler's error must not end the process from this thread.
      ReportError("ERROR", std::string("TSampleSort ") + error.what());
    }
    FreeBlock(sample);
  }
  {
    std::lock_guard guard(finishedLock_);
    finished_.store(true);
  }
  finishedSignal_.notify_all();
}

void TSampleSort::FreeBlock(TSortedSample* sample) { ::operator delete(sample); }
