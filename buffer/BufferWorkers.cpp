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

// Bounds a wait on the real ticker too, in case it and the wait's clock part.
constexpr int64_t kLongestWaitMs = 1000;
constexpr int64_t kInjectedClockLookMs = 2;

}  // namespace

TBufferWorker::TBufferWorker(TTickSource ticks)
    : Ticks(ticks != nullptr ? ticks : CurrentTicks), InjectedClock(ticks != nullptr) {
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
  WakeWorker();
  Thread.join();
  Clear();
}

int TBufferWorker::SetDelay(uint32_t delayMs) {
  delayMs = std::min(delayMs, kMaxDelayMs);
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

uint64_t TBufferWorker::HeldBytes() const {
  std::lock_guard guard(Lock);
  return HeldBytes_;
}

void TBufferWorker::SetHeldByteLimit(uint64_t bytes) {
  std::lock_guard guard(Lock);
  HeldByteLimit = bytes;
}

uint32_t TBufferWorker::ClockJumps() const {
  std::lock_guard guard(Lock);
  return Rebase.Jumps();
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
  int64_t releaseTick;
  {
    std::lock_guard guard(Lock);
    if (DropsUntilKey(*sample)) {
      Drop(sample);
      return;
    }
    int64_t now = Now();
    timeMs = Rebase.Rebase(kind, timeMs, now);
    if (FirstTick[kind] == kUnset) FirstTick[kind] = now;
    if (FirstTime[kind] == kUnset) FirstTime[kind] = timeMs;
    releaseTick = Delay_ == 0 ? now : WrapAdd(WrapAdd(FirstTick[kind], WrapSub(timeMs, FirstTime[kind])), Delay_);
    sample->ReleaseTick = releaseTick;
    sample->Time = WrapAdd(timeMs, TimeOffset_);
    Held.push_back(sample);
    HeldBytes_ += static_cast<uint64_t>(length);
    KeepWithinByteLimit();  // may free `sample`
  }
  bool wake;
  {
    // Counted under the lock so that a worker about to wait sees the change
    // and looks again: no wake-up is lost.
    std::lock_guard arrival(ArrivalLock);
    Arrivals.fetch_add(1);
    wake = WakeTick == kUnset || WrapSub(releaseTick, kEarlyMs) < WakeTick;
  }
  if (wake) Arrived.notify_one();
}

bool TBufferWorker::DropsUntilKey(const THeldSample& sample) {
  if (sample.IsKey) {
    KeyKind = sample.Kind;
    AwaitingKey = false;
  }
  return AwaitingKey && sample.Kind == KeyKind;
}

void TBufferWorker::Drop(THeldSample* sample) {
  FreeSample(sample);
  FramesDropped_.fetch_add(1);
}

// Drops whole groups of pictures from the oldest end: the first held sample
// and everything after it up to the next key frame.
void TBufferWorker::KeepWithinByteLimit() {
  while (HeldBytes_ > HeldByteLimit && !Held.empty()) {
    uint32_t before = FramesDropped_.load();
    do {
      HeldBytes_ -= static_cast<uint64_t>(Held.front()->Length);
      Drop(Held.front());
      Held.pop_front();
    } while (!Held.empty() && !Held.front()->IsKey);
    if (Held.empty()) AwaitingKey = KeyKind >= 0;
    DebugLogFmt("Delay buffer above %llu bytes: %u samples dropped", static_cast<unsigned long long>(HeldByteLimit),
                FramesDropped_.load() - before);
  }
}

void TBufferWorker::Stop() {
  Stopping = true;
  WakeWorker();
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
  HeldBytes_ = 0;
}

void TBufferWorker::Reset() {
  std::lock_guard guard(Lock);
  Clear();
  Stopping = false;
  FirstTick.fill(kUnset);
  FirstTime.fill(kUnset);
  Rebase.Reset();
  AwaitingKey = false;
}

// The first due sample among the first kLookAhead held; when none is due,
// `nextDue` says when the earliest of them will be (kUnset: nothing held).
THeldSample* TBufferWorker::TakeDueSample(int64_t& nextDue) {
  std::lock_guard guard(Lock);
  nextDue = kUnset;
  if (Held.empty()) return nullptr;
  int64_t now = Now();
  size_t examined = std::min(Held.size(), kLookAhead);
  for (size_t i = 0; i < examined; ++i) {
    int64_t due = WrapSub(Held[i]->ReleaseTick, kEarlyMs);
    if (Delay_ == 0 || due <= now) {
      THeldSample* taken = Held[i];
      Held.erase(Held.begin() + static_cast<std::ptrdiff_t>(i));
      HeldBytes_ -= static_cast<uint64_t>(taken->Length);
      return taken;
    }
    nextDue = std::min(nextDue, due);
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
    uint64_t seen = Arrivals.load();
    int64_t nextDue = kUnset;
    while (THeldSample* sample = TakeDueSample(nextDue)) ReleaseSample(sample);
    WaitForWork(seen, nextDue);
  }
}

// Sleeps until the next held sample is due (and kGatherMs more, to take the
// samples due just after it along), or until a sample arrives that is due
// sooner, or Stop. A worker holding ten seconds of a stream thus wakes less
// often than it releases instead of every millisecond; one holding nothing
// sleeps until a sample arrives (at most kLongestWaitMs at a time).
void TBufferWorker::WaitForWork(uint64_t seen, int64_t nextDue) {
  int64_t waitMs = kLongestWaitMs;
  if (nextDue != kUnset)
    waitMs = std::clamp<int64_t>(WrapSub(WrapAdd(nextDue, kGatherMs), Now()), 0, kLongestWaitMs);
  if (InjectedClock) waitMs = std::min(waitMs, kInjectedClockLookMs);
  std::unique_lock guard(ArrivalLock);
  WakeTick = nextDue;
  Arrived.wait_for(guard, std::chrono::milliseconds(waitMs),
                   [&] { return Arrivals.load() != seen || Stopping || Terminated; });
  WakeTick = kUnset;
}

// Taking the lock first: a worker between its look at the flags and its wait
// cannot miss the call.
void TBufferWorker::WakeWorker() {
  { std::lock_guard arrival(ArrivalLock); }
  Arrived.notify_all();
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
