// The platform's millisecond timer under the ticker. Windows reads winmm's
// timeGetTime and raises the system timer resolution while a ticker lives;
// POSIX reads CLOCK_MONOTONIC, whose resolution needs no raising.
#pragma once

#include <cstdint>

namespace TickPlatform {

// Milliseconds since an arbitrary origin, modulo 2^32.
uint32_t ReadMilliseconds();

// Requests the finest timer period the platform offers and returns it (1 when
// the platform cannot say); the period is given back with EndPeriod.
uint32_t BeginFinestPeriod();
void EndPeriod(uint32_t period);

}  // namespace TickPlatform
