// The delay buffer: holds media samples back for a configured delay and hands
// each one, on a thread of its own, to a release handler once it is due.
// Release times follow the samples' own timestamps: the first sample of each
// kind is due Delay ms after it arrived, every later one Delay ms plus its
// timestamp distance from that first one, so releases keep the device's
// pacing even when samples arrive in bursts. A clock jump of the device is
// taken out first (TClockRebase), so it neither holds samples for the length
// of the jump nor lets them out early.
//
// Bounds: the delay is at most kMaxDelayMs, and the bytes held at most
// HeldByteLimit; past that the oldest group of pictures (from the first held
// sample up to the next key frame) is dropped and counted.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

#include "ClockRebases.h"
#include "DelayLimits.h"

// Release handler: kind (1 video, 2 audio), data (valid only during the call),
// length in bytes, time in ms (the caller's time plus TimeOffset), key flag.
using TBufferSampleEvent =
    std::function<void(int kind, const uint8_t* data, int32_t length, int64_t timeMs, bool isKey)>;

// Where the worker reads "now" in ticker milliseconds: CurrentTicks, unless a
// test injects its own clock.
using TTickSource = int64_t (*)();

// One held sample: this header and, in the same heap block, the copy of the
// sample bytes that Data points at. The worker owns the block from AddSample
// until it is freed right after its release, or discarded by Clear.
struct THeldSample {
  int64_t ReleaseTick;  // when the sample is due, in ticker ms
  uint8_t* Data;        // the copy following this header
  uint8_t Kind;         // 1 video, 2 audio
  bool IsKey;
  int64_t Time;         // the caller's time plus TimeOffset
  int32_t Length;
};

class TBufferWorker {
 public:
  static constexpr int kMaxKind = 10;
  static constexpr int64_t kUnset = std::numeric_limits<int64_t>::max();
  static constexpr size_t kLookAhead = 20;  // held samples examined per take
  static constexpr int64_t kEarlyMs = 20;   // a sample may leave this much before its tick
  // A sample may wait this much past the moment it may leave, so that samples
  // due close together leave in one wake-up: a sample leaves 20 to 10 ms
  // before its tick, which leaves 12 ms for a late wake-up on a busy machine.
  static constexpr int64_t kGatherMs = 10;
  static constexpr uint32_t kMaxDelayMs = uint32_t{kMaxDelaySeconds} * 1000;
  static constexpr uint64_t kDefaultHeldByteLimit = uint64_t{1} << 30;

  explicit TBufferWorker(TTickSource ticks = nullptr);
  ~TBufferWorker();
  TBufferWorker(const TBufferWorker&) = delete;
  TBufferWorker& operator=(const TBufferWorker&) = delete;

  // Sets the hold time (at most kMaxDelayMs: a larger one is cut to it);
  // raises TimeOffset to it when it is larger. Returns 0.
  int SetDelay(uint32_t delayMs);
  // The bytes held at most before the oldest group of pictures goes.
  void SetHeldByteLimit(uint64_t bytes);
  // Assigned before Start; called on the worker's thread, with no lock held.
  TBufferSampleEvent OnSample;
  // Reads the shared ticker once, Reset, then lets the thread release.
  void Start();
  // Copies the bytes, so the caller may reuse its buffer at once; callable
  // from any thread. Dropped while stopping, or for a kind outside 0..10 or a
  // negative length. Throws std::bad_alloc when the copy cannot be allocated.
  void AddSample(int kind, const void* data, int32_t length, int64_t timeMs, bool isKey);
  // When Stop returns no OnSample call is in progress and none starts until
  // the next Start; held samples stay held and are never released. Returns at
  // once on a worker that never started, whose release loop ended after an
  // exception, or that is already stopped.
  void Stop();
  // Discards every held sample without releasing it.
  void Clear();
  // Clear, then accept samples again with fresh per-kind anchors.
  void Reset();

  uint32_t Delay() const;
  uint32_t TimeOffset() const;
  size_t HeldCount() const;
  uint64_t HeldBytes() const;
  // Samples dropped to keep within the byte limit, since construction.
  uint32_t FramesDropped() const { return FramesDropped_.load(); }
  // Clock jumps taken out since the last Start.
  uint32_t ClockJumps() const;

 private:
  enum class TThreadState { Idle, Releasing, Parked, Ended };

  void Execute();
  void ReleaseLoop();
  THeldSample* TakeDueSample(int64_t& nextDue);
  void ReleaseSample(THeldSample* sample);
  void EndAfterError(const std::string& message);
  void WaitForWork(uint64_t seen, int64_t nextDue);
  void WakeWorker();
  void Drop(THeldSample* sample);
  void KeepWithinByteLimit();
  bool DropsUntilKey(const THeldSample& sample);
  int64_t Now() const { return Ticks(); }

  TTickSource Ticks;
  // A test's clock can move at any moment, not only as real time passes: the
  // worker then looks at it at least every kInjectedClockLookMs.
  const bool InjectedClock;
  mutable std::recursive_mutex Lock;  // guards the held list, the anchors, Delay and TimeOffset
  std::deque<THeldSample*> Held;      // in arrival order
  uint32_t TimeOffset_ = 300;
  uint32_t Delay_ = 300;
  std::array<int64_t, kMaxKind + 1> FirstTick;
  std::array<int64_t, kMaxKind + 1> FirstTime;
  TClockRebase Rebase;
  uint64_t HeldBytes_ = 0;
  uint64_t HeldByteLimit = kDefaultHeldByteLimit;
  // After a drop that emptied the list: samples of the key frames' kind are
  // dropped until the next key frame, so nothing undecodable goes out.
  int KeyKind = -1;
  bool AwaitingKey = false;
  std::atomic<uint32_t> FramesDropped_{0};

  // Set by Stop, cleared by Reset; while set nothing is released and
  // AddSample drops its sample.
  std::atomic<bool> Stopping{false};
  // The thread's side of the park-and-wait handshake (it is never suspended):
  // it releases while Releasing, and otherwise waits until Start asks for
  // another run (RunRequests) or the worker is destroyed.
  std::mutex StateLock;
  std::condition_variable StateChanged;
  TThreadState State = TThreadState::Idle;
  uint64_t RunRequests = 0;
  uint64_t RunsTaken = 0;
  std::atomic<bool> Terminated{false};
  // Wakes the worker when a sample arrives that is due before the worker
  // means to look again (WakeTick; kUnset while it holds nothing).
  std::mutex ArrivalLock;
  std::condition_variable Arrived;
  std::atomic<uint64_t> Arrivals{0};
  int64_t WakeTick = kUnset;  // guarded by ArrivalLock
  std::thread Thread;
};
