// A device that switches its picture (another layout, another resolution)
// sends new parameter sets in the stream before the first picture that uses
// them. The header at the server must follow, or players that build their
// decoder from the sequence header break: this unit notices the change in a
// key frame and brings the header record up to date.
#pragma once

#include <cstddef>
#include <cstdint>

#include "velmaro.h"  // TMediaHeader

// Looks at the SPS and PPS (H.265: and VPS) that the access unit carries.
// When one differs from the header's, the header takes them (a set the unit
// lacks stays as it was), the picture size and, for H.264 when the new SPS
// has timing, the frame rate, and the result is true. An unreadable SPS
// changes nothing.
bool TakeParameterSetChange(const uint8_t* accessUnit, size_t length, TMediaHeader& header);
