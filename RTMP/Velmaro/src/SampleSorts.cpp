#include "SampleSorts.h"

#include <algorithm>
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

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

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
  unused_.resize(static_cast<size_t>(streamCount), false);
  dropped_ = std::make_unique<std::atomic<uint32_t>[]>(static_cast<size_t>(streamCount));
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
  return PushSample(streamIndex, data, length, time, keyFlag, extra, false);
}

bool TSampleSort::PushKept(int32_t streamIndex, const uint8_t* data, int32_t length, int64_t time,
                           uint8_t keyFlag, int32_t extra) {
  return PushSample(streamIndex, data, length, time, keyFlag, extra, true);
}

void TSampleSort::SetBound(int64_t maxWaitMs, size_t maxBytes, int32_t groupStream, TMillisecondClock clock) {
  std::lock_guard guard(lock_);
  maxWaitMs_ = maxWaitMs;
  clock_ = clock != nullptr ? clock : &SteadyMilliseconds;
  maxBytes_ = maxBytes;
  groupStream_ = groupStream >= 0 && groupStream < streamCount_ ? groupStream : 0;
}

void TSampleSort::SetStreamUnused(int32_t streamIndex) {
  std::lock_guard guard(lock_);
  if (streamIndex >= 0 && streamIndex < streamCount_) unused_[static_cast<size_t>(streamIndex)] = true;
}

uint32_t TSampleSort::Dropped(int32_t streamIndex) const {
  if (streamIndex < 0 || streamIndex >= streamCount_) return 0;
  return dropped_[static_cast<size_t>(streamIndex)].load(std::memory_order_relaxed);
}

bool TSampleSort::PushSample(int32_t streamIndex, const uint8_t* data, int32_t length, int64_t time,
                             uint8_t keyFlag, int32_t extra, bool kept) {
  if (streamIndex < 0 || streamIndex >= streamCount_) return true;
  if (length < 0 || (length > 0 && data == nullptr)) return false;
  TSortedSample* sample = nullptr;
  std::vector<TSortedSample*> dropped;
  try {
    // Allocation and copy happen outside the lock; the lock only moves pointers.
    sample = TakeBlock(static_cast<size_t>(length));
    sample->StreamIndex = streamIndex;
    sample->Length = length;
    sample->Time = time;
    sample->KeyFlag = keyFlag;
    sample->Extra = extra;
    sample->Kept = kept;
    sample->QueuedAt = 0;
    if (length > 0) std::memcpy(sample->Data, data, static_cast<size_t>(length));
    TIDECAST_LATENCY_MARK(LatencyQueued(streamIndex, time));
    bool wake = false;
    {
      std::lock_guard guard(lock_);
      if (clock_ != nullptr) sample->QueuedAt = clock_();
      if (Admit(*sample)) {
        queues_[static_cast<size_t>(streamIndex)].push_back(sample);
        bytes_ += static_cast<size_t>(length);
        sample = nullptr;
        EnforceBound(dropped);
      }
      PublishFigures();
      wake = idle_ && EveryStreamWaiting();
    }
    if (sample != nullptr) dropped.push_back(sample);  // not admitted: part of a dropped group
    for (TSortedSample* block : dropped) ReturnBlock(block);
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

// ---- the bound (everything below runs under lock_) --------------------------

bool TSampleSort::Admit(const TSortedSample& sample) {
  if (sample.Kept || sample.StreamIndex != groupStream_ || !awaitKey_) return true;
  // The rest of a group whose start was dropped would not decode: it goes
  // too, up to the next key frame.
  if (sample.KeyFlag == 0) {
    dropped_[static_cast<size_t>(sample.StreamIndex)].fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  awaitKey_ = false;
  return true;
}

bool TSampleSort::OverBytes() const { return maxBytes_ > 0 && bytes_ > maxBytes_; }

bool TSampleSort::OverWait(bool groupStreamOnly) const {
  return maxWaitMs_ > 0 && LongestWait(groupStreamOnly) > maxWaitMs_;
}

// How long the oldest media sample has waited (kept samples left out), of
// the group stream or of all.
int64_t TSampleSort::LongestWait(bool groupStreamOnly) const {
  bool any = false;
  int64_t oldest = 0;
  for (size_t stream = 0; stream < queues_.size(); ++stream) {
    if (groupStreamOnly && static_cast<int32_t>(stream) != groupStream_) continue;
    const auto& queue = queues_[stream];
    auto first = std::find_if(queue.begin(), queue.end(), [](const TSortedSample* s) { return !s->Kept; });
    if (first == queue.end()) continue;
    oldest = any ? std::min(oldest, (*first)->QueuedAt) : (*first)->QueuedAt;
    any = true;
  }
  return any ? clock_() - oldest : 0;
}

// From the oldest to the newest media sample waiting (kept samples may
// carry any time and are left out).
int64_t TSampleSort::MediaSpan() const {
  bool any = false;
  int64_t oldest = 0;
  int64_t newest = 0;
  for (const auto& queue : queues_) {
    auto first = std::find_if(queue.begin(), queue.end(), [](const TSortedSample* s) { return !s->Kept; });
    if (first == queue.end()) continue;
    auto last = std::find_if(queue.rbegin(), queue.rend(), [](const TSortedSample* s) { return !s->Kept; });
    oldest = any ? std::min(oldest, (*first)->Time) : (*first)->Time;
    newest = any ? std::max(newest, (*last)->Time) : (*last)->Time;
    any = true;
  }
  return any ? newest - oldest : 0;
}

// Video goes first, by whole groups; the other streams only when no video
// is left to drop.
void TSampleSort::EnforceBound(std::vector<TSortedSample*>& dropped) {
  for (;;) {
    if ((OverBytes() || OverWait(true)) && DropOldestGroup(dropped)) continue;
    if ((OverBytes() || OverWait(false)) && !GroupDroppable() && DropOldestOther(dropped)) continue;
    return;
  }
}

bool TSampleSort::GroupDroppable() const {
  const auto& queue = queues_[static_cast<size_t>(groupStream_)];
  return std::any_of(queue.begin(), queue.end(), [](const TSortedSample* s) { return !s->Kept; });
}

void TSampleSort::DropAt(size_t stream, size_t index, std::vector<TSortedSample*>& dropped) {
  auto& queue = queues_[stream];
  TSortedSample* sample = queue[index];
  queue.erase(queue.begin() + static_cast<std::ptrdiff_t>(index));
  bytes_ -= static_cast<size_t>(sample->Length);
  dropped_[stream].fetch_add(1, std::memory_order_relaxed);
  dropped.push_back(sample);
}

// The oldest group of the group stream: its first droppable sample and every
// one after it up to the next key frame. Without a key frame waiting, the
// group stream drops until one arrives (Admit). The other streams' samples
// of the span stay: they still play without the pictures.
bool TSampleSort::DropOldestGroup(std::vector<TSortedSample*>& dropped) {
  const auto stream = static_cast<size_t>(groupStream_);
  auto& queue = queues_[stream];
  auto droppable = [&](size_t from) {
    while (from < queue.size() && queue[from]->Kept) ++from;
    return from;
  };
  size_t index = droppable(0);
  if (index >= queue.size()) return false;
  DropAt(stream, index, dropped);
  for (index = droppable(index); index < queue.size() && queue[index]->KeyFlag == 0; index = droppable(index))
    DropAt(stream, index, dropped);
  if (index >= queue.size()) awaitKey_ = true;
  return true;
}

// Without a group to cut (the group stream has nothing droppable waiting),
// the oldest droppable sample of the other streams goes.
bool TSampleSort::DropOldestOther(std::vector<TSortedSample*>& dropped) {
  size_t bestStream = queues_.size();
  size_t bestIndex = 0;
  for (size_t stream = 0; stream < queues_.size(); ++stream) {
    if (static_cast<int32_t>(stream) == groupStream_) continue;
    const auto& queue = queues_[stream];
    for (size_t i = 0; i < queue.size(); ++i) {
      if (queue[i]->Kept) continue;
      if (bestStream == queues_.size() || queue[i]->Time < queues_[bestStream][bestIndex]->Time) {
        bestStream = stream;
        bestIndex = i;
      }
      break;
    }
  }
  if (bestStream == queues_.size()) return false;
  DropAt(bestStream, bestIndex, dropped);
  return true;
}

void TSampleSort::PublishFigures() {
  queuedBytes_.store(bytes_, std::memory_order_relaxed);
  queuedMs_.store(MediaSpan(), std::memory_order_relaxed);
}

void TSampleSort::Clear() {
  std::deque<TSortedSample*> dropped;
  {
    std::lock_guard guard(lock_);
    for (auto& queue : queues_) {
      dropped.insert(dropped.end(), queue.begin(), queue.end());
      queue.clear();
    }
    bytes_ = 0;
    PublishFigures();
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
  bool any = false;
  for (size_t i = 0; i < queues_.size(); ++i) {
    if (queues_[i].empty() && !unused_[i]) return false;
    any = any || !queues_[i].empty();
  }
  return any;
}

TSortedSample* TSampleSort::TakeEarliestHead() {
  size_t chosen = queues_.size();
  for (size_t i = 0; i < queues_.size(); ++i) {
    if (queues_[i].empty()) continue;  // an unused stream
    if (chosen == queues_.size() || queues_[i].front()->Time < queues_[chosen].front()->Time)
      chosen = i;  // ties keep the lower index
  }
  TSortedSample* sample = queues_[chosen].front();
  queues_[chosen].pop_front();
  bytes_ -= static_cast<size_t>(sample->Length);
  PublishFigures();
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
