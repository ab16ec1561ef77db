// AAC bytes the push controller makes itself: the AudioSpecificConfig of the
// stream header and a silent raw frame that keeps the stream flowing when the
// device's audio stops.
#pragma once

#include <cstdint>

// The ADTS header before each AAC frame a device sends (without CRC).
constexpr int32_t kAdtsHeaderBytes = 7;

// Writes the two-byte AudioSpecificConfig (ISO/IEC 14496-3) of an AAC-LC
// stream (object type 2) for the nine rates 8000, 11025, 12000, 16000, 22050,
// 24000, 32000, 44100 and 48000 Hz with the given channel configuration,
// sets length to 2 and returns true. `length` comes in as the capacity of
// `bytes`. Any other rate, or a capacity below 2: length 0, bytes untouched,
// false.
bool BuildAacConfig(int32_t sampleRate, uint8_t channelConfig, uint8_t* bytes, int32_t& length);

// The AudioSpecificConfig of the stream header: the computed AAC-LC one when
// it describes the device's stream, else the device's own bytes (another
// object type such as HE-AAC, a rate outside the nine, a 960-sample frame, a
// channel configuration other than `channelConfig`). `length` comes in as
// the capacity of `bytes`; false (length 0) when neither fits or exists.
bool ChooseAacConfig(int32_t sampleRate, uint8_t channelConfig, const uint8_t* deviceConfig,
                     int32_t deviceLength, uint8_t* bytes, int32_t& length);

// The channel configuration the stream header announces: the device's own
// count when it is 1 or 2, else 2.
uint8_t AacChannelConfig(int32_t deviceChannels);

// Samples per AAC-LC frame.
constexpr int kAacFrameSamples = 1024;

// One raw AAC-LC frame (no ADTS header) that decodes to 1024 samples of
// silence for channel configuration 1 (one single channel element) or 2 (one
// channel pair element). Returns its length in bytes (at most 8).
int32_t BuildSilentAacFrame(uint8_t channelConfig, uint8_t (&frame)[8]);
