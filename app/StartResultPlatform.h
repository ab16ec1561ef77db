// How launch mode tells the launching program the start result. Windows
// sends the launching window message 2135 (WM_USER + 1111) with the instance
// id and the result, and waits until it is handled; elsewhere a window handle
// means nothing to another program, so the result goes out as one line on
// standard output (StartResultLine).
#pragma once

#include <cstdint>

namespace StartResultPlatform {

constexpr unsigned WM_START_RESULT = 1024 + 1111;

// notifyWindow is the launch parameter hwndFrom; on Windows 0 sends nothing.
void Report(intptr_t notifyWindow, int32_t id, int32_t result);

}  // namespace StartResultPlatform
