// How far a connection's bytes have got, as the kernel tells it, and a send
// that judges the link by that progress. Platform unit: the implementation
// here is POSIX with Linux's TCP_INFO and SIOCOUTQ.
//
// A link is broken when the socket reports an error, or when the peer has
// acknowledged no byte for kStalledLinkLimit while data is outstanding. A
// slow link is congestion, not an outage: a blocked send waits, in short
// slices, for as long as bytes move.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace velmaro {

constexpr std::chrono::milliseconds kStalledLinkLimit{10000};
// The kernel's share of the queue: about a second of the stream, within these.
constexpr int kMinSendBuffer = 32 * 1024;
constexpr int kMaxSendBuffer = 2 * 1024 * 1024;

struct TLinkFigures {
  uint64_t Acknowledged = 0;  // bytes the peer has acknowledged so far
  uint64_t Outstanding = 0;   // bytes written but not yet acknowledged (unsent ones included)
};

// False when the socket gives no figures (not a TCP socket).
bool ReadLinkFigures(int fd, TLinkFigures& figures);

// Sizes the kernel's send buffer for `bytesPerSecond` of stream (a second of it).
void SizeSendBuffer(int fd, int64_t bytesPerSecond);

// Makes the socket's last close a reset: nothing unsent is delivered, the
// peer learns at once that the connection is gone.
void ResetOnClose(int fd);

// send() for a blocking socket: returns the bytes taken (at least one), or
// -1 with errno set (ETIMEDOUT when the link stalled; the connection is then
// reset and shut down, so every later send fails at once). Never raises SIGPIPE.
ssize_t SendWhileProgressing(int fd, const void* data, size_t length);

}  // namespace velmaro
