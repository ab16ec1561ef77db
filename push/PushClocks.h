// The push's one clock: every wait and every timer of the push reads and
// waits through it, so that tests can put a clock of their own in and run
// the reconnect schedule, the drain and the device watchdog in milliseconds.
#pragma once

#include <condition_variable>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

class TPushClock {
 public:
  virtual ~TPushClock() = default;
  // Milliseconds on a monotonic count that does not wrap.
  virtual int64_t NowMs() = 0;
  // Waits on `wake` (with `lock` held around each check) until `done` holds or
  // `ms` have passed on this clock; true when `done` held. `wake` is notified
  // by whoever changes what `done` reads.
  virtual bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, int64_t ms,
                       const std::function<bool()>& done) = 0;
  // A plain pause of `ms` on this clock (polling steps, the stop's wait).
  virtual void Sleep(int64_t ms);
};

// The steady clock of the machine.
class TSteadyPushClock : public TPushClock {
 public:
  int64_t NowMs() override;
  bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, int64_t ms,
               const std::function<bool()>& done) override;
};

// The process's steady clock, for pushes that are given none.
TPushClock& SteadyPushClock();

// A clock that moves only when told: NowMs stays put until Advance. A wait
// ends once its time has been advanced past (it looks again every real
// millisecond), or as soon as `done` holds. Sleep, a pause nobody waits out,
// moves the clock on by itself.
class TManualPushClock : public TPushClock {
 public:
  int64_t NowMs() override;
  bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, int64_t ms,
               const std::function<bool()>& done) override;
  void Sleep(int64_t ms) override;
  void Advance(int64_t ms);

 private:
  std::atomic<int64_t> FNow{1'000'000};
};
