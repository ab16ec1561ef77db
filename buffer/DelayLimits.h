// The longest delay a push may hold its stream back: the window's limit, the
// launch parameter's and the delay buffer's own bound. Header-only.
#pragma once

#include <cstdint>

constexpr int32_t kMaxDelaySeconds = 600;
