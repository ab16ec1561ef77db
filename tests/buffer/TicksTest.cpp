#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Ticks.h"

namespace {

constexpr int64_t k2to32 = int64_t{1} << 32;

// A scripted 32-bit millisecond timer for the ticker.
std::vector<uint32_t> script;
size_t scriptPos = 0;
uint32_t ScriptedClock() { return script.at(scriptPos++); }

void Play(std::vector<uint32_t> readings) {
  script = std::move(readings);
  scriptPos = 0;
}

TEST(Ticks, WrapAroundAddsTheStepAcrossTheWrap) {
  EXPECT_EQ(ExtendTicks(1000, 0xFFFFFFF0u, 16), 1000 + 32);
  EXPECT_EQ(ExtendTicks(0, 0xFFFFFFFFu, 0), 1);
  EXPECT_EQ(ExtendTicks(5, 7, 7), 5) << "two readings in one millisecond add nothing";
}

TEST(Ticks, FirstReadingIsTheTimerItselfThenFollowsItAcrossWraps) {
  Play({0xFFFFFFF0u, 16, 16, 1000, 0xFFFFFFFFu, 5});
  TTimeTicker ticker(ScriptedClock);
  EXPECT_EQ(ticker.GetTicks(), k2to32 - 16);
  EXPECT_EQ(ticker.GetTicks(), k2to32 + 16) << "2^32-16 then 16 adds 32";
  EXPECT_EQ(ticker.GetTicks(), k2to32 + 16);
  EXPECT_EQ(ticker.GetTicks(), k2to32 + 1000);
  EXPECT_EQ(ticker.GetTicks(), 2 * k2to32 - 1);
  EXPECT_EQ(ticker.GetTicks(), 2 * k2to32 + 5) << "counts stay 64-bit past 2^32";
}

TEST(Ticks, CountNeverDecreasesOverManyWraps) {
  std::vector<uint32_t> readings;
  uint32_t t = 0xFFFF0000u;
  for (int i = 0; i < 5000; ++i) {
    t += 0x00FFFFFFu;  // several wraps, steps below 2^32
    readings.push_back(t);
  }
  Play(readings);
  TTimeTicker ticker(ScriptedClock);
  int64_t previous = ticker.GetTicks();
  for (size_t i = 1; i < readings.size(); ++i) {
    int64_t now = ticker.GetTicks();
    ASSERT_EQ(now - previous, 0x00FFFFFF) << "at reading " << i;
    previous = now;
  }
}

TEST(Ticks, PeriodIsRequestedForTheTickersLife) {
  Play({1});
  TTimeTicker ticker(ScriptedClock);
  EXPECT_GE(ticker.CurrentPeriod(), 1u);
}

TEST(Ticks, SharedTickerIsSafeToCreateFromManyThreads) {
  std::atomic<bool> backwards{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([&] {
      int64_t last = CurrentTicks();
      for (int k = 0; k < 2000; ++k) {
        int64_t now = CurrentTicks();
        if (now < last) backwards = true;
        last = now;
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_FALSE(backwards);
}

}  // namespace
