#include "TickPlatform.h"

#include <windows.h>
#include <mmsystem.h>

namespace TickPlatform {

uint32_t ReadMilliseconds() { return timeGetTime(); }

uint32_t BeginFinestPeriod() {
  TIMECAPS caps{};
  uint32_t period = timeGetDevCaps(&caps, sizeof caps) == TIMERR_NOERROR ? caps.wPeriodMin : 1;
  timeBeginPeriod(period);
  return period;
}

void EndPeriod(uint32_t period) { timeEndPeriod(period); }

}  // namespace TickPlatform
