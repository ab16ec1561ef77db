#include "librtmp.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "Latencies.h"

// Generated at build time: maps every librtmp symbol to its renamed copy.
#include "librtmp_renames.h"
#include <librtmp/rtmp.h>

namespace velmaro {
namespace {

constexpr int kMediaChannel = 4;
constexpr int kControlChannel = 2;

// Blocks SIGPIPE on this thread for the duration of a call into librtmp and
// swallows one the call raised, so a peer that went away ends in an error
// code instead of the process. The host's own disposition is left alone.
class TSigPipeGuard {
 public:
  TSigPipeGuard() {
    sigemptyset(&pipeOnly_);
    sigaddset(&pipeOnly_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly_, &previousMask_);
    wasPending_ = Pending();
  }
  ~TSigPipeGuard() {
    if (!wasPending_ && Pending()) {
      timespec zero{};
      sigtimedwait(&pipeOnly_, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
  }
  TSigPipeGuard(const TSigPipeGuard&) = delete;
  TSigPipeGuard& operator=(const TSigPipeGuard&) = delete;

 private:
  bool Pending() const {
    sigset_t pending;
    sigemptyset(&pending);
    return sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  }
  sigset_t pipeOnly_;
  sigset_t previousMask_;
  bool wasPending_ = false;
};

timeval ToTimeval(std::chrono::milliseconds ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms.count() / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms.count() % 1000) * 1000);
  return tv;
}

bool SetBlocking(int fd, bool blocking) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(fd, F_SETFL, flags) == 0;
}

// connect() with a deadline: non-blocking connect, then poll for the result.
int ConnectWithTimeout(const addrinfo& address, std::chrono::steady_clock::time_point deadline) {
  int fd = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC, address.ai_protocol);
  if (fd < 0) return -1;
  if (!SetBlocking(fd, false)) {
    close(fd);
    return -1;
  }
  int rc = connect(fd, address.ai_addr, address.ai_addrlen);
  if (rc != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  while (rc != 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLOUT, 0};
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) rc = 0;
    break;
  }
  if (rc != 0 || !SetBlocking(fd, true)) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

std::unique_ptr<TRtmpConnection> TRtmpConnection::Allocate() {
  RTMP* rtmp = RTMP_Alloc();
  if (rtmp == nullptr) return nullptr;
  RTMP_Init(rtmp);
  // librtmp's own connect path (SOCKS only) then waits no longer than ours.
  rtmp->Link.timeout = static_cast<int>(kReceiveTimeout.count() / 1000);
  return std::unique_ptr<TRtmpConnection>(new TRtmpConnection(rtmp));
}

TRtmpConnection::~TRtmpConnection() { Close(); }

int TRtmpConnection::SetupURL(const char* url) {
  url_ = url;
  return RTMP_SetupURL(rtmp_, url_.data());
}

void TRtmpConnection::EnableWrite() { RTMP_EnableWrite(rtmp_); }

int TRtmpConnection::ConnectSocket() {
  std::string host(rtmp_->Link.hostname.av_val, static_cast<size_t>(rtmp_->Link.hostname.av_len));
  std::string port = std::to_string(rtmp_->Link.port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* addresses = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses) != 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
  int fd = -1;
  for (addrinfo* a = addresses; a != nullptr && fd < 0; a = a->ai_next) fd = ConnectWithTimeout(*a, deadline);
  freeaddrinfo(addresses);
  return fd;
}

int TRtmpConnection::Connect() {
  std::lock_guard guard(sendLock_);
  TSigPipeGuard sigPipe;
  if (rtmp_->Link.socksport != 0) return RTMP_Connect(rtmp_, nullptr);  // proxied: librtmp's own path
  int fd = ConnectSocket();
  if (fd < 0) return 0;
  timeval receive = ToTimeval(kReceiveTimeout);
  timeval send = ToTimeval(kStalledSendTimeout);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof receive);
  // A send that makes no progress for this long fails instead of blocking forever.
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  abortSocket_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  rtmp_->m_sb.sb_socket = fd;
  return RTMP_Connect1(rtmp_, nullptr);  // handshake and connect command on our socket
}

int TRtmpConnection::ConnectStream() {
  std::lock_guard guard(sendLock_);
  TSigPipeGuard sigPipe;
  return RTMP_ConnectStream(rtmp_, 0);
}

bool TRtmpConnection::MayUseShortHeader(int channel, uint32_t timestamp) const {
  if (channel >= rtmp_->m_channelsAllocatedOut || rtmp_->m_vecChannelsOut == nullptr) return false;
  const RTMPPacket* previous = rtmp_->m_vecChannelsOut[channel];
  return previous != nullptr && timestamp > previous->m_nTimeStamp;
}

int TRtmpConnection::SendPacket(uint8_t messageType, const uint8_t* body, uint32_t length, uint32_t timestamp,
                                int headerForm) {
  std::lock_guard guard(sendLock_);
  if (rtmp_ == nullptr) return 0;
  // librtmp writes chunk headers into the bytes before and inside the body:
  // the body is copied behind room for the largest header, into a buffer
  // kept for the connection (one allocation per message cost more than the
  // copy).
  size_t needed = RTMP_MAX_HEADER_SIZE + static_cast<size_t>(length);
  if (packetBuffer_.size() < needed) {
    try {
      packetBuffer_.resize(needed);
    } catch (const std::bad_alloc&) {
      return 0;  // this message fails, nothing else
    }
  }
  RTMPPacket packet;
  RTMPPacket_Reset(&packet);
  packet.m_body = packetBuffer_.data() + RTMP_MAX_HEADER_SIZE;
  bool shortHeader = headerForm == kHeaderNoStreamId && MayUseShortHeader(kMediaChannel, timestamp);
  packet.m_headerType = shortHeader ? RTMP_PACKET_SIZE_MEDIUM : RTMP_PACKET_SIZE_LARGE;
  packet.m_packetType = messageType;
  packet.m_nChannel = kMediaChannel;
  packet.m_nTimeStamp = timestamp;
  packet.m_hasAbsTimestamp = 0;
  packet.m_nInfoField2 = rtmp_->m_stream_id;
  packet.m_nBodySize = length;
  if (length > 0) std::memcpy(packet.m_body, body, length);
  TIDECAST_LATENCY_MARK(LatencySent(
      messageType == kMessageVideo ? kLatencyVideo : messageType == kMessageAudio ? kLatencyAudio : -1, timestamp));
  int result = 0;
  {
    TSigPipeGuard sigPipe;
    result = RTMP_SendPacket(rtmp_, &packet, 0);
  }
  return result;
}

int TRtmpConnection::SendSetChunkSize(int32_t size) {
  std::lock_guard guard(sendLock_);
  if (rtmp_ == nullptr) return 0;
  // The body sits behind room for the chunk header librtmp writes in front of it.
  char buffer[384];
  RTMPPacket packet;
  RTMPPacket_Reset(&packet);
  packet.m_nChannel = kControlChannel;
  packet.m_headerType = RTMP_PACKET_SIZE_LARGE;
  packet.m_packetType = kMessageSetChunkSize;
  packet.m_nTimeStamp = 0;
  packet.m_hasAbsTimestamp = 0;
  packet.m_nInfoField2 = rtmp_->m_stream_id;
  packet.m_body = buffer + RTMP_MAX_HEADER_SIZE;
  char* end = AMF_EncodeInt32(packet.m_body, buffer + sizeof buffer, static_cast<unsigned int>(size));
  packet.m_nBodySize = static_cast<uint32_t>(end - packet.m_body);
  rtmp_->m_outChunkSize = size;
  TSigPipeGuard sigPipe;
  return RTMP_SendPacket(rtmp_, &packet, 0);
}

void TRtmpConnection::Abort() {
  if (abortSocket_ >= 0) shutdown(abortSocket_, SHUT_RDWR);
}

void TRtmpConnection::Close() {
  std::lock_guard guard(sendLock_);
  if (rtmp_ != nullptr) {
    TSigPipeGuard sigPipe;
    // Closing the socket first makes librtmp's close send nothing (no
    // unpublish, no stream deletion) and only release its state.
    RTMPSockBuf_Close(&rtmp_->m_sb);
    rtmp_->m_sb.sb_socket = -1;
    RTMP_Close(rtmp_);
    RTMP_Free(rtmp_);
    rtmp_ = nullptr;
  }
  if (abortSocket_ >= 0) {
    close(abortSocket_);
    abortSocket_ = -1;
  }
}

}  // namespace velmaro
