// One destination of a push: a server (or a local recording) with its own
// sender handle, outage queue, link supervision and counters. The intake
// hands it each message and returns: a slow, dead or refusing destination
// never delays another.
//
// Threads: Emit and ResendHeaderWhileHolding on the media thread; Step on the
// destination's supervising thread (or a test's); Begin, StartSupervisor,
// StopSupervisor and Close on the thread that starts and stops the push.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "OutageQueues.h"
#include "PushClocks.h"
#include "PushCounters.h"
#include "PushSeams.h"

// How a destination's link (or the device) stands, as the launcher is told
// (TIDECAST_STATE words).
enum class TLinkState { Running, Reconnecting, DeviceLost, Failed };
const char* LinkStateWord(TLinkState state);

struct TLinkEvent {
  TLinkState State = TLinkState::Running;
  int Attempt = 0;       // reconnect attempt about to be made (Reconnecting)
  int NextSeconds = -1;  // pause before it; -1 none
  const char* Reason = "";
  int Destination = 0;  // 1 = the first destination; 0 the device (DeviceLost and its end)
};

// The error report, once per destination, when its sender refuses media and
// reconnects are turned off (AutoReconnect 0).
constexpr const char* kSendFailedText =
    "RTMP推流发送失败， 请检查网络是否通，RTMP服务主机是否开启，然后停止并重新开始推流";

class TDestination {
 public:
  // While the kept messages go out again after a reconnect, the sender's
  // queue is let to hold about this much before the next ones are handed over.
  static constexpr uint32_t kDrainQueueMs = 2000;
  static constexpr int64_t kStepMs = 250;
  static constexpr int64_t kDrainStepMs = 20;

  TDestination(int number, std::string url, TSender& sender, TPushClock& clock, TPushCounters& counters,
               bool autoReconnect, TOutageQueue kept = TOutageQueue());
  ~TDestination();
  TDestination(const TDestination&) = delete;
  TDestination& operator=(const TDestination&) = delete;

  // The push begins with `header`. `handle` is the connection the start made
  // and sent the header on; without one the destination connects by itself,
  // its first attempt at once.
  void Begin(void* handle, const TMediaHeader& header);
  // Called on the supervising thread when the link changes; must not block.
  std::function<void(const TLinkEvent&)> OnLinkEvent;
  void StartSupervisor();
  // Returns once the supervising thread has ended (an Open under way is
  // cancelled).
  void StopSupervisor();
  // No sends from now on; the handle is closed.
  void Close();
  // One supervision step: watch the sender, reconnect on its schedule, drain
  // what was kept. Returns the milliseconds until the next step is due.
  int64_t Step();

  // Keeps one message and, while the server is there, sends it.
  void Emit(int stream, const uint8_t* data, uint32_t length, uint32_t relativeMs, bool isKey);
  // The header again while the delay fills (a failure is ignored).
  void ResendHeaderWhileHolding();

  int Number() const { return FNumber; }
  const std::string& Url() const { return FUrl; }
  TSender& Sender() const { return FSender; }
  void* Handle() const { return FHandle.load(); }
  TLinkState LinkState() const { return FLinkState.load(); }
  int ReconnectAttempt() const { return FAttempt.load(); }
  int64_t NextAttemptMs() const { return FNextAttemptMs.load(); }
  // Bytes that left: as the sender reports them (acknowledged by the
  // server), or what it took when it reports none.
  uint64_t SentBytes() const { return FSentBytes.load(); }
  bool AnySent() const { return FAnySent.load(); }
  uint32_t LastSentVideoMs() const { return FLastSentVideoMs.load(); }
  // Frames this destination dropped: by its sender, past its outage bounds,
  // and messages its sender refused one by one.
  uint64_t FramesDropped() const;
  uint64_t RefusedMessages() const { return FRefused.load(); }
  size_t KeptPeakBytes();

 private:
  enum class TStage { Up, Waiting, Draining, Failed };
  void Announce(TLinkState state, int attempt, int nextSeconds, const char* reason);
  void PollSender();
  void WaitForAttempt(int attempt, const char* reason);
  // The destination has failed for good: it keeps and sends nothing more.
  void End(const char* reason);
  void TryConnect();
  // false when the connection broke while draining; `done` once everything
  // kept has gone out (otherwise the sender's queue is full for now).
  bool DrainSome(bool& done);
  void CloseHandle();
  bool SendOne(void* handle, int stream, const uint8_t* data, uint32_t length, uint32_t timeMs, bool isKey);
  bool SendKept(void* handle, const TKeptMessage& message);
  // The sender refused one message while its connection is fine (it refuses
  // a 1-2 byte AAC payload, for one): the message is dropped, not the link.
  bool RefusedAlone(void* handle);
  void CountSentBytes(uint64_t bytes);
  void NoteSent(int stream, uint32_t length, uint32_t relativeMs);
  TMediaHeader HeaderForKept();

  const int FNumber;
  const std::string FUrl;
  TSender& FSender;
  TPushClock& FClock;
  TPushCounters& FCounters;
  const bool FAutoReconnect;

  std::atomic<void*> FHandle{nullptr};
  std::atomic<TLinkState> FLinkState{TLinkState::Running};
  std::atomic<int> FAttempt{0};
  std::atomic<int64_t> FNextAttemptMs{0};
  std::atomic<bool> FBroken{false};
  std::atomic<bool> FEnded{false};
  std::atomic<bool> FHasStats{false};  // the sender tells what it has really sent
  std::atomic<uint64_t> FSentBytes{0};
  std::atomic<uint32_t> FLastSentVideoMs{0};
  std::atomic<bool> FAnySent{false};
  std::atomic<uint64_t> FClosedHandleDrops{0};
  std::atomic<uint64_t> FHandleDrops{0};  // of the open handle, as last polled
  uint64_t FHandleBytes = 0;  // the open handle's bytes that have left, as last polled; under FSendLock
  std::atomic<uint64_t> FQueueDrops{0};
  std::atomic<uint64_t> FRefused{0};
  std::atomic<bool> FRefusalReported{false};

  // Supervising thread only.
  TStage FStage = TStage::Up;
  const char* FReason = "";
  std::string FFailReason;
  bool FConnectedOnce = false;
  int FDrainCount = 0;

  std::thread FSupervisor;
  std::mutex FSuperLock;
  std::condition_variable FSuperWake;
  std::atomic<bool> FSuperStop{false};

  // Guards the outage queue, the header, the link flags below and every call
  // on the handle other than Open (so that Close never overlaps a send).
  std::mutex FSendLock;
  TOutageQueue FKept;
  TMediaHeader FHeader{};
  bool FLinkUp = false;    // sends may go to the handle
  bool FAwaitKey = false;  // the connection has had no key frame yet
};
