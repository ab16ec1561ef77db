// Judges what reached nginx-rtmp: the recording of one push.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// The recording decodes without an error line and holds H.264 (and AAC when
// `withAudio`); its first video packet is a key frame at time 0; audio starts
// with the video; each stream's times never go back; the packets are
// interleaved in time order; and at least `minVideoMs` of video arrived.
void ExpectCleanRecording(const std::string& path, bool withAudio, long long minVideoMs = 2000);

// The audio's channel count and sample rate as ffprobe reports them (0, 0
// without audio).
std::pair<int, int> AudioFormat(const std::string& path);

// The decoded audio's loudness per channel (RMS of 16-bit samples), in the
// channel layout the decoder itself produces.
std::vector<double> ChannelLoudness(const std::string& path);

// The time of the last video packet, in milliseconds (-1 without video).
long long LastVideoMs(const std::string& path);

}  // namespace testsupport
