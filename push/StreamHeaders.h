// The stream header a push begins with: what the device's stream says of
// itself (size, frame rate, audio, parameter sets) as the sender's record.
#pragma once

#include "PushSeams.h"

// Audio is announced only when the device describes an audio stream; the
// parameter sets lose a four-byte start code (a three-byte one stays).
TMediaHeader StreamHeader(const TCaptureInfo& info);
