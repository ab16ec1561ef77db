// TSampleSort merges several timed sample streams into one sequence ordered by
// time, on a thread of its own, and hands each sample to a release handler.
// A sample leaves only while every stream has one waiting; the earliest head
// wins, equal times go to the lower stream index, and one stream's samples
// always leave in the order they were pushed. While a stream is empty the
// thread sleeps until the push that completes the set wakes it; otherwise it
// drains without pause.
//
// A bound can cap what waits: when the group stream's oldest media sample has
// waited longer than allowed, or the queues hold more bytes (a server that
// takes less than the stream's rate), whole groups of pictures are dropped
// from the oldest end: the group stream's samples up to its next key frame,
// so what goes out still decodes. The other streams (audio) are worth more
// per byte: their samples are dropped, oldest first, only while none of the
// group stream's is left to drop, so a link that carries them carries them
// whole. Samples pushed as kept (sequence headers, metadata) are never dropped.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// One heap block per sample: this header followed by the copy of the bytes.
// Owned by the sorter from Push until the handler returns (or Clear); then
// the block is freed, or kept as a spare for a later Push (a few at most), so
// a steady stream copies into warm memory instead of fresh pages.
struct TSortedSample {
  int32_t StreamIndex;
  uint8_t* Data;  // the copy right behind this header
  int32_t Length;
  int64_t Time;
  uint8_t KeyFlag;
  int32_t Extra;
  int64_t QueuedAt; // the bound's clock when pushed, in milliseconds
  bool Kept;        // never dropped by the bound
  size_t Capacity;  // bytes the block holds behind the header (blocks are reused)
};

// The release handler: a procedure bound to its owner object. Called on the
// sorter's thread without any lock held; data is valid only during the call.
using TSampleProc = void (*)(void* owner, int32_t streamIndex, const uint8_t* data, int32_t length,
                             int64_t time, uint8_t keyFlag, int32_t extra);
struct TSampleHandler {
  TSampleProc Proc = nullptr;
  void* Owner = nullptr;
};

class TSampleSort {
 public:
  // Starts the thread. A stream count of 0 or less raises an assertion error.
  explicit TSampleSort(int32_t streamCount);
  // Stops the thread and waits for it, then frees what is still queued
  // without calling the handler.
  ~TSampleSort();
  TSampleSort(const TSampleSort&) = delete;
  TSampleSort& operator=(const TSampleSort&) = delete;

  // Set by the owner before the first Push.
  void SetOnSample(TSampleHandler handler);

  // Copies the bytes into a new block and queues it. An index outside the
  // streams is ignored (true). False when the block could not be stored: the
  // failure is reported and that sample is lost, nothing else.
  bool Push(int32_t streamIndex, const uint8_t* data, int32_t length, int64_t time, uint8_t keyFlag,
            int32_t extra);
  // As Push, for a sample the bound never drops (a sequence header, metadata).
  bool PushKept(int32_t streamIndex, const uint8_t* data, int32_t length, int64_t time, uint8_t keyFlag,
                int32_t extra);

  // Caps how long the oldest media sample may wait and how many bytes may
  // wait; groups are cut at the key frames of `groupStream`. Waiting is
  // measured, not media time: a burst of media pushed faster than real time
  // is sent, not cut, as long as the server takes it. `clock` (milliseconds,
  // monotonic) is the steady clock unless a test gives its own. Set by the
  // owner before the first Push; unbounded until then.
  using TMillisecondClock = int64_t (*)();
  void SetBound(int64_t maxWaitMs, size_t maxBytes, int32_t groupStream, TMillisecondClock clock = nullptr);
  // A stream that will carry nothing (a video-only source): not waited for.
  // Set by the owner before the first Push.
  void SetStreamUnused(int32_t streamIndex);
  // Samples of a stream dropped by the bound so far.
  uint32_t Dropped(int32_t streamIndex) const;
  // The media waiting, as a time span (oldest to newest media sample).
  int64_t QueuedMs() const { return queuedMs_.load(std::memory_order_relaxed); }
  size_t QueuedBytes() const { return queuedBytes_.load(std::memory_order_relaxed); }

  // Frees every queued sample without calling the handler.
  void Clear();

  // Marks the thread terminated: nothing more is released, Push still queues.
  // Callable from any thread, the handler included.
  void Terminate();
  bool Terminated() const { return terminated_.load(std::memory_order_relaxed); }
  // Waits up to the time-out for the thread to end; true once it has.
  bool WaitFinished(std::chrono::milliseconds timeout);

  int32_t StreamCount() const { return streamCount_; }

 private:
  void Execute();
  bool PushSample(int32_t streamIndex, const uint8_t* data, int32_t length, int64_t time, uint8_t keyFlag,
                  int32_t extra, bool kept);
  // Under lock_: the bound. Dropped blocks go to `dropped`, freed by the caller unlocked.
  bool Admit(const TSortedSample& sample);  // false: counted as dropped, not queued
  void EnforceBound(std::vector<TSortedSample*>& dropped);
  bool OverBytes() const;
  bool GroupDroppable() const;
  bool OverWait(bool groupStreamOnly) const;
  int64_t MediaSpan() const;
  int64_t LongestWait(bool groupStreamOnly) const;
  bool DropOldestGroup(std::vector<TSortedSample*>& dropped);
  bool DropOldestOther(std::vector<TSortedSample*>& dropped);
  void DropAt(size_t stream, size_t index, std::vector<TSortedSample*>& dropped);
  void PublishFigures();
  bool EveryStreamWaiting() const;  // under lock_
  TSortedSample* TakeEarliestHead();  // under lock_
  TSortedSample* TakeBlock(size_t length);  // a spare that fits, or a new block; may throw
  void ReturnBlock(TSortedSample* sample);   // keeps it as a spare or frees it
  static void FreeBlock(TSortedSample* sample);

  mutable std::mutex lock_;
  std::condition_variable wake_;
  int32_t streamCount_;
  std::vector<std::deque<TSortedSample*>> queues_;
  std::vector<bool> unused_;  // streams not waited for; guarded by lock_
  TSampleHandler onSample_;  // guarded by lock_
  bool idle_ = false;        // the thread waits for a sample; guarded by lock_
  // The bound, set once before the first Push; 0 = none.
  int64_t maxWaitMs_ = 0;
  TMillisecondClock clock_ = nullptr;
  size_t maxBytes_ = 0;
  int32_t groupStream_ = 0;
  size_t bytes_ = 0;          // queued bytes; guarded by lock_
  bool awaitKey_ = false;     // the group stream's group was cut: drop until a key frame; guarded by lock_
  std::unique_ptr<std::atomic<uint32_t>[]> dropped_;  // per stream
  std::atomic<int64_t> queuedMs_{0};
  std::atomic<size_t> queuedBytes_{0};
  std::mutex spareLock_;
  std::vector<TSortedSample*> spare_;  // guarded by spareLock_
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  std::mutex finishedLock_;
  std::condition_variable finishedSignal_;
  std::thread thread_;
};
