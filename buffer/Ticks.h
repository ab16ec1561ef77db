// The process's millisecond clock for the delay buffer: the platform's 32-bit
// millisecond reading extended to 64 bits across wrap-arounds.
#pragma once

#include <cstdint>
#include <mutex>

// A 32-bit millisecond reading; the platform timer unless a test injects one.
using TMillisecondClock = uint32_t (*)();

class TTimeTicker {
 public:
  // Requests the finest timer period for as long as the ticker lives.
  explicit TTimeTicker(TMillisecondClock clock = nullptr);
  ~TTimeTicker();
  TTimeTicker(const TTimeTicker&) = delete;
  TTimeTicker& operator=(const TTimeTicker&) = delete;

  // The accumulated count. It follows the timer one for one and never goes
  // down, provided it is read at least once in every 2^32 ms (about 49.7
  // days). Safe from any thread.
  int64_t GetTicks();

  uint32_t CurrentPeriod() const { return Period; }

 private:
  TMillisecondClock Clock;
  uint32_t Period = 0;    // timer period requested from the platform; 0 once given back
  uint32_t LastTime = 0;  // the previous reading
  int64_t Total = 0;      // what GetTicks returns
  std::mutex Lock;        // guards LastTime and Total
};

// The shared ticker's count. The shared ticker comes into being at the first
// call, from whichever thread makes it, and lives until the process ends.
int64_t CurrentTicks();

// Adds the step from one 32-bit reading to the next to a total, taking one
// wrap-around of the reading into account.
int64_t ExtendTicks(int64_t total, uint32_t lastTime, uint32_t reading);
