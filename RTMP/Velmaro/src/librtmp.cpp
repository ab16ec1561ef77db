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

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <condition_variable>
#include <cstring>
#include <new>
#include <string_view>
#include <thread>

#include "Debugs.h"
#include "Latencies.h"
#include "Redactions.h"
#include "TlsSessions.h"

// Generated at build time: maps every librtmp symbol to its renamed copy.
#include "librtmp_renames.h"
#include <librtmp/log.h>
#include <librtmp/rtmp.h>

namespace velmaro {
namespace {

constexpr int kMediaChannel = 4;
constexpr int kControlChannel = 2;
// A cancel is noticed within this (the caller's bound is about 100 ms).
constexpr int kWaitSliceMs = 20;

std::atomic<TNameLookup> gNameLookup{&getaddrinfo};

// The keys of the connections alive, so that librtmp's own log lines can be
// redacted like ours.
std::mutex gSecretsLock;
std::vector<std::string> gSecrets;  // guarded by gSecretsLock

void AddSecrets(const std::vector<std::string>& secrets) {
  std::lock_guard guard(gSecretsLock);
  gSecrets.insert(gSecrets.end(), secrets.begin(), secrets.end());
}

void RemoveSecrets(const std::vector<std::string>& secrets) {
  std::lock_guard guard(gSecretsLock);
  for (const std::string& secret : secrets) {
    auto found = std::find(gSecrets.begin(), gSecrets.end(), secret);
    if (found != gSecrets.end()) gSecrets.erase(found);
  }
}

// librtmp's log lines (errors only: its default level) into our trace queue,
// instead of its blocking write to standard error.
void LogToTrace(int /*level*/, const char* format, va_list arguments) {
  char text[1024];
  std::vsnprintf(text, sizeof text, format, arguments);
  std::string line = std::string("librtmp: ") + text;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  {
    std::lock_guard guard(gSecretsLock);
    for (const std::string& secret : gSecrets) line = RedactSecret(line, secret);
  }
  DebugLog(line);
}

// The parts of a URL librtmp parsed that carry the key: the play path and
// the application's query.
std::vector<std::string> KeyParts(const RTMP& rtmp) {
  std::vector<std::string> parts;
  if (rtmp.Link.playpath.av_len > 0)
    parts.emplace_back(rtmp.Link.playpath.av_val, static_cast<size_t>(rtmp.Link.playpath.av_len));
  std::string_view app(rtmp.Link.app.av_val != nullptr ? rtmp.Link.app.av_val : "",
                       static_cast<size_t>(std::max(rtmp.Link.app.av_len, 0)));
  size_t query = app.find('?');
  if (query != std::string_view::npos && query + 1 < app.size()) parts.emplace_back(app.substr(query + 1));
  return parts;
}

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

// connect() with a deadline: non-blocking connect, then poll for the result in
// slices, so the open's own bounds end it too.
int ConnectWithTimeout(const addrinfo& address, std::chrono::steady_clock::time_point deadline,
                       const TOpenBounds& bounds) {
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
    if (left.count() <= 0 || bounds.Check() != TOpenEnd::Done) break;
    pollfd p{fd, POLLOUT, 0};
    int ready = poll(&p, 1, std::min(static_cast<int>(left.count()), bounds.NextWaitMs()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) continue;
    if (ready < 0) break;
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

// getaddrinfo has no time-out and cannot be interrupted, so it runs on a
// thread of its own that an open may leave behind: whoever of the two comes
// last frees the result. (getaddrinfo_a would do the same with a signal or
// thread of glibc's and a request that must outlive an abandoned open.)
struct TLookup {
  std::mutex lock;
  std::condition_variable done;
  bool finished = false;  // guarded by lock
  bool abandoned = false;  // guarded by lock
  int result = EAI_FAIL;
  addrinfo* addresses = nullptr;
};

addrinfo* LookUp(const std::string& host, const std::string& port, const TOpenBounds& bounds, TOpenEnd& end) {
  auto lookup = std::make_shared<TLookup>();
  TNameLookup function = gNameLookup.load();
  try {
    std::thread([lookup, host, port, function] {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      addrinfo* addresses = nullptr;
      int result = function(host.c_str(), port.c_str(), &hints, &addresses);
      std::lock_guard guard(lookup->lock);
      if (lookup->abandoned) {
        if (result == 0) freeaddrinfo(addresses);
      } else {
        lookup->result = result;
        lookup->addresses = addresses;
      }
      lookup->finished = true;
      lookup->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    end = TOpenEnd::Failed;  // no thread to be had: fail this open, nothing else
    return nullptr;
  }
  std::unique_lock guard(lookup->lock);
  while (!lookup->finished) {
    end = bounds.Check();
    if (end != TOpenEnd::Done) {
      lookup->abandoned = true;
      return nullptr;
    }
    lookup->done.wait_for(guard, std::chrono::milliseconds(bounds.NextWaitMs()));
  }
  if (lookup->result != 0 || lookup->addresses == nullptr) {
    end = TOpenEnd::Failed;
    return nullptr;
  }
  end = TOpenEnd::Done;
  return lookup->addresses;
}

// Watches one stage of an open from a thread of its own: when the deadline
// passes or the caller gives up, it shuts the socket down, so whatever
// librtmp waits for inside (handshake, a reply) returns at once.
class TOpenWatchdog {
 public:
  TOpenWatchdog(const TOpenBounds& bounds, int socket) : bounds_(bounds), socket_(socket) {
    thread_ = std::thread([this] { Watch(); });
  }
  ~TOpenWatchdog() {
    {
      std::lock_guard guard(lock_);
      stopped_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  TOpenWatchdog(const TOpenWatchdog&) = delete;
  TOpenWatchdog& operator=(const TOpenWatchdog&) = delete;
  // Done unless the watchdog cut the socket, and why it did.
  TOpenEnd Fired() const { return fired_.load(); }

 private:
  void Watch() {
    std::unique_lock guard(lock_);
    while (!stopped_) {
      TOpenEnd end = bounds_.Check();
      if (end != TOpenEnd::Done) {
        fired_.store(end);
        shutdown(socket_, SHUT_RDWR);
        return;
      }
      wake_.wait_for(guard, std::chrono::milliseconds(bounds_.NextWaitMs()));
    }
  }
  const TOpenBounds& bounds_;
  int socket_;
  std::mutex lock_;
  std::condition_variable wake_;
  bool stopped_ = false;  // guarded by lock_
  std::atomic<TOpenEnd> fired_{TOpenEnd::Done};
  std::thread thread_;
};

uint32_t ReadUI16(const uint8_t* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t ReadUI32(const uint8_t* p) { return ReadUI16(p) << 16 | ReadUI16(p + 2); }

// Walks AMF0 without decoding it: a hand-written bounded walk, because
// librtmp's own decoder recurses once per nesting level with no limit and is
// the very thing to be protected. Accepts only the markers plain replies use.
class TAmfWalker {
 public:
  TAmfWalker(const uint8_t* data, size_t length) : p_(data), end_(data + length) {}
  bool AtEnd() const { return p_ == end_; }
  // One value; `number` receives it when the value is a number.
  bool Value(int depth, double* number = nullptr) {
    if (!Has(1)) return false;
    const uint8_t marker = *p_++;
    switch (marker) {
      case 0x00:  // number
        if (!Has(8)) return false;
        if (number != nullptr) {
          uint64_t bits = static_cast<uint64_t>(ReadUI32(p_)) << 32 | ReadUI32(p_ + 4);
          std::memcpy(number, &bits, sizeof bits);
        }
        return Skip(8);
      case 0x01:  // boolean
        return Skip(1);
      case 0x02:  // string: 16-bit length
        return Has(2) && Skip(2 + ReadUI16(p_));
      case 0x03:  // object
        return depth < kMaxAmfDepth && Properties(depth + 1);
      case 0x05:  // null
      case 0x06:  // undefined
        return true;
      case 0x08:  // ECMA array: a count, then properties like an object
        return depth < kMaxAmfDepth && Skip(4) && Properties(depth + 1);
      case 0x0A: {  // strict array
        if (depth >= kMaxAmfDepth || !Has(4)) return false;
        uint32_t count = ReadUI32(p_);
        Skip(4);
        for (uint32_t i = 0; i < count; ++i)
          if (!Value(depth + 1)) return false;  // every value takes a byte at least
        return true;
      }
      case 0x0B:  // date: milliseconds and time zone
        return Skip(10);
      case 0x0C:  // long string: 32-bit length
        return Has(4) && Skip(4 + static_cast<size_t>(ReadUI32(p_)));
      default:  // references, typed objects, XML, AMF3: never in a plain reply
        return false;
    }
  }

 private:
  bool Has(size_t n) const { return static_cast<size_t>(end_ - p_) >= n; }
  bool Skip(size_t n) {
    if (!Has(n)) return false;
    p_ += n;
    return true;
  }
  // Named values up to the empty name and the object end marker.
  bool Properties(int depth) {
    for (;;) {
      if (!Has(2)) return false;
      uint32_t nameLength = ReadUI16(p_);
      if (nameLength == 0) return Skip(2) && Has(1) && *p_ == 0x09 && Skip(1);
      if (!Skip(2 + nameLength) || !Value(depth)) return false;
    }
  }
  const uint8_t* p_;
  const uint8_t* end_;
};

// librtmp turns transaction ids and stream ids into int by a plain cast.
bool FitsAnInt(double value) { return std::isfinite(value) && value >= 0 && value <= 2147483647.0; }

// The commands librtmp may handle during an open; anything else is ignored.
bool CommandWanted(std::string_view name) {
  for (std::string_view wanted : {"_result", "onStatus", "onBWDone", "onFCPublish", "_onbwcheck", "_onbwdone", "ping"})
    if (name == wanted) return true;
  return false;
}

TReplyVerdict JudgeCommand(const uint8_t* body, uint32_t length) {
  // The command name first: a string.
  if (length < 3 || body[0] != 0x02) return TReplyVerdict::Refuse;
  const uint32_t nameLength = ReadUI16(body + 1);
  if (3 + nameLength > length) return TReplyVerdict::Refuse;
  std::string_view name(reinterpret_cast<const char*>(body + 3), nameLength);
  if (name == "_error" || name == "close") return TReplyVerdict::Refuse;
  if (!CommandWanted(name)) return TReplyVerdict::Ignore;
  TAmfWalker walker(body, length);
  while (!walker.AtEnd()) {
    double number = 0;
    if (!walker.Value(0, &number) || !FitsAnInt(number)) return TReplyVerdict::Refuse;
  }
  return TReplyVerdict::Pass;
}

}  // namespace

TOpenEnd TOpenBounds::Check() const {
  if (cancelled_ && cancelled_()) return TOpenEnd::Cancelled;
  return TClock::now() >= deadline_ ? TOpenEnd::TimedOut : TOpenEnd::Done;
}

int TOpenBounds::NextWaitMs() const {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - TClock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 1, kWaitSliceMs));
}

void SetNameLookupForTesting(TNameLookup lookup) { gNameLookup.store(lookup != nullptr ? lookup : &getaddrinfo); }

bool AmfValuesWellFormed(const uint8_t* data, size_t length) {
  TAmfWalker walker(data, length);
  while (!walker.AtEnd())
    if (!walker.Value(0)) return false;
  return true;
}

TReplyVerdict JudgeReply(uint8_t messageType, const uint8_t* body, uint32_t length) {
  if (length > kMaxReplyBody) return TReplyVerdict::Refuse;
  switch (messageType) {
    case RTMP_PACKET_TYPE_CHUNK_SIZE: {
      // librtmp takes any 32-bit value; a chunk size must be 1 to 2^24 - 1.
      if (length < 4) return TReplyVerdict::Refuse;
      uint32_t size = ReadUI32(body);
      return size >= 1 && size <= kMaxMessageBody ? TReplyVerdict::Pass : TReplyVerdict::Refuse;
    }
    case RTMP_PACKET_TYPE_BYTES_READ_REPORT:
    case RTMP_PACKET_TYPE_CONTROL:  // librtmp checks the lengths of these itself
      return TReplyVerdict::Pass;
    case RTMP_PACKET_TYPE_SERVER_BW:
    case RTMP_PACKET_TYPE_CLIENT_BW:  // librtmp reads four bytes unchecked
      return length >= 4 ? TReplyVerdict::Pass : TReplyVerdict::Refuse;
    case RTMP_PACKET_TYPE_INVOKE:
      return JudgeCommand(body, length);
    default:  // media, metadata, shared objects, AMF3 commands: not part of an open
      return TReplyVerdict::Ignore;
  }
}

std::unique_ptr<TRtmpConnection> TRtmpConnection::Allocate() {
  static std::once_flag logRouted;
  std::call_once(logRouted, [] { RTMP_LogSetCallback(&LogToTrace); });
  RTMP* rtmp = RTMP_Alloc();
  if (rtmp == nullptr) return nullptr;
  RTMP_Init(rtmp);
  // librtmp's own connect path (SOCKS only) then waits no longer than ours.
  rtmp->Link.timeout = static_cast<int>(kReceiveTimeout.count() / 1000);
  return std::unique_ptr<TRtmpConnection>(new TRtmpConnection(rtmp));
}

TRtmpConnection::TRtmpConnection(RTMP* rtmp) : rtmp_(rtmp) {}

TRtmpConnection::~TRtmpConnection() {
  Close();
  RemoveSecrets(secrets_);
}

int TRtmpConnection::SetupURL(const char* url) {
  url_ = url;
  int result = RTMP_SetupURL(rtmp_, url_.data());
  if (result > 0) {
    secrets_ = KeyParts(*rtmp_);
    AddSecrets(secrets_);
  }
  return result;
}

void TRtmpConnection::EnableWrite() { RTMP_EnableWrite(rtmp_); }

int TRtmpConnection::ConnectSocket(const TOpenBounds& bounds, TOpenEnd& end) {
  std::string host(rtmp_->Link.hostname.av_val, static_cast<size_t>(rtmp_->Link.hostname.av_len));
  std::string port = std::to_string(rtmp_->Link.port);
  end = TOpenEnd::Failed;
  if (host.empty()) return -1;
  addrinfo* addresses = LookUp(host, port, bounds, end);
  if (addresses == nullptr) return -1;
  auto deadline = std::chrono::steady_clock::now() + kConnectTimeout;
  int fd = -1;
  for (addrinfo* a = addresses; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ConnectWithTimeout(*a, deadline, bounds);
    end = bounds.Check();
    if (end != TOpenEnd::Done) break;
  }
  freeaddrinfo(addresses);
  if (end != TOpenEnd::Done && fd >= 0) {
    close(fd);
    fd = -1;
  }
  if (fd < 0 && end == TOpenEnd::Done) end = TOpenEnd::Failed;
  return fd;
}

TOpenEnd TRtmpConnection::Connect(const TOpenBounds& bounds) {
  if (rtmp_->Link.socksport != 0) return TOpenEnd::Failed;  // proxies are not supported: unbounded in librtmp
  TOpenEnd end = TOpenEnd::Failed;
  int fd = ConnectSocket(bounds, end);
  if (fd < 0) return end;
  return ConnectOnSocket(fd, bounds);
}

TOpenEnd TRtmpConnection::ConnectOnSocket(int fd, const TOpenBounds& bounds) {
  std::lock_guard guard(sendLock_);
  TSigPipeGuard sigPipe;
  timeval receive = ToTimeval(kReceiveTimeout);
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receive, sizeof receive);
  // Sends wait as long as the peer acknowledges (LinkProgresses); the
  // kernel holds little, so that the send queue's bound is the real one.
  LimitUnsent(fd);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  abortSocket_ = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  rtmp_->m_sb.sb_socket = fd;
  if (abortSocket_ < 0) return TOpenEnd::Failed;
  TOpenWatchdog watchdog(bounds, abortSocket_);
  if (rtmp_->Link.protocol & RTMP_FEATURE_SSL) {
    TOpenEnd end = StartTls(fd, bounds);
    if (watchdog.Fired() != TOpenEnd::Done) return watchdog.Fired();
    if (end != TOpenEnd::Done) return end;
  }
  int result = RTMP_Connect1(rtmp_, nullptr);  // handshake and connect command on our socket
  TOpenEnd fired = watchdog.Fired();
  if (fired != TOpenEnd::Done) return fired;
  return result > 0 ? TOpenEnd::Done : TOpenEnd::Failed;
}

// Our TLS session instead of librtmp's (no server name, no certificate
// check): librtmp then only reads and writes through it.
TOpenEnd TRtmpConnection::StartTls(int fd, const TOpenBounds& bounds) {
  const std::string host(rtmp_->Link.hostname.av_val, static_cast<size_t>(rtmp_->Link.hostname.av_len));
  const TTlsOptions options = CurrentTlsOptions();
  if (!options.Verify)
    DebugLog("WARNING: RTMPS without certificate checks (TlsVerify=0): anyone on the path can pose as " + host +
             " and read the stream key");
  const auto began = std::chrono::steady_clock::now();
  TOpenEnd end = TOpenEnd::Failed;
  std::string why;
  tls_ = TTlsSession::Start(fd, host, options, bounds, end, why);
  if (!tls_) {
    DebugLog("RTMPS: TLS with " + host + " failed: " + why);
    return end;
  }
  DebugLogFmt("RTMPS: TLS with %s in %d ms (server name sent%s)", host.c_str(),
              static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - began).count()),
              options.Verify ? ", certificate checked" : "; certificate NOT checked");
  rtmp_->m_sb.sb_ssl = tls_->Native();
  rtmp_->Link.protocol &= ~RTMP_FEATURE_SSL;  // librtmp must not start a TLS of its own
  return TOpenEnd::Done;
}

TOpenEnd TRtmpConnection::ConnectStream(const TOpenBounds& bounds) {
  std::lock_guard guard(sendLock_);
  TSigPipeGuard sigPipe;
  if (abortSocket_ < 0) return TOpenEnd::Failed;
  TOpenEnd end = TOpenEnd::Failed;
  {
    TOpenWatchdog watchdog(bounds, abortSocket_);
    end = ReadReplies(bounds);
    if (watchdog.Fired() != TOpenEnd::Done) end = watchdog.Fired();
  }
  return end;
}

// Reads ahead, in librtmp's own receive buffer, the header form and chunk
// stream of the next chunk, filling the buffer when it holds too little.
// False when the stream ends (or stays silent past the receive time-out).
bool TRtmpConnection::PeekChunkStart(int& form, int& channel) {
  RTMPSockBuf& buffer = rtmp_->m_sb;
  auto hold = [&buffer](int bytes) {
    while (buffer.sb_size < bytes) {
      // librtmp fills only behind sb_start: move what is left to the front.
      if (buffer.sb_size > 0) std::memmove(buffer.sb_buf, buffer.sb_start, static_cast<size_t>(buffer.sb_size));
      buffer.sb_start = buffer.sb_buf;
      if (RTMPSockBuf_Fill(&buffer) < 1) return false;
    }
    return true;
  };
  if (!hold(1)) return false;
  const auto* start = reinterpret_cast<const uint8_t*>(buffer.sb_start);
  form = start[0] >> 6;
  channel = start[0] & 0x3F;
  if (channel == 0) {  // two-byte basic header
    if (!hold(2)) return false;
    start = reinterpret_cast<const uint8_t*>(buffer.sb_start);
    channel = 64 + start[1];
  } else if (channel == 1) {  // three-byte basic header
    if (!hold(3)) return false;
    start = reinterpret_cast<const uint8_t*>(buffer.sb_start);
    channel = 64 + start[1] + (start[2] << 8);
  }
  return true;
}

// librtmp's RTMP_ConnectStream, with every message judged before librtmp
// decodes it and the amount read bounded. While a message is unfinished the
// next chunk must continue it (form 3, same chunk stream), as servers send
// their replies: librtmp would otherwise read a new message's chunks into the
// unfinished one's smaller body, or lose that body.
TOpenEnd TRtmpConnection::ReadReplies(const TOpenBounds& bounds) {
  rtmp_->m_mediaChannel = 0;
  int unfinishedChannel = -1;
  while (!rtmp_->m_bPlaying && RTMP_IsConnected(rtmp_)) {
    if (bounds.Check() != TOpenEnd::Done) return bounds.Check();
    if (unfinishedChannel >= 0) {
      int form = 0;
      int channel = 0;
      if (!PeekChunkStart(form, channel) || form != RTMP_PACKET_SIZE_MINIMUM || channel != unfinishedChannel)
        return TOpenEnd::Failed;
    }
    // The body of the unfinished message, kept by its chunk stream (only one
    // can be unfinished), freed by librtmp's close.
    const char* keptBody = nullptr;
    if (unfinishedChannel >= 0 && unfinishedChannel < rtmp_->m_channelsAllocatedIn &&
        rtmp_->m_vecChannelsIn[unfinishedChannel] != nullptr)
      keptBody = rtmp_->m_vecChannelsIn[unfinishedChannel]->m_body;
    RTMPPacket packet{};  // fresh each time: librtmp keeps what a chunk stream needs itself
    if (!RTMP_ReadPacket(rtmp_, &packet)) {
      // A failed read leaves in the packet either that kept body or one
      // reserved for a new message and recorded nowhere (it would leak).
      if (packet.m_body != keptBody) RTMPPacket_Free(&packet);
      return TOpenEnd::Failed;
    }
    // librtmp has reserved the body of a message once its first chunk came:
    // a message too large for a reply ends the open before more of it arrives.
    bool tooMuch = packet.m_nBodySize > kMaxReplyBody || rtmp_->m_nBytesIn < 0 ||
                   static_cast<uint64_t>(rtmp_->m_nBytesIn) > kMaxConversationBytes;
    if (!RTMPPacket_IsReady(&packet)) {
      unfinishedChannel = packet.m_nChannel;
      if (tooMuch) return TOpenEnd::Failed;
      continue;
    }
    unfinishedChannel = -1;
    TReplyVerdict verdict = TReplyVerdict::Ignore;
    if (tooMuch)
      verdict = TReplyVerdict::Refuse;
    else if (packet.m_nBodySize > 0)
      verdict = JudgeReply(packet.m_packetType, reinterpret_cast<const uint8_t*>(packet.m_body), packet.m_nBodySize);
    if (verdict == TReplyVerdict::Pass) RTMP_ClientPacket(rtmp_, &packet);
    RTMPPacket_Free(&packet);
    if (verdict == TReplyVerdict::Refuse) return TOpenEnd::Failed;
  }
  return rtmp_->m_bPlaying ? TOpenEnd::Done : TOpenEnd::Failed;
}

bool TRtmpConnection::MayUseShortHeader(int channel, uint32_t timestamp) const {
  if (channel >= rtmp_->m_channelsAllocatedOut || rtmp_->m_vecChannelsOut == nullptr) return false;
  const RTMPPacket* previous = rtmp_->m_vecChannelsOut[channel];
  return previous != nullptr && timestamp > previous->m_nTimeStamp;
}

int TRtmpConnection::SendPacket(uint8_t messageType, const uint8_t* body, uint32_t length, uint32_t timestamp,
                                int headerForm) {
  std::lock_guard guard(sendLock_);
  if (rtmp_ == nullptr || length > kMaxMessageBody) return 0;  // the length field has 24 bits
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

bool TRtmpConnection::Figures(TLinkFigures& figures) const {
  return abortSocket_ >= 0 && ReadLinkFigures(abortSocket_, figures);
}

void TRtmpConnection::Abort() {
  if (abortSocket_ < 0) return;
  ResetOnClose(abortSocket_);
  shutdown(abortSocket_, SHUT_RDWR);
}

void TRtmpConnection::Close() {
  std::lock_guard guard(sendLock_);
  if (rtmp_ != nullptr) {
    TSigPipeGuard sigPipe;
    // Unacknowledged bytes are abandoned: a graceful close would go on
    // delivering them (megabytes on a slow link) while the server keeps the
    // stream name busy.
    TLinkFigures figures;
    if (abortSocket_ >= 0 && (!ReadLinkFigures(abortSocket_, figures) || figures.Outstanding > 0))
      ResetOnClose(abortSocket_);
    // librtmp's close would say goodbye to the TLS peer and wait for its
    // answer. After a failed write librtmp has closed (and freed) it already.
    if (tls_ && rtmp_->m_sb.sb_ssl != tls_->Native()) tls_->Forget();
    rtmp_->m_sb.sb_ssl = nullptr;
    tls_.reset();
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
