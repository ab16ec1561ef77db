// Latency of each media message through a push without delay, from the
// capturer's callback to the moment the message is handed to librtmp. Built
// only with the CMake option TIDECAST_LATENCY (for bench/relay/run.sh); in
// every other build TIDECAST_LATENCY_MARK(...) compiles to nothing and this
// unit is not linked.
//
// Four stamps per message, from the steady clock, matched by stream and
// RTMP timestamp (unique per stream: one access unit or one AAC frame each):
//   captured  the capturer's callback reaches the push controller; kept per
//             thread until the sender queues the message on that same thread
//   queued    the sender library has pushed the message body into its sorter
//   taken     the sorter's thread has taken it out to send it
//   sent      the body is handed to librtmp
// At process exit the percentiles go to the file named by TIDECAST_LATENCY_FILE,
// or to standard error, with how much later than audio the device delivers
// video of the same time (what the sorter's hold follows).
#pragma once

#include <cstdint>
#include <string>

// Streams as the sender's sorter numbers them.
enum : int { kLatencyVideo = 0, kLatencyAudio = 1 };

#ifdef TIDECAST_LATENCY

// One copy in the process (a shared library), reached from the program and
// from libvelmaro.so alike.
#define TIDECAST_LATENCY_API __attribute__((visibility("default")))
TIDECAST_LATENCY_API void LatencyCaptured(int stream);
TIDECAST_LATENCY_API void LatencyQueued(int stream, int64_t time);
TIDECAST_LATENCY_API void LatencyTaken(int stream, int64_t time);
TIDECAST_LATENCY_API void LatencySent(int stream, int64_t time);
// The lines written at exit: per stream ("video", "audio", "all") the count
// and p50/p99 in µs of total, processing (captured to queued plus taken to
// sent) and hold (queued to taken); then "skew video_after_audio_us".
TIDECAST_LATENCY_API std::string LatencyReport();

#define TIDECAST_LATENCY_MARK(call) call
#else
#define TIDECAST_LATENCY_MARK(call) ((void)0)
#endif
