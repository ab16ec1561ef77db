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

void LimitUnsent(int fd) {
  int lowWater = kMaxUnsentBytes;
  setsockopt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWater, sizeof lowWater);
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
    size_t room = length;
    int unsent = 0;
    if (known && ioctl(fd, SIOCOUTQNSD, &unsent) == 0)
      room = unsent >= kMaxUnsentBytes ? 0 : std::min(length, static_cast<size_t>(kMaxUnsentBytes - unsent));
    if (room > 0) {
      ssize_t sent = send(fd, data, room, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent >= 0) return sent;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    }
    pollfd ready{fd, POLLOUT, 0};  // with LimitUnsent: wakes once the unsent bytes fell below the cap
    if (poll(&ready, 1, kSendSliceMs) < 0 && errno != EINTR) return -1;
    if ((ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {  // reset, or shut down (an abort)
      int error = 0;
      socklen_t size = sizeof error;
      errno = getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0 ? error : EPIPE;
      return -1;
    }
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
