// Any bytes as the server's side of an open: the handshake and every reply
// the connect path reads, through the connection's real code (handshake and
// connect command in librtmp, our conversation loop and its checks) on one
// end of a socket pair. No input may crash, read or write out of bounds,
// leak, or keep the open past its bounds.
//
// Input: the bytes a server sends, from S0 on (a real server's replies are
// the seeds: S0 S1 S2, then the replies to connect, createStream, publish).
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "librtmp.h"

namespace {

using namespace velmaro;

// The whole input waits in the pair's buffer before the open starts, so the
// open never waits for the fuzzer; larger inputs add nothing an open reads.
constexpr size_t kMaxInput = 128 * 1024;
constexpr int kPairBuffer = 1024 * 1024;

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written <= 0) return false;
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return 0;
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) std::abort();
  for (int fd : pair) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kPairBuffer, sizeof kPairBuffer);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kPairBuffer, sizeof kPairBuffer);
  }
  // The server's end: everything it says, then the end of its stream. It
  // never reads, so what the client sends stays in the pair's buffer.
  if (!WriteAll(pair[1], data, size)) std::abort();
  shutdown(pair[1], SHUT_WR);

  auto connection = TRtmpConnection::Allocate();
  if (!connection) std::abort();
  char url[] = "rtmp://127.0.0.1/app/stream";
  if (connection->SetupURL(url) <= 0) std::abort();
  connection->EnableWrite();
  const TOpenBounds bounds(std::chrono::steady_clock::now() + std::chrono::seconds(5), nullptr);
  const auto started = std::chrono::steady_clock::now();
  if (connection->ConnectOnSocket(pair[0], bounds) == TOpenEnd::Done) connection->ConnectStream(bounds);
  // With every byte already there, an open that ran into its deadline hung.
  if (std::chrono::steady_clock::now() - started > std::chrono::seconds(4)) std::abort();
  connection->Close();
  close(pair[1]);
  return 0;
}
