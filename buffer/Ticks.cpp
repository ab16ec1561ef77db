#include "Ticks.h"

#include "TickPlatform.h"

int64_t ExtendTicks(int64_t total, uint32_t lastTime, uint32_t reading) {
  if (reading >= lastTime) return total + (reading - lastTime);
  // The timer wrapped: the rest up to 2^32 - 1, then the new reading, plus
  // the one step across the wrap.
  return total + (int64_t{0xFFFFFFFF} - lastTime) + reading + 1;
}

TTimeTicker::TTimeTicker(TMillisecondClock clock)
    : Clock(clock != nullptr ? clock : TickPlatform::ReadMilliseconds), Period(TickPlatform::BeginFinestPeriod()) {}

TTimeTicker::~TTimeTicker() {
  if (Period != 0) {
    TickPlatform::EndPeriod(Period);
    Period = 0;
  }
}

int64_t TTimeTicker::GetTicks() {
  std::lock_guard guard(Lock);
  uint32_t reading = Clock();
  Total = ExtendTicks(Total, LastTime, reading);
  LastTime = reading;
  return Total;
}

int64_t CurrentTicks() {
  // A function-local static is created exactly once, safely from any thread.
  static TTimeTicker shared;
  return shared.GetTicks();
}
