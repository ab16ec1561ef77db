#include "LinkProgresses.h"

#include <linux/sockios.h>
#include <linux/tcp.h>  // the kernel's tcp_info: glibc's lacks the byte counts
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

namespace velmaro {
namespace {

// A blocked send looks at the link this often (and so sees a shutdown soon).
constexpr int kSendSliceMs = 200;

}  // namespace

bool ReadLinkFigures(int fd, TLinkFigures& figures) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
  int outstanding = 0;
  if (ioctl(fd, SIOCOUTQ, &outstanding) != 0) outstanding = 0;
  figures.Acknowledged = info.tcpi_bytes_acked;
  figures.Outstanding = static_cast<uint64_t>(std::max(outstanding, 0));
  return true;
}

void SizeSendBuffer(int fd, int64_t bytesPerSecond) {
  // Linux doubles the value for its bookkeeping; about half of that is payload.
  int size = static_cast<int>(std::clamp<int64_t>(bytesPerSecond, kMinSendBuffer, kMaxSendBuffer));
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
}

void ResetOnClose(int fd) {
  linger abort{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

ssize_t SendWhileProgressing(int fd, const void* data, size_t length) {
  using TClock = std::chrono::steady_clock;
  TLinkFigures figures;
  bool known = ReadLinkFigures(fd, figures);
  uint64_t acknowledged = figures.Acknowledged;
  auto lastProgress = TClock::now();
  for (;;) {
    ssize_t sent = send(fd, data, length, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent >= 0) return sent;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    pollfd ready{fd, POLLOUT, 0};
    if (poll(&ready, 1, kSendSliceMs) < 0 && errno != EINTR) return -1;
    if (known && ReadLinkFigures(fd, figures) && figures.Acknowledged != acknowledged) {
      acknowledged = figures.Acknowledged;
      lastProgress = TClock::now();
    } else if (TClock::now() - lastProgress >= kStalledLinkLimit) {
      ResetOnClose(fd);
      shutdown(fd, SHUT_RDWR);
      errno = ETIMEDOUT;
      return -1;
    }
  }
}

}  // namespace velmaro

// librtmp's copy in this library calls this instead of send() (its reference
// is renamed at build time), so that every plain RTMP write is judged by the
// link's progress.
extern "C" ssize_t velmaro_librtmp_send(int fd, const void* data, size_t length, int /*flags*/) {
  return velmaro::SendWhileProgressing(fd, data, length);
}
