// The binding to librtmp: the only unit that names librtmp's functions and
// touches its structures. librtmp is linked in statically with every global
// symbol renamed (lr_...), so its internal calls to its own close function
// never land in our export of the same name.
//
// Beyond librtmp's defaults, a connection here is bounded: the whole open
// (name lookup, connect, handshake, the connect/createStream/publish
// conversation) ends by a deadline or when the caller gives up, a send fails
// only when the peer acknowledged nothing for a while (LinkProgresses), and a
// peer that went away cannot kill the process with SIGPIPE. rtmps:// runs
// over a TLS session of our own (TlsSessions), with the server's name sent
// and checked. librtmp's log lines go to the trace, its keys redacted. Nothing the server sends during the open
// reaches librtmp's decoders before its size and AMF nesting were checked here.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "LinkProgresses.h"

struct RTMP;
struct addrinfo;

namespace velmaro {

class TTlsSession;

// Message types and chunk streams of the messages we send.
constexpr uint8_t kMessageSetChunkSize = 1;
constexpr uint8_t kMessageAudio = 8;
constexpr uint8_t kMessageVideo = 9;
constexpr uint8_t kMessageDataAmf0 = 18;
// Header forms handed to librtmp: full header, and without message stream id.
constexpr int kHeaderFull = 0;
constexpr int kHeaderNoStreamId = 1;

constexpr std::chrono::milliseconds kConnectTimeout{5000};
constexpr std::chrono::milliseconds kReceiveTimeout{5000};
// The largest message body librtmp can frame (a 24-bit length field).
constexpr uint32_t kMaxMessageBody = 0xFFFFFF;
// What the server may send before publishing has started. Real replies are a
// few hundred bytes and nest AMF objects one or two levels deep.
constexpr uint32_t kMaxReplyBody = 64 * 1024;
constexpr uint64_t kMaxConversationBytes = 1024 * 1024;
constexpr int kMaxAmfDepth = 16;

// How a stage of an open ended.
// TlsRefused: the server's certificate failed the checks (RTMPS).
enum class TOpenEnd { Done, Failed, TimedOut, Cancelled, TlsRefused };

// The bounds of one open: an overall deadline, and a question, asked often
// (from any thread), whether the caller gave up.
class TOpenBounds {
 public:
  using TClock = std::chrono::steady_clock;
  TOpenBounds(TClock::time_point deadline, std::function<bool()> cancelled)
      : deadline_(deadline), cancelled_(std::move(cancelled)) {}
  // Done while the open may go on; otherwise TimedOut or Cancelled.
  TOpenEnd Check() const;
  // How long the next wait may last: short slices, so a cancel is seen soon.
  int NextWaitMs() const;

 private:
  TClock::time_point deadline_;
  std::function<bool()> cancelled_;
};

// The name lookup, replaceable by tests (a resolver that hangs cannot be
// had on loopback). Same contract as getaddrinfo.
using TNameLookup = int (*)(const char* host, const char* service, const addrinfo* hints, addrinfo** result);
void SetNameLookupForTesting(TNameLookup lookup);

// What the open must do with one complete message from the server.
enum class TReplyVerdict { Pass, Ignore, Refuse };
// Judges a message received before publishing has started, without decoding
// more than its markers: only the message types the conversation needs pass,
// and AMF commands only when well-formed, at most kMaxAmfDepth deep, with
// numbers librtmp can turn into integers. A command that ends the
// conversation ("_error", "close") or a malformed one is refused: librtmp
// would answer "_error" with a reconnect of its own, unbounded.
TReplyVerdict JudgeReply(uint8_t messageType, const uint8_t* body, uint32_t length);
// True when the AMF0 values fill the buffer exactly, nest at most kMaxAmfDepth
// deep and use only the markers of plain replies.
bool AmfValuesWellFormed(const uint8_t* data, size_t length);

class TRtmpConnection {
 public:
  // RTMP_Alloc + RTMP_Init; null when librtmp yields no object.
  static std::unique_ptr<TRtmpConnection> Allocate();
  ~TRtmpConnection();
  TRtmpConnection(const TRtmpConnection&) = delete;
  TRtmpConnection& operator=(const TRtmpConnection&) = delete;

  // The connection stages. SetupURL returns librtmp's result (above 0 =
  // success); the others end within their bounds.
  int SetupURL(const char* url);
  void EnableWrite();
  // Name lookup and connect (each try bounded by kConnectTimeout as well),
  // then the handshake and the connect command.
  TOpenEnd Connect(const TOpenBounds& bounds);
  // The handshake and the connect command on a connected socket, which the
  // connection then owns (the fuzz target hands in one end of a socket pair).
  TOpenEnd ConnectOnSocket(int fd, const TOpenBounds& bounds);
  // The conversation up to the start of publishing: reads the server's
  // messages itself and hands librtmp only those that JudgeReply passed.
  TOpenEnd ConnectStream(const TOpenBounds& bounds);

  // Sends one message on chunk stream 4 with the connection's message stream
  // id. Returns 1 when sent, else 0 (also for a body above kMaxMessageBody). A header form 1 whose timestamp is not
  // above the previous one on that chunk stream goes out as form 0: librtmp
  // would otherwise shorten it to a header that repeats the previous delta.
  int SendPacket(uint8_t messageType, const uint8_t* body, uint32_t length, uint32_t timestamp,
                 int headerForm);
  // Sets the outgoing chunk size and announces it (chunk stream 2).
  int SendSetChunkSize(int32_t size);

  // What the kernel tells of the connection's bytes; false once it is closed.
  // Any thread while the connection is open.
  bool Figures(TLinkFigures& figures) const;

  // Cuts the connection from any thread: a send blocked on it returns at
  // once, and the peer gets a reset.
  void Abort();
  // Closes the socket without sending anything more (no unpublish, no TLS
  // close_notify), then releases librtmp's state. What the peer has not
  // acknowledged is abandoned: the close is a reset, so the server frees the
  // stream at once. Safe to call twice.
  void Close();

 private:
  explicit TRtmpConnection(RTMP* rtmp);
  int ConnectSocket(const TOpenBounds& bounds, TOpenEnd& end);
  TOpenEnd StartTls(int fd, const TOpenBounds& bounds);
  TOpenEnd ReadReplies(const TOpenBounds& bounds);
  bool PeekChunkStart(int& form, int& channel);
  bool MayUseShortHeader(int channel, uint32_t timestamp) const;

  RTMP* rtmp_;
  std::string url_;  // librtmp keeps pointers into the URL it was set up with
  std::vector<std::string> secrets_;  // the URL's key parts, redacted from librtmp's log lines
  std::unique_ptr<TTlsSession> tls_;  // RTMPS: the session librtmp reads and writes through
  // A duplicate of librtmp's socket, kept so that Abort never touches a
  // descriptor that librtmp may have closed (and the system reused) meanwhile.
  int abortSocket_ = -1;
  // Serialises every use of the librtmp object: it is not safe for two
  // threads at once (header re-sends against the sorter's thread).
  std::mutex sendLock_;
  // Scratch for the message being sent, under sendLock_: the body behind room
  // for librtmp's chunk header. Grows to the largest message, never shrinks.
  std::vector<char> packetBuffer_;
};

}  // namespace velmaro
