// The binding to librtmp: the only unit that names librtmp's functions and
// touches its structures. librtmp is linked in statically with every global
// symbol renamed (lr_...), so its internal calls to its own close function
// never land in our export of the same name.
//
// Beyond librtmp's defaults, a connection here is bounded: connect() gives up
// after a time-out, a send that makes no progress for a few seconds fails,
// and a peer that went away cannot kill the process with SIGPIPE.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct RTMP;

namespace velmaro {

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
constexpr std::chrono::milliseconds kStalledSendTimeout{4000};

class TRtmpConnection {
 public:
  // RTMP_Alloc + RTMP_Init; null when librtmp yields no object.
  static std::unique_ptr<TRtmpConnection> Allocate();
  ~TRtmpConnection();
  TRtmpConnection(const TRtmpConnection&) = delete;
  TRtmpConnection& operator=(const TRtmpConnection&) = delete;

  // The connection stages, each with librtmp's result (above 0 = success).
  int SetupURL(const char* url);
  void EnableWrite();
  int Connect();  // bounded by kConnectTimeout
  int ConnectStream();

  // Sends one message on chunk stream 4 with the connection's message stream
  // id. Returns 1 when sent, else 0. A header form 1 whose timestamp is not
  // above the previous one on that chunk stream goes out as form 0: librtmp
  // would otherwise shorten it to a header that repeats the previous delta.
  int SendPacket(uint8_t messageType, const uint8_t* body, uint32_t length, uint32_t timestamp,
                 int headerForm);
  // Sets the outgoing chunk size and announces it (chunk stream 2).
  int SendSetChunkSize(int32_t size);

  // Cuts the connection from any thread: a send blocked on it returns at once.
  void Abort();
  // Closes the socket without sending anything more (no unpublish), then
  // releases librtmp's state. Safe to call twice.
  void Close();

 private:
  explicit TRtmpConnection(RTMP* rtmp) : rtmp_(rtmp) {}
  int ConnectSocket();
  bool MayUseShortHeader(int channel, uint32_t timestamp) const;

  RTMP* rtmp_;
  std::string url_;  // librtmp keeps pointers into the URL it was set up with
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
