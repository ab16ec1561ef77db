// Without a delay the per-sample path runs on the client library's
// delivering thread and must not allocate: this binary counts every operator
// new while samples pass from the capturer's event to the sender. The copy of
// the current group of pictures kept for a reconnect reuses its storage, so
// the count starts once the first groups have passed, and stays at a few
// (the kept group's largest size) for over a thousand samples.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "PushControllers.h"
#include "PushFakes.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
}  // namespace

// The replacement pair hands out malloc blocks and frees them; GCC cannot
// see that the two belong together.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

TEST(PushAllocation, DirectPathAllocatesNothing) {
  fakes::TNullSender sender;
  fakes::TFakeCapturer capturer;
  TConfig config("/nonexistent/unused.reg");
  TPushController controller(sender, capturer, config, nullptr);
  controller.StopWaitStepMs = 1;
  ASSERT_EQ(controller.StartPush("d", "u", "p", "rtmp://h/a/b", false, 0, 554, 80), 0);
  std::vector<uint8_t> video(4000, 0x11), audio(300, 0x22);
  video[3] = 1;
  auto withAudio = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      capturer.Deliver(4, i % 25 == 0 ? 2 : 1, video, int64_t{i} * 3600);
      capturer.Deliver(129, 0, audio, int64_t{i} * 1920);
    }
  };
  // Audio that stops: the silence that fills in allocates nothing either.
  auto videoOnly = [&](int from, int to) {
    for (int i = from; i < to; ++i) capturer.Deliver(4, i % 25 == 0 ? 2 : 1, video, int64_t{i} * 3600);
  };
  withAudio(0, 100);
  videoOnly(100, 300);
  counting = true;
  withAudio(300, 700);
  videoOnly(700, 900);
  counting = false;
  // A few while the kept group reaches its largest size (the burst of silence
  // when audio stops); none per sample.
  EXPECT_LT(allocations.load(), 20);
  EXPECT_GT(sender.calls, 1000);
  controller.StopPush();
}
