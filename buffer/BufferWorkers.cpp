#include "BufferWorkers.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "Debugs.h"
#include "ErrorReports.h"
#include "Ticks.h"

namespace {

// Two's-complement addition: hostile timestamps wrap as the ticker's own
// 64-bit arithmetic does, never into undefined behaviour.
int64_t WrapAdd(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
int64_t WrapSub(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

THeldSample* AllocateSample(const void* data, int32_t length) {
  void* block = std::malloc(sizeof(THeldSample) + static_cast<size_t>(length));
  if (block == nullptr) throw std::bad_alloc();
  auto* sample = new (block) THeldSample{};
  sample->Data = reinterpret_cast<uint8_t*>(sample + 1);
  sample->Length = length;
  if (length > 0) std::memcpy(sample->Data, data, static_cast<size_t>(length));
  return sample;
}

void FreeSample(THeldSample* sample) { std::free(sample); }

}  // namespace

TBufferWorker::TBufferWorker(TTickSource ticks) : Ticks(ticks != nullptr ? ticks : CurrentTicks) {
  FirstTick.fill(kUnset);
  FirstTime.fill(kUnset);
  Thread = std::thread([this] { Execute(); });
}

TBufferWorker::~TBufferWorker() {
  {
    std::lock_guard guard(StateLock);
    Terminated = true;
  }
  StateChanged.notify_all();
  Arrived.notify_all();
  Thread.join();
  Clear();
}

int TBufferWorker::SetDelay(uint32_t delayMs) {
  std::lock_guard guard(Lock);
  Delay_ = delayMs;
  if (delayMs > TimeOffset_) TimeOffset_ = delayMs;
  return 0;
}

uint32_t TBufferWorker::Delay() const {
  std::lock_guard guard(Lock);
  return Delay_;
}

uint32_t TBufferWorker::TimeOffset() const {
  std::lock_guard guard(Lock);
  return TimeOffset_;
}

size_t TBufferWorker::HeldCount() const {
  std::lock_guard guard(Lock);
  return Held.size();
}

void TBufferWorker::Start() {
  Ticks();  // the shared ticker comes into being here, on the caller's thread
  {
    std::lock_guard guard(StateLock);
    if (State == TThreadState::Ended) return;  // the release loop ended after an error
  }
  Reset();
  {
    std::lock_guard guard(StateLock);
    ++RunRequests;
  }
  StateChanged.notify_all();
}

void TBufferWorker::AddSample(int kind, const void* data, int32_t length, int64_t timeMs, bool isKey) {
  if (Stopping) return;
  if (kind < 0 || kind > kMaxKind || length < 0 || (data == nullptr && length > 0)) return;
  THeldSample* sample = AllocateSample(data, length);
  sample->Kind = static_cast<uint8_t>(kind);
  sample->IsKey = isKey;
  std::lock_guard guard(Lock);
  if (FirstTick[kind] == kUnset) FirstTick[kind] = Now();
  if (FirstTime[kind] == kUnset) FirstTime[kind] = timeMs;
  sample->ReleaseTick = WrapAdd(WrapAdd(FirstTick[kind], WrapSub(timeMs, FirstTime[kind])), Delay_);
  sample->Time = WrapAdd(timeMs, TimeOffset_);
  Held.push_back(sample);
  {
    // Taken so the count cannot change between an idle worker's look at it
    // and its wait: no wake-up is lost.
    std::lock_guard arrival(ArrivalLock);
    Arrivals.fetch_add(1);
  }
  Arrived.notify_one();
}

void TBufferWorker::Stop() {
  Stopping = true;
  Arrived.notify_all();
  std::unique_lock guard(StateLock);
  // A run that Start asked for but the thread has not begun is cancelled.
  RunsTaken = RunRequests;
  StateChanged.wait(guard, [this] { return State != TThreadState::Releasing; });
}

void TBufferWorker::Clear() {
  std::lock_guard guard(Lock);
  while (!Held.empty()) {
    FreeSample(Held.back());
    Held.pop_back();
  }
}

void TBufferWorker::Reset() {
  std::lock_guard guard(Lock);
  Clear();
  Stopping = false;
  FirstTick.fill(kUnset);
  FirstTime.fill(kUnset);
}

THeldSample* TBufferWorker::TakeDueSample() {
  std::lock_guard guard(Lock);
  if (Held.empty()) return nullptr;
  if (Delay_ == 0) {
    THeldSample* first = Held.front();
    Held.pop_front();
    return first;
  }
  size_t examined = std::min(Held.size(), kLookAhead);
  for (size_t i = 0; i < examined; ++i) {
    if (Held[i]->ReleaseTick <= WrapAdd(Now(), kEarlyMs)) {
      THeldSample* due = Held[i];
      Held.erase(Held.begin() + static_cast<std::ptrdiff_t>(i));
      return due;
    }
  }
  return nullptr;
}

void TBufferWorker::ReleaseSample(THeldSample* sample) {
  struct FreeOnExit {
    THeldSample* sample;
    ~FreeOnExit() { FreeSample(sample); }
  } owner{sample};
  if (OnSample) OnSample(sample->Kind, sample->Data, sample->Length, sample->Time, sample->IsKey);
}

// Stopping and termination are looked at only between runs, so a run that has
// begun releases every sample that is due.
void TBufferWorker::ReleaseLoop() {
  while (!Stopping && !Terminated) {
    while (THeldSample* sample = TakeDueSample()) ReleaseSample(sample);
    WaitForWork();
  }
}

// With samples held the worker looks again after 1 ms, which keeps releases
// within about a millisecond of their tick. With nothing held it sleeps until
// a sample arrives (or Stop, or at the latest after a short bound), so an
// idle worker costs next to nothing.
void TBufferWorker::WaitForWork() {
  uint64_t seen = Arrivals.load();
  if (HeldCount() != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return;
  }
  std::unique_lock guard(ArrivalLock);
  Arrived.wait_for(guard, std::chrono::milliseconds(20),
                   [&] { return Arrivals.load() != seen || Stopping || Terminated; });
}

void TBufferWorker::EndAfterError(const std::string& message) {
  ReportError("Exception", "TBufferWorker class raise an excepton: \r" + message);
  // Nothing will be released any more: drop new samples rather than hold
  // them, growing, until the push ends.
  Stopping = true;
  {
    std::lock_guard guard(StateLock);
    State = TThreadState::Ended;
  }
  StateChanged.notify_all();
}

void TBufferWorker::Execute() {
  for (;;) {
    {
      std::unique_lock guard(StateLock);
      StateChanged.wait(guard, [this] { return Terminated || RunsTaken != RunRequests; });
      if (Terminated) break;
      RunsTaken = RunRequests;
      State = TThreadState::Releasing;
    }
    try {
      ReleaseLoop();
    } catch (const std::exception& e) {
      EndAfterError(e.what());
      return;
    } catch (...) {
      EndAfterError("unknown exception");
      return;
    }
    {
      std::lock_guard guard(StateLock);
      State = TThreadState::Parked;
    }
    StateChanged.notify_all();
  }
}
