#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BufferWorkers.h"
#include "ErrorReports.h"

namespace {

using namespace std::chrono_literals;

// The worker's "now", moved by the tests instead of sleeping.
std::atomic<int64_t> fakeNow{0};
int64_t FakeTicks() { return fakeNow.load(); }

struct TReleased {
  int kind;
  std::vector<uint8_t> bytes;
  int64_t time;
  bool key;
};

// Records every release; waits for them with a generous bound.
class TRecorder {
 public:
  void Bind(TBufferWorker& worker) {
    worker.OnSample = [this](int kind, const uint8_t* data, int32_t length, int64_t time, bool key) {
      std::lock_guard guard(lock_);
      released_.push_back({kind, std::vector<uint8_t>(data, data + length), time, key});
    };
  }
  bool WaitFor(size_t count, std::chrono::milliseconds timeout = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Count() < count) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  size_t Count() {
    std::lock_guard guard(lock_);
    return released_.size();
  }
  std::vector<TReleased> Released() {
    std::lock_guard guard(lock_);
    return released_;
  }

 private:
  std::mutex lock_;
  std::vector<TReleased> released_;
};

// Time enough for the worker's 1 ms polling to have looked many times; used
// only to show that something does NOT happen while "now" stands still.
void LetTheWorkerLook() { std::this_thread::sleep_for(60ms); }

void Add(TBufferWorker& worker, int kind, int64_t time, uint8_t tag = 0, bool key = false) {
  uint8_t bytes[3] = {tag, static_cast<uint8_t>(kind), 0x5A};
  worker.AddSample(kind, bytes, sizeof bytes, time, key);
}

class BufferWorker : public ::testing::Test {
 protected:
  void SetUp() override { fakeNow = 1'000'000; }
  void StartWith(uint32_t delay) {
    worker.SetDelay(delay);
    recorder.Bind(worker);
    worker.Start();
  }
  TBufferWorker worker{FakeTicks};
  TRecorder recorder;
};

TEST_F(BufferWorker, NoDelayReleasesInArrivalOrderWhateverTheTimes) {
  StartWith(0);
  Add(worker, 1, 5000, 1);
  Add(worker, 2, 10, 2);
  Add(worker, 1, -400, 3);
  ASSERT_TRUE(recorder.WaitFor(3));
  auto out = recorder.Released();
  EXPECT_EQ(out[0].bytes[0], 1);
  EXPECT_EQ(out[1].bytes[0], 2);
  EXPECT_EQ(out[2].bytes[0], 3);
}

TEST_F(BufferWorker, SampleLeavesTwentyMillisecondsEarlyNotBefore) {
  StartWith(3000);
  Add(worker, 1, 40, 7, true);
  fakeNow += 2979;
  LetTheWorkerLook();
  EXPECT_EQ(recorder.Count(), 0u) << "released more than 20 ms early";
  fakeNow += 1;
  ASSERT_TRUE(recorder.WaitFor(1));
  auto out = recorder.Released();
  EXPECT_EQ(out[0].kind, 1);
  EXPECT_EQ(out[0].time, 40 + 3000) << "time seen by the handler is the caller's plus TimeOffset";
  EXPECT_TRUE(out[0].key);
  EXPECT_EQ(out[0].bytes, (std::vector<uint8_t>{7, 1, 0x5A}));
}

TEST_F(BufferWorker, EachKindIsAnchoredAtItsOwnFirstArrival) {
  StartWith(1000);
  Add(worker, 1, 0, 1);  // video anchored now
  fakeNow += 500;
  Add(worker, 2, 0, 2);  // audio anchored 500 ms later
  fakeNow += 480;        // video due (1000 - 20 early), audio not
  ASSERT_TRUE(recorder.WaitFor(1));
  LetTheWorkerLook();
  ASSERT_EQ(recorder.Count(), 1u);
  EXPECT_EQ(recorder.Released()[0].kind, 1);
  fakeNow += 500;
  ASSERT_TRUE(recorder.WaitFor(2));
  EXPECT_EQ(recorder.Released()[1].kind, 2);
}

TEST_F(BufferWorker, EarlierTimestampIsDueSooner) {
  StartWith(1000);
  Add(worker, 1, 10'000, 1);  // anchor: due at +1000
  Add(worker, 1, 9'000, 2);   // 1000 ms before the anchor: due now
  ASSERT_TRUE(recorder.WaitFor(1));
  EXPECT_EQ(recorder.Released()[0].bytes[0], 2);
}

// A device's clock jumps (an encoder restart) in the middle of a stream that
// arrives at its usual pace. Forward, the jumped samples would wait the
// length of the jump and block the look-ahead; back, they would leave at once
// and ignore the delay. Either way the delay must stay what was set, and the
// times handed on must continue the time line.
TEST_F(BufferWorker, ClockJumpKeepsTheDelayAndTheTimeLine) {
  for (int64_t jump : {int64_t{60'000}, int64_t{-100'000}}) {
    fakeNow = 1'000'000;
    TBufferWorker jumping(FakeTicks);
    TRecorder seen;
    jumping.SetDelay(1000);
    seen.Bind(jumping);
    jumping.Start();
    for (int i = 0; i < 100; ++i) {
      fakeNow = 1'000'000 + i * 40;
      int64_t time = i * 40 + (i >= 50 ? jump : 0);
      Add(jumping, 1, time, static_cast<uint8_t>(i), i % 25 == 0);
      Add(jumping, 2, time + 5, static_cast<uint8_t>(i));
    }
    // Due now: what arrived up to 1000 - 20 ms ago, steps 0 to 74 of both kinds.
    ASSERT_TRUE(seen.WaitFor(150)) << "jump " << jump << ": released " << seen.Count();
    LetTheWorkerLook();
    EXPECT_EQ(seen.Count(), 150u) << "jump " << jump << ": samples left before their delay";
    EXPECT_EQ(jumping.HeldCount(), 50u);
    EXPECT_EQ(jumping.ClockJumps(), 1u) << "both kinds share one rebase";
    int64_t last[3] = {INT64_MIN, INT64_MIN, INT64_MIN};
    for (const TReleased& r : seen.Released()) {
      if (last[r.kind] != INT64_MIN) {
        EXPECT_GE(r.time - last[r.kind], 0) << "jump " << jump;
        EXPECT_LE(r.time - last[r.kind], 80) << "jump " << jump << ": a gap in the time line";
      }
      last[r.kind] = r.time;
    }
    EXPECT_LE(std::abs(last[1] + 5 - last[2]), 5) << "sound and picture drifted apart";
    jumping.Stop();
  }
}

// A stream with a long delay fills the byte limit: the oldest group of
// pictures goes, counted, and what is left still starts with a key frame. A
// group larger than the whole limit empties the buffer: its later pictures
// are dropped until the next key frame, while audio goes on.
TEST_F(BufferWorker, ByteLimitDropsWholeGroupsOfPicturesFromTheOldest) {
  StartWith(10'000);
  worker.SetHeldByteLimit(10'000);
  std::vector<uint8_t> picture(1000, 0x41), sound(100, 0x21);
  int64_t time = 0;
  auto addGroup = [&](int pictures) {
    for (int i = 0; i < pictures; ++i, time += 40) {
      worker.AddSample(1, picture.data(), 1000, time, i == 0);
      worker.AddSample(2, sound.data(), 100, time, false);
    }
  };
  addGroup(4);  // 4400 bytes
  addGroup(4);  // 8800
  EXPECT_EQ(worker.FramesDropped(), 0u);
  addGroup(2);  // 11000: the first group (8 samples) goes
  EXPECT_EQ(worker.FramesDropped(), 8u);
  EXPECT_EQ(worker.HeldBytes(), 6600u);
  addGroup(12);  // one group above the limit: everything goes
  EXPECT_LE(worker.HeldBytes(), 10'000u);
  uint32_t dropped = worker.FramesDropped();
  worker.AddSample(1, picture.data(), 1000, time, false);  // no key frame yet: dropped
  worker.AddSample(2, sound.data(), 100, time, false);     // audio goes on
  EXPECT_EQ(worker.FramesDropped(), dropped + 1);
  time += 40;
  addGroup(1);
  fakeNow += 20'000;
  size_t held = worker.HeldCount();
  ASSERT_TRUE(recorder.WaitFor(held));
  auto out = recorder.Released();
  auto firstVideo = std::find_if(out.begin(), out.end(), [](const TReleased& r) { return r.kind == 1; });
  ASSERT_NE(firstVideo, out.end());
  EXPECT_TRUE(firstVideo->key) << "the held stream does not start with a key frame";
}

TEST_F(BufferWorker, DueSampleBeyondTheFirstTwentyWaitsForOneOfThemToLeave) {
  StartWith(3000);
  for (int i = 0; i < 20; ++i) Add(worker, 1, 10'000 + i, static_cast<uint8_t>(i));
  Add(worker, 1, 8'000, 99);  // long due (2 s back: no clock jump), but 21st in the list
  LetTheWorkerLook();
  EXPECT_EQ(recorder.Count(), 0u) << "a sample beyond the first 20 places was taken";
  fakeNow += 2980;  // the first becomes due; the 21st moves into the window
  ASSERT_TRUE(recorder.WaitFor(2));
  auto out = recorder.Released();
  EXPECT_EQ(out[0].bytes[0], 0);
  EXPECT_EQ(out[1].bytes[0], 99);
}

TEST_F(BufferWorker, TimeOffsetOnlyGrows) {
  EXPECT_EQ(worker.TimeOffset(), 300u);
  EXPECT_EQ(worker.Delay(), 300u);
  EXPECT_EQ(worker.SetDelay(5000), 0);
  EXPECT_EQ(worker.TimeOffset(), 5000u);
  worker.SetDelay(1000);
  EXPECT_EQ(worker.Delay(), 1000u);
  EXPECT_EQ(worker.TimeOffset(), 5000u) << "lowering the delay lowered TimeOffset";
  TBufferWorker bounded(FakeTicks);
  bounded.SetDelay(3'600'000);
  EXPECT_EQ(bounded.Delay(), TBufferWorker::kMaxDelayMs) << "an hour's delay was taken";
  recorder.Bind(worker);
  worker.Start();
  Add(worker, 2, 20);
  fakeNow += 1000;
  ASSERT_TRUE(recorder.WaitFor(1));
  EXPECT_EQ(recorder.Released()[0].time, 5020);
}

TEST_F(BufferWorker, AfterStopNothingIsReleasedAndNewSamplesAreDropped) {
  StartWith(1000);
  Add(worker, 1, 0);
  Add(worker, 2, 0);
  worker.Stop();
  Add(worker, 1, 40);
  EXPECT_EQ(worker.HeldCount(), 2u) << "a sample added after Stop was kept";
  fakeNow += 10'000;
  LetTheWorkerLook();
  EXPECT_EQ(recorder.Count(), 0u) << "a held sample was released after Stop";
  worker.Start();  // a fresh run: empty list, fresh anchors
  EXPECT_EQ(worker.HeldCount(), 0u);
  Add(worker, 1, 0, 5);
  fakeNow += 1000;
  ASSERT_TRUE(recorder.WaitFor(1));
  EXPECT_EQ(recorder.Released()[0].bytes[0], 5);
}

TEST_F(BufferWorker, StopNeverReturnsWhileAHandlerRuns) {
  std::atomic<bool> inHandler{false};
  std::atomic<int> calls{0};
  std::atomic<bool> overlap{false};
  worker.OnSample = [&](int, const uint8_t*, int32_t, int64_t, bool) {
    inHandler = true;
    ++calls;
    std::this_thread::sleep_for(30ms);
    inHandler = false;
  };
  worker.SetDelay(0);
  for (int round = 0; round < 5; ++round) {
    worker.Start();
    for (int i = 0; i < 10; ++i) Add(worker, 1, i);
    while (calls == 0) std::this_thread::sleep_for(1ms);
    worker.Stop();
    if (inHandler) overlap = true;
    calls = 0;
  }
  EXPECT_FALSE(overlap) << "Stop returned while OnSample was running";
}

TEST_F(BufferWorker, StopIsSafeBeforeStartAndTwice) {
  TBufferWorker idle(FakeTicks);
  idle.Stop();  // never started: returns at once
  idle.Stop();
  StartWith(0);
  worker.Stop();
  worker.Stop();
  worker.Start();
  Add(worker, 1, 0);
  EXPECT_TRUE(recorder.WaitFor(1));
}

std::mutex reportLock;
std::vector<std::string> reports;
void Remember(const std::string& caption, const std::string& text) {
  std::lock_guard guard(reportLock);
  reports.push_back(caption + "|" + text);
}

TEST_F(BufferWorker, HandlerExceptionEndsTheLoopWithAReport) {
  reports.clear();
  SetErrorReportHandler(Remember);
  worker.OnSample = [](int, const uint8_t*, int32_t, int64_t, bool) { throw std::runtime_error("send broke"); };
  worker.SetDelay(0);
  worker.Start();
  Add(worker, 1, 0);
  for (int i = 0; i < 5000; ++i) {
    {
      std::lock_guard guard(reportLock);
      if (!reports.empty()) break;
    }
    std::this_thread::sleep_for(1ms);
  }
  SetErrorReportHandler(nullptr);
  std::lock_guard guard(reportLock);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "Exception|TBufferWorker class raise an excepton: \rsend broke");
  worker.Stop();  // the thread has ended: returns at once
  Add(worker, 1, 1);
  EXPECT_EQ(worker.HeldCount(), 0u) << "samples pile up after the release loop ended";
}

TEST_F(BufferWorker, DestructionFreesHeldSamplesWithoutReleasingThem) {
  std::atomic<int> calls{0};
  {
    TBufferWorker held(FakeTicks);
    held.SetDelay(60'000);
    held.OnSample = [&](int, const uint8_t*, int32_t, int64_t, bool) { ++calls; };
    held.Start();
    std::vector<uint8_t> big(100'000, 1);
    for (int i = 0; i < 50; ++i) held.AddSample(1, big.data(), static_cast<int32_t>(big.size()), i * 40, false);
    EXPECT_EQ(held.HeldCount(), 50u);
  }  // the leak checker catches a block not freed
  EXPECT_EQ(calls, 0);
}

TEST_F(BufferWorker, BadSamplesAreRefused) {
  StartWith(0);
  Add(worker, 11, 0);
  Add(worker, -1, 0);
  worker.AddSample(1, nullptr, 10, 0, false);
  uint8_t b = 0;
  worker.AddSample(1, &b, -5, 0, false);
  LetTheWorkerLook();
  EXPECT_EQ(recorder.Count(), 0u);
  Add(worker, 1, INT64_MIN, 1);  // extreme times wrap instead of overflowing
  Add(worker, 1, INT64_MAX, 2);
  EXPECT_TRUE(recorder.WaitFor(2));
}

TEST(BufferWorkerThreads, TwoProducersAndTheReleaserKeepEverySampleInKindOrder) {
  TBufferWorker worker;  // the real shared ticker
  std::mutex lock;
  std::vector<std::pair<int, int>> seen;
  worker.OnSample = [&](int kind, const uint8_t* data, int32_t, int64_t, bool) {
    int n = data[0] | (data[1] << 8);
    std::lock_guard guard(lock);
    seen.emplace_back(kind, n);
  };
  worker.SetDelay(1);  // due almost at once, but through the time rules
  worker.Start();
  constexpr int kPerKind = 2000;
  auto produce = [&](int kind) {
    for (int n = 0; n < kPerKind; ++n) {
      uint8_t bytes[2] = {static_cast<uint8_t>(n & 0xFF), static_cast<uint8_t>(n >> 8)};
      worker.AddSample(kind, bytes, 2, n, false);
      if (n % 100 == 0) std::this_thread::sleep_for(1ms);
    }
  };
  std::thread video(produce, 1), audio(produce, 2);
  video.join();
  audio.join();
  auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    {
      std::lock_guard guard(lock);
      if (seen.size() == 2 * kPerKind) break;
    }
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "not every sample was released";
    std::this_thread::sleep_for(5ms);
  }
  worker.Stop();
  int next[3] = {0, 0, 0};
  for (auto [kind, n] : seen) {
    ASSERT_EQ(n, next[kind]) << "kind " << kind << " out of order";
    ++next[kind];
  }
}

TEST(BufferWorkerRealTime, HoldsForTheDelayOnTheSharedTicker) {
  TBufferWorker worker;
  std::atomic<int64_t> releasedAfter{-1};
  auto start = std::chrono::steady_clock::now();
  worker.OnSample = [&](int, const uint8_t*, int32_t, int64_t, bool) {
    releasedAfter = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                        .count();
  };
  worker.SetDelay(300);
  worker.Start();
  uint8_t b = 1;
  worker.AddSample(1, &b, 1, 0, true);
  for (int i = 0; i < 5000 && releasedAfter < 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_GE(releasedAfter.load(), 279);
  EXPECT_LT(releasedAfter.load(), 3000);
}

}  // namespace
