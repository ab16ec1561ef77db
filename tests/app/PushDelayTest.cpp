// The push controller with the real delay buffer (TBufferWorker) on a clock
// the test moves: holding, header re-sends, release with rebased times, and
// a stop that never closes the sender under a release in progress.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "BufferWorkerAdapters.h"
#include "PushControllers.h"
#include "PushFakes.h"

using fakes::TFakeCapturer;
using fakes::TFakeSender;
using fakes::TSent;

namespace {

constexpr uint8_t kVideo = 4, kAudio = 129;

std::atomic<int64_t> now{1000000};
int64_t TestTicks() { return now.load(); }

std::vector<uint8_t> AccessUnit(uint8_t nalHeader) {
  std::vector<uint8_t> data(200, 0x11);
  data[0] = 0, data[1] = 0, data[2] = 0, data[3] = 1, data[4] = nalHeader;
  return data;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

struct Rig {
  TFakeSender sender;
  TFakeCapturer capturer;
  TConfig config{"/nonexistent/unused.reg"};
  TPushController controller{sender, capturer, config, BufferWorkerFactory(TestTicks)};
  Rig() {
    config.BufferTime = 1;
    controller.StopWaitStepMs = 1;
  }
};

}  // namespace

TEST(PushDelay, HoldsForTheDelayThenReleasesFromTheKeyFrame) {
  Rig rig;
  ASSERT_EQ(rig.controller.StartPush("d", "u", "p", "rtmp://h/a/b", false, 0, 554, 80), 0);
  ASSERT_TRUE(rig.controller.HasBufferWorker());
  rig.capturer.Deliver(kVideo, 1, AccessUnit(0x41), 86400);   // 960 ms, before the key frame
  rig.capturer.Deliver(kVideo, 2, AccessUnit(0x65), 90000);   // 1000 ms
  rig.capturer.Deliver(kAudio, 0, std::vector<uint8_t>(60, 0x22), 48000);
  rig.capturer.Deliver(kVideo, 1, AccessUnit(0x41), 93600);   // 1040 ms
  EXPECT_EQ(rig.sender.HeaderCount(), 2u) << "the first video sample of the interval re-sends the header";

  now += 500;
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(rig.sender.Sent().empty()) << "released before the delay";
  EXPECT_FALSE(rig.controller.Delivered());

  now += 600;  // past the delay for every sample held
  ASSERT_TRUE(WaitFor([&] { return rig.sender.Sent().size() == 3; }));
  std::vector<TSent> sent = rig.sender.Sent();
  EXPECT_EQ(sent[0].kind, 'V');
  EXPECT_EQ(sent[0].timeMs, 0u);
  EXPECT_TRUE(sent[0].isKey);
  EXPECT_EQ(sent[1].kind, 'A');
  EXPECT_EQ(sent[1].timeMs, 0u);
  EXPECT_EQ(sent[2].timeMs, 40u);
  EXPECT_TRUE(rig.controller.Delivered());

  rig.capturer.Deliver(kVideo, 1, AccessUnit(0x41), 183600);  // 2040 ms, a second after the last released
  EXPECT_EQ(rig.sender.HeaderCount(), 2u) << "no header after media went out";
  // The figure in the device's time, though the buffer adds its offset to
  // the times it releases.
  EXPECT_NEAR(rig.controller.CurrentDelaySeconds(), 1.0, 0.001);
  rig.controller.StopPush();
  EXPECT_FALSE(rig.controller.HasBufferWorker());
  EXPECT_EQ(rig.sender.closes, 1);
}

TEST(PushDelay, StopWaitsForTheReleaseUnderWayBeforeClosing) {
  Rig rig;
  ASSERT_EQ(rig.controller.StartPush("d", "u", "p", "rtmp://h/a/b", false, 0, 554, 80), 0);
  std::atomic<bool> inRelease{false};
  std::atomic<int> sendsAfterClose{0};
  rig.sender.onMedia = [&] {
    inRelease = true;
    {
      std::lock_guard<std::mutex> lock(rig.sender.mutex);
      if (rig.sender.closes > 0) ++sendsAfterClose;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    inRelease = false;
  };
  rig.capturer.Deliver(kVideo, 2, AccessUnit(0x65), 0);
  for (int i = 1; i < 20; ++i) rig.capturer.Deliver(kVideo, 1, AccessUnit(0x41), i * 3600);
  now += 1100;  // the first few samples are due, the rest stay held
  ASSERT_TRUE(WaitFor([&] { return inRelease.load(); }));
  rig.controller.StopPush();
  EXPECT_EQ(rig.sender.closes, 1);
  EXPECT_EQ(sendsAfterClose.load(), 0);
  EXPECT_LT(rig.sender.Sent().size(), 20u) << "held samples are dropped at the stop, not sent";
}
