// The stream header a push begins with: what the device's stream says of
// itself (size, frame rate, audio, parameter sets) as the sender's record.
#pragma once

#include <string>

#include "Configs.h"  // THevcFlv
#include "PushSeams.h"

// Audio is announced only when the device describes an audio stream; the
// parameter sets lose a four-byte start code (a three-byte one stays). H.265
// ("hevc") carries the decoder configuration record built from the device's
// VPS, SPS and PPS, with the picture size its SPS says when the device gave
// none; a record that cannot be built leaves the header's SpsLen 0.
TMediaHeader StreamHeader(const TCaptureInfo& info, THevcFlv hevcForm = THevcFlv::Enhanced);
// True for the video codecs the push carries (FFmpeg's names; empty: the
// device did not say, which is H.264).
bool IsCarriedVideoCodec(const std::string& codec);
// True when the header carries H.265 (either FLV form).
bool IsHevcHeader(const TMediaHeader& header);
