// How far a connection's bytes have got, as the kernel tells it, and a send
// that judges the link by that progress. Platform unit: the implementation
// here is POSIX with Linux's TCP_INFO and SIOCOUTQ.
//
// A link is broken when the socket reports an error, or when the peer has
// acknowledged no byte for kStalledLinkLimit while data is outstanding. A
// slow link is congestion, not an outage: a blocked send waits, in short
// slices, for as long as bytes move. The kernel is given at most
// kMaxUnsentBytes not yet sent (what is in flight is the network's), so the
// sender's own queue is the real one and the sender chooses what is dropped;
// the send buffer itself stays auto-tuned, so a long fast path still fills.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace velmaro {

constexpr std::chrono::milliseconds kStalledLinkLimit{10000};
// A fixed cap rather than a second of the stream: the rate a stream header
// names is often nominal (the program's says 10 Mbit/s). 64 KiB is under 3 s
// of a 24 KB/s uplink and an eighth of a second of a 4 Mbit/s stream.
constexpr int kMaxUnsentBytes = 64 * 1024;

struct TLinkFigures {
  uint64_t Acknowledged = 0;  // bytes the peer has acknowledged so far
  uint64_t Outstanding = 0;   // bytes written but not yet acknowledged (unsent ones included)
};

// False when the socket gives no figures (not a TCP socket).
bool ReadLinkFigures(int fd, TLinkFigures& figures);

// Makes the socket wake a waiting writer as soon as fewer than
// kMaxUnsentBytes wait unsent (SendWhileProgressing keeps below that).
void LimitUnsent(int fd);

// Makes the socket's last close a reset: nothing unsent is delivered, the
// peer learns at once that the connection is gone.
void ResetOnClose(int fd);

// send() for a blocking socket: returns the bytes taken (at least one), or
// -1 with errno set (ETIMEDOUT when the link stalled; the connection is then
// reset and shut down, so every later send fails at once). Never raises SIGPIPE.
ssize_t SendWhileProgressing(int fd, const void* data, size_t length);

}  // namespace velmaro
