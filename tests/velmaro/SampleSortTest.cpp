// The sample sorter: time order across streams, push order within one,
// nothing released while a stream is empty, and queued samples freed (not
// handed out) when the sorter goes away.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Assertions.h"
#include "SampleSorts.h"

namespace {

using namespace std::chrono_literals;

struct TReleased {
  int32_t stream;
  int64_t time;
  std::vector<uint8_t> data;
  uint8_t key;
  int32_t extra;
  bool operator==(const TReleased& o) const {
    return stream == o.stream && time == o.time && data == o.data && key == o.key && extra == o.extra;
  }
};

std::ostream& operator<<(std::ostream& out, const TReleased& r) {
  return out << "{stream " << r.stream << " at " << r.time << "}";
}

// Records what the sorter releases, on the sorter's thread.
class TRecorder {
 public:
  static void OnSample(void* self, int32_t stream, const uint8_t* data, int32_t length, int64_t time, uint8_t key,
                       int32_t extra) {
    auto* recorder = static_cast<TRecorder*>(self);
    std::lock_guard guard(recorder->lock_);
    recorder->released_.push_back({stream, time, std::vector<uint8_t>(data, data + length), key, extra});
    if (recorder->terminateOnFirst_ != nullptr) recorder->terminateOnFirst_->Terminate();
  }
  TSampleHandler Handler() { return {&TRecorder::OnSample, this}; }

  // Waits (bounded) until `count` samples were released, then returns them.
  std::vector<TReleased> WaitFor(size_t count, std::chrono::milliseconds timeout = 5000ms) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard guard(lock_);
        if (released_.size() >= count) break;
      }
      std::this_thread::sleep_for(1ms);
    }
    return Released();
  }
  std::vector<TReleased> Released() {
    std::lock_guard guard(lock_);
    return released_;
  }
  std::vector<std::pair<int32_t, int64_t>> Order() {
    std::vector<std::pair<int32_t, int64_t>> order;
    for (const TReleased& r : Released()) order.emplace_back(r.stream, r.time);
    return order;
  }
  TSampleSort* terminateOnFirst_ = nullptr;

 private:
  std::mutex lock_;
  std::vector<TReleased> released_;
};

void PushAt(TSampleSort& sorter, int32_t stream, int64_t time) {
  const uint8_t byte = static_cast<uint8_t>(time);
  ASSERT_TRUE(sorter.Push(stream, &byte, 1, time, 0, 0));
}

using TOrder = std::vector<std::pair<int32_t, int64_t>>;

// A sorter of two streams (0 video, 1 audio, as the sender library uses it)
// whose releases are recorded.
class TwoStreamSort : public ::testing::Test {
 protected:
  TwoStreamSort() { sorter.SetOnSample(recorder.Handler()); }
  TRecorder recorder;
  TSampleSort sorter{2};
};

TEST_F(TwoStreamSort, MergesStreamsByTimeAndGivesTiesToTheLowerStream) {
  for (int64_t t : {0, 40, 80}) PushAt(sorter, 0, t);
  for (int64_t t : {0, 20, 40, 60, 100}) PushAt(sorter, 1, t);
  recorder.WaitFor(7);
  std::this_thread::sleep_for(30ms);  // nothing more may leave: the video queue is empty
  EXPECT_EQ(recorder.Order(), (TOrder{{0, 0}, {1, 0}, {1, 20}, {0, 40}, {1, 40}, {1, 60}, {0, 80}}));
}

TEST_F(TwoStreamSort, HoldsOneStreamUntilTheOtherHasASample) {
  PushAt(sorter, 0, 0);
  PushAt(sorter, 0, 40);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(recorder.Released().empty()) << "video left while the audio queue was empty";
  PushAt(sorter, 1, 100);
  recorder.WaitFor(2);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(recorder.Order(), (TOrder{{0, 0}, {0, 40}}));
}

TEST_F(TwoStreamSort, AStreamWhoseTimesGoBackwardsKeepsItsPushOrder) {
  PushAt(sorter, 0, 100);
  PushAt(sorter, 0, 50);
  PushAt(sorter, 1, 200);
  recorder.WaitFor(2);
  EXPECT_EQ(recorder.Order(), (TOrder{{0, 100}, {0, 50}}));
}

TEST_F(TwoStreamSort, IgnoresStreamIndicesOutsideItsStreams) {
  PushAt(sorter, 2, -10);
  PushAt(sorter, -1, -10);
  PushAt(sorter, 0, 0);
  PushAt(sorter, 1, 10);
  recorder.WaitFor(1);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(recorder.Order(), (TOrder{{0, 0}}));
}

TEST(SampleSort, OneStreamLeavesInPushOrderAndCarriesEveryField) {
  TRecorder recorder;
  TSampleSort sorter(1);
  sorter.SetOnSample(recorder.Handler());
  std::vector<uint8_t> bytes = {1, 2, 3};
  ASSERT_TRUE(sorter.Push(0, bytes.data(), 3, 5000000000LL, 1, -7));
  bytes = {9, 9, 9};  // the sorter copied the caller's buffer
  ASSERT_TRUE(sorter.Push(0, bytes.data(), 3, 10, 0, 42));
  auto released = recorder.WaitFor(2);
  ASSERT_EQ(released.size(), 2u);
  EXPECT_EQ(released[0], (TReleased{0, 5000000000LL, {1, 2, 3}, 1, -7}));
  EXPECT_EQ(released[1], (TReleased{0, 10, {9, 9, 9}, 0, 42}));
}

TEST(SampleSort, DestructionFreesQueuedSamplesWithoutCallingTheHandler) {
  TRecorder recorder;
  {
    TSampleSort sorter(2);
    sorter.SetOnSample(recorder.Handler());
    std::vector<uint8_t> big(100000, 0xAB);
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(sorter.Push(0, big.data(), static_cast<int32_t>(big.size()), i, 0, 0));
  }  // LeakSanitizer fails the run if a block is left behind
  EXPECT_TRUE(recorder.Released().empty());
}

TEST(SampleSort, TerminatedByItsOwnerItReleasesNothingMoreButStillQueues) {
  TRecorder recorder;
  TSampleSort sorter(1);
  recorder.terminateOnFirst_ = &sorter;
  sorter.SetOnSample(recorder.Handler());
  PushAt(sorter, 0, 1);
  ASSERT_TRUE(sorter.WaitFinished(5000ms)) << "the thread did not end after Terminate";
  PushAt(sorter, 0, 2);
  EXPECT_EQ(recorder.Order(), (TOrder{{0, 1}}));
}

TEST(SampleSort, RefusesAStreamCountBelowOne) {
  for (int32_t count : {0, -3}) {
    try {
      TSampleSort sorter(count);
      ADD_FAILURE() << "a sorter with " << count << " streams was built";
    } catch (const EAssertionFailed& error) {
      EXPECT_STREQ(error.what(), "TSampleSort.Create(), StreamCount must > 0! (SampleSorts, line 80)");
    }
  }
}

// Both streams pushed from their own threads (as the host program does):
// the merged output stays in time order.
TEST_F(TwoStreamSort, ConcurrentPushersStillYieldTimeOrder) {
  auto pusher = [this](int32_t stream, int64_t step) {
    for (int64_t t = 0; t < 400 * step; t += step) {
      uint8_t byte = 0;
      sorter.Push(stream, &byte, 1, t, 0, 0);
      if (t % (20 * step) == 0) std::this_thread::yield();
    }
  };
  std::thread video(pusher, 0, 40), audio(pusher, 1, 21);
  video.join();
  audio.join();
  PushAt(sorter, 0, 1000000);  // flush: everything before this leaves
  PushAt(sorter, 1, 1000000);
  auto released = recorder.WaitFor(800);
  ASSERT_GE(released.size(), 800u);
  for (size_t i = 1; i < released.size(); ++i) ASSERT_LE(released[i - 1].time, released[i].time) << "at " << i;
}

// A server slower than the stream: the sorter's thread is held in its first
// release while the rest queues. Past the bound whole groups of video go from
// the oldest end, never a kept sample; the audio stays while video is left to
// drop, and goes (oldest first) only once none is; the counts say what went.
// The bound's clock, moved by the test as a live source would move it.
std::atomic<int64_t> gNowMs{0};
int64_t TestNow() { return gNowMs.load(); }

TEST(SampleSortBound, DropsWholeGroupsFromTheOldestEndAndKeepsKeptSamples) {
  std::promise<void> gateOpen;
  std::shared_future<void> gate = gateOpen.get_future().share();
  struct TGatedRecorder {
    TRecorder recorder;
    std::shared_future<void> gate;
    static void OnSample(void* self, int32_t s, const uint8_t* d, int32_t n, int64_t t, uint8_t k, int32_t e) {
      auto* me = static_cast<TGatedRecorder*>(self);
      me->gate.wait();
      TRecorder::OnSample(&me->recorder, s, d, n, t, k, e);
    }
  } gated{{}, gate};
  TSampleSort sorter(2);
  gNowMs = 0;
  sorter.SetBound(150, 0, 0, &TestNow);
  sorter.SetOnSample({&TGatedRecorder::OnSample, &gated});
  auto video = [&](int64_t t, bool key) {
    const uint8_t b = 0;
    EXPECT_TRUE(sorter.Push(0, &b, 1, t, key ? 1 : 0, 0));
  };
  video(0, true);
  const uint8_t b = 0;
  EXPECT_TRUE(sorter.Push(1, &b, 1, 0, 0, 0));  // the thread takes video 0 and waits at the gate
  std::this_thread::sleep_for(30ms);
  const uint8_t header = 0x17;
  EXPECT_TRUE(sorter.PushKept(0, &header, 1, 50, 1, 0));  // no ASSERT before the gate opens  // a sequence header mid-stream
  for (int64_t t = 40; t <= 480; t += 40) {
    gNowMs = t;  // pushed live: each sample when its time comes
    video(t, t % 160 == 0);  // key frames at 160, 320, 480
    EXPECT_TRUE(sorter.Push(1, &b, 1, t - 20, 0, 0));
  }
  // Cut at 160 (video 40-120), at 320 (video 160-280) and at 480 (video
  // 320-440); every audio sample stays.
  EXPECT_EQ(sorter.Dropped(0), 11u);
  EXPECT_EQ(sorter.Dropped(1), 0u);
  EXPECT_EQ(sorter.QueuedMs(), 480);
  EXPECT_EQ(sorter.QueuedBytes(), 15u);  // the kept header, audio 0-460, video 480

  // Much later: video 480 goes, and with no video left the stale audio too.
  gNowMs = 1000;
  EXPECT_TRUE(sorter.Push(1, &b, 1, 500, 0, 0));
  EXPECT_EQ(sorter.Dropped(0), 12u);
  EXPECT_EQ(sorter.Dropped(1), 13u);
  EXPECT_EQ(sorter.QueuedBytes(), 2u);  // the kept header, audio 500

  gateOpen.set_value();
  video(520, true);
  gated.recorder.WaitFor(3);
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(gated.recorder.Order(), (TOrder{{0, 0}, {0, 50}, {1, 500}}));
}

// A video-only stream: the unused audio stream is not waited for.
TEST(SampleSort, AnUnusedStreamIsNotWaitedFor) {
  TRecorder recorder;
  TSampleSort sorter(2);
  sorter.SetStreamUnused(1);
  sorter.SetOnSample(recorder.Handler());
  for (int64_t t : {0, 40, 80}) PushAt(sorter, 0, t);
  recorder.WaitFor(3);
  EXPECT_EQ(recorder.Order(), (TOrder{{0, 0}, {0, 40}, {0, 80}}));
}

}  // namespace
