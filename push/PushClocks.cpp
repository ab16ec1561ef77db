#include "PushClocks.h"

#include <chrono>
#include <thread>

void TPushClock::Sleep(int64_t ms) {
  std::mutex mutex;
  std::condition_variable never;
  std::unique_lock<std::mutex> lock(mutex);
  WaitFor(lock, never, ms, [] { return false; });
}

int64_t TSteadyPushClock::NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool TSteadyPushClock::WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, int64_t ms,
                               const std::function<bool()>& done) {
  return wake.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms), done);
}

TPushClock& SteadyPushClock() {
  static TSteadyPushClock clock;
  return clock;
}

int64_t TManualPushClock::NowMs() { return FNow.load(); }

bool TManualPushClock::WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, int64_t ms,
                               const std::function<bool()>& done) {
  const int64_t deadline = FNow.load() + ms;
  while (!done()) {
    if (FNow.load() >= deadline) return false;
    wake.wait_for(lock, std::chrono::milliseconds(1));
  }
  return true;
}

void TManualPushClock::Sleep(int64_t ms) {
  Advance(ms);
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TManualPushClock::Advance(int64_t ms) { FNow.fetch_add(ms); }
