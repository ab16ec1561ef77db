#include "TickPlatform.h"

#include <ctime>

namespace TickPlatform {

uint32_t ReadMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

// The monotonic clock and nanosleep are already accurate to well under a
// millisecond: there is no system-wide resolution to raise.
uint32_t BeginFinestPeriod() { return 1; }
void EndPeriod(uint32_t) {}

}  // namespace TickPlatform
