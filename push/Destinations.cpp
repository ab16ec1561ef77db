#include "Destinations.h"

#include <algorithm>

#include "Debugs.h"
#include "ErrorReports.h"
#include "ParameterSetChanges.h"
#include "ReconnectSchedules.h"

namespace {
constexpr int64_t kCancelStepMs = 20;
}  // namespace

const char* LinkStateWord(TLinkState state) {
  switch (state) {
    case TLinkState::Running: return "running";
    case TLinkState::Reconnecting: return "reconnecting";
    case TLinkState::DeviceLost: return "device_lost";
    case TLinkState::Failed: return "failed";
  }
  return "failed";
}

TDestination::TDestination(int number, std::string url, TSender& sender, TPushClock& clock,
                           TPushCounters& counters, bool autoReconnect, TOutageQueue kept)
    : FNumber(number),
      FUrl(std::move(url)),
      FSender(sender),
      FClock(clock),
      FCounters(counters),
      FAutoReconnect(autoReconnect),
      FKept(std::move(kept)) {}

TDestination::~TDestination() {
  StopSupervisor();
  OnLinkEvent = nullptr;  // only now: the supervisor calls it until it has ended
  Close();
}

void TDestination::Begin(void* handle, const TMediaHeader& header) {
  std::lock_guard<std::mutex> lock(FSendLock);
  FKept.Clear();
  FHeader = header;
  FHandle = handle;
  FLinkUp = handle != nullptr;
  FAwaitKey = false;  // nothing goes out before the first key frame anyway
  FBroken = false;
  FEnded = false;
  TVelmaroStats stats{};
  FHasStats = handle != nullptr && FSender.GetStats(handle, &stats);
  FHandleBytes = 0;
  FConnectedOnce = handle != nullptr;
  FAttempt = 0;
  FLinkState = TLinkState::Running;
  if (handle != nullptr) {
    FStage = TStage::Up;
  } else {
    FStage = TStage::Waiting;  // the first attempt at once, without a line
    FNextAttemptMs = FClock.NowMs();
    FReason = "open_failed";
    FKept.OutageBegan();
  }
}

// ---- Supervision ----

void TDestination::Announce(TLinkState state, int attempt, int nextSeconds, const char* reason) {
  FLinkState = state;
  FAttempt = attempt;
  FNextAttemptMs = FClock.NowMs() + int64_t{std::max(nextSeconds, 0)} * 1000;
  DebugLogFmt("Push dest=%d %s attempt=%d next=%d reason=%s", FNumber, LinkStateWord(state), attempt, nextSeconds,
              reason);
  if (OnLinkEvent) OnLinkEvent(TLinkEvent{state, attempt, nextSeconds, reason, FNumber});
}

void TDestination::StartSupervisor() {
  FSuperStop = false;
  FSupervisor = std::thread([this] {
    while (!FSuperStop.load()) {
      FCounters.FSupervisorBeats.fetch_add(1, std::memory_order_relaxed);
      int64_t ms = Step();
      std::unique_lock<std::mutex> lock(FSuperLock);
      FClock.WaitFor(lock, FSuperWake, ms, [this] {
        return FSuperStop.load() || (FStage == TStage::Up && FBroken.load() && FAutoReconnect);
      });
    }
  });
}

void TDestination::StopSupervisor() {
  if (!FSupervisor.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(FSuperLock);
    FSuperStop = true;
  }
  FSuperWake.notify_all();
  // A reconnect may sit in the sender's Open: cancel it until the thread ends.
  std::atomic<bool> ended{false};
  std::thread joiner([&] {
    FSupervisor.join();
    ended = true;
  });
  while (!ended.load()) {
    FSender.CancelOpen();
    FClock.Sleep(kCancelStepMs);
  }
  joiner.join();
}

void TDestination::Close() {
  void* handle;
  {
    std::lock_guard<std::mutex> lock(FSendLock);
    FLinkUp = false;
    handle = FHandle.exchange(nullptr);
  }
  if (handle != nullptr) FSender.Close(handle);
}

void TDestination::CloseHandle() {
  PollSender();  // the last bytes the handle got out count too
  Close();
  FClosedHandleDrops += FHandleDrops.exchange(0);
}

int64_t TDestination::Step() {
  switch (FStage) {
    case TStage::Up:
      PollSender();
      if (!FBroken.load()) return kStepMs;
      if (std::string fatal = FSender.FatalReason(FHandle.load()); !fatal.empty() || !FAutoReconnect) {
        // Without reconnects the handle stays: it goes on refusing each sample.
        if (!fatal.empty()) CloseHandle();
        FStage = TStage::Failed;
        FFailReason = fatal.empty() ? "send_failed" : fatal;
        End(FFailReason.c_str());
        return kStepMs;
      }
      CloseHandle();
      {
        std::lock_guard<std::mutex> lock(FSendLock);
        FKept.OutageBegan();
      }
      WaitForAttempt(1, "server_lost");
      return 0;
    case TStage::Waiting:
      if (FClock.NowMs() < FNextAttemptMs.load()) return std::min(kStepMs, FNextAttemptMs.load() - FClock.NowMs());
      TryConnect();
      return 0;
    case TStage::Draining: {
      bool done = false;
      if (!DrainSome(done)) {
        CloseHandle();
        WaitForAttempt(FAttempt.load() + 1, "server_lost");
        return 0;
      }
      if (!done) return kDrainStepMs;
      FStage = TStage::Up;
      Announce(TLinkState::Running, 0, -1, FConnectedOnce ? "reconnected" : "connected");
      FConnectedOnce = true;
      return kStepMs;
    }
    case TStage::Failed:
      return kStepMs;
  }
  return kStepMs;
}

void TDestination::PollSender() {
  TVelmaroStats stats{};
  std::lock_guard<std::mutex> lock(FSendLock);
  void* handle = FHandle.load();
  if (handle == nullptr || !FSender.GetStats(handle, &stats)) return;
  FHandleDrops = uint64_t{stats.VideoFramesDropped} + stats.AudioFramesDropped;
  // What the sender says has left (not what was handed to it) is what was sent.
  if (stats.BytesSent > FHandleBytes) CountSentBytes(stats.BytesSent - FHandleBytes);
  FHandleBytes = std::max(FHandleBytes, stats.BytesSent);
  if (stats.AnyMediaSent) FKept.ConfirmSent(stats.SentMediaMs);
  if (stats.SendFailed && !FBroken.load()) {
    FBroken = true;
    if (FAutoReconnect) FLinkUp = false;
  }
}

void TDestination::End(const char* reason) {
  FStage = TStage::Failed;
  FEnded = true;
  {
    std::lock_guard<std::mutex> lock(FSendLock);
    FKept.Clear();  // nothing will send it
  }
  Announce(TLinkState::Failed, 0, -1, reason);
}

void TDestination::WaitForAttempt(int attempt, const char* reason) {
  if (!FAutoReconnect) {
    End(reason);
    return;
  }
  FStage = TStage::Waiting;
  FReason = reason;
  Announce(TLinkState::Reconnecting, attempt, ReconnectPauseSeconds(attempt), reason);
}

void TDestination::TryConnect() {
  const int attempt = FAttempt.load();
  void* handle = nullptr;
  int result = FSender.Open(FUrl.c_str(), &handle);
  if (FSuperStop.load()) {
    if (result == 0) FSender.Close(handle);
    return;
  }
  if (result != 0) {
    DebugLogFmt("RTMP_Open dest=%d err=%d", FNumber, result);
    WaitForAttempt(attempt + 1, result == VELMARO_TLS_FAILED ? "tls" : "open_failed");
    return;
  }
  TMediaHeader header;
  {
    std::lock_guard<std::mutex> lock(FSendLock);
    header = HeaderForKept();
  }
  if (FSender.SendHeader(handle, &header) != 0) {
    FSender.Close(handle);
    WaitForAttempt(attempt + 1, "header_failed");
    return;
  }
  TVelmaroStats stats{};
  FHasStats = FSender.GetStats(handle, &stats);
  std::lock_guard<std::mutex> lock(FSendLock);
  FHandleBytes = 0;
  DebugLogFmt("Connected dest=%d: sending %zu kept messages, %zu bytes (at most %zu kept)", FNumber, FKept.Count(),
              FKept.Bytes(), FKept.PeakBytes());
  FKept.ResendAll();
  // The first video of a connection is a key frame, when one is kept (a
  // stream that never sends one, refreshing inside its pictures, goes on as
  // it is).
  FAwaitKey = FKept.PendingHasKeyFrame();
  FHandle = handle;
  FBroken = false;
  FDrainCount = 0;
  FStage = TStage::Draining;
}

bool TDestination::DrainSome(bool& done) {
  for (;;) {
    if (FSuperStop.load()) return true;
    std::unique_lock<std::mutex> lock(FSendLock);
    void* handle = FHandle.load();
    if (!FKept.HasPending()) {
      FLinkUp = true;  // the media thread sends again
      FKept.OutageEnded();
      done = true;
      return true;
    }
    const TKeptMessage& message = FKept.NextPending();
    if (FAwaitKey && !(message.Stream == kStreamVideo && message.IsKey)) {
      FKept.MarkSent();
      continue;
    }
    if (!SendKept(handle, message)) {
      if (!RefusedAlone(handle)) return false;
      FKept.MarkSent();
      continue;
    }
    FAwaitKey = false;
    const int stream = message.Stream;
    const uint32_t length = static_cast<uint32_t>(message.Data.size()), time = message.TimeMs;
    FKept.MarkSent();
    if (!FHasStats) FKept.ConfirmSent(time);
    lock.unlock();
    NoteSent(stream, length, time);
    // Hand over no faster than the connection takes it, so that the
    // sender's own bound drops nothing.
    TVelmaroStats stats{};
    if (++FDrainCount % 16 == 0 && FSender.GetStats(handle, &stats) && stats.QueuedMs > kDrainQueueMs &&
        !stats.SendFailed)
      return true;
  }
}

// ---- The media path ----

bool TDestination::SendKept(void* handle, const TKeptMessage& m) {
  return SendOne(handle, m.Stream, m.Data.data(), static_cast<uint32_t>(m.Data.size()), m.TimeMs, m.IsKey);
}

bool TDestination::SendOne(void* handle, int stream, const uint8_t* data, uint32_t length, uint32_t timeMs,
                           bool isKey) {
  if (stream != kStreamVideo) return FSender.SendAudio(handle, data, length, timeMs);
  if (isKey && TakeParameterSetChange(data, length, FHeader)) {
    DebugLogFmt("New parameter sets: %dx%d", FHeader.Width, FHeader.Height);
    // The sender queues the new header behind the media already handed
    // over, so it reaches the server right before this key frame.
    if (FSender.SendHeader(handle, &FHeader) != 0) DebugLog("RTMP_SendHeader failed");
  }
  return FSender.SendVideo(handle, data, length, timeMs, isKey);
}

bool TDestination::RefusedAlone(void* handle) {
  TVelmaroStats stats{};
  if (!FSender.GetStats(handle, &stats) || stats.SendFailed) return false;
  DebugLogFmt("dest=%d: one message refused, dropped", FNumber);
  ++FRefused;
  return true;
}

TMediaHeader TDestination::HeaderForKept() {
  for (size_t i = 0; i < FKept.Count(); ++i) {
    const TKeptMessage& m = FKept.At(i);
    if (m.Stream != kStreamVideo || !m.IsKey) continue;
    // The kept pictures may begin before a change of parameter sets that was
    // sent to the old connection: the new one starts with the first's.
    TakeParameterSetChange(m.Data.data(), m.Data.size(), FHeader);
    break;
  }
  return FHeader;
}

void TDestination::CountSentBytes(uint64_t bytes) {
  FSentBytes.fetch_add(bytes, std::memory_order_relaxed);
  FCounters.FSentBytes.fetch_add(static_cast<int32_t>(std::min<uint64_t>(bytes, INT32_MAX)), std::memory_order_relaxed);
  FCounters.FTotalSentBytes.fetch_add(bytes, std::memory_order_relaxed);
}

void TDestination::NoteSent(int stream, uint32_t length, uint32_t relativeMs) {
  // A sender that tells its bytes is counted when polled; one that does not,
  // by what it took.
  if (!FHasStats.load()) CountSentBytes(length);
  if (stream == kStreamVideo) {
    FLastSentVideoMs.store(relativeMs, std::memory_order_relaxed);
    FAnySent.store(true, std::memory_order_relaxed);
  }
}

void TDestination::Emit(int stream, const uint8_t* data, uint32_t length, uint32_t relativeMs, bool isKey) {
  const char* refusal = stream == kStreamVideo ? "RTMP_SendVideo failed" : "RTMP_SendAudio failed";
  std::unique_lock<std::mutex> lock(FSendLock);
  void* handle = FHandle.load();
  if (!FAutoReconnect) {
    // Without reconnects nothing is kept: a failed handle refuses each sample.
    if (!FLinkUp || handle == nullptr) return;
    if (SendOne(handle, stream, data, length, relativeMs, isKey)) {
      lock.unlock();
      NoteSent(stream, length, relativeMs);
      return;
    }
    if (RefusedAlone(handle)) return;
    lock.unlock();
    DebugLog(refusal);
    FBroken = true;
    // A refusal mostly means that the connection broke, after which the
    // sender refuses everything: the operator is told once.
    if (!FRefusalReported.exchange(true)) ReportError("错误", kSendFailedText);
    return;
  }
  if (FEnded.load(std::memory_order_relaxed)) return;  // failed for good: nothing is kept
  FKept.Add(stream, data, length, relativeMs, isKey);
  FQueueDrops.store(FKept.DroppedVideoFrames(), std::memory_order_relaxed);
  // Messages still waiting for the supervisor go first: it sends this one too.
  if (!FLinkUp || handle == nullptr || FKept.PendingCount() != 1) return;
  const TKeptMessage& message = FKept.NextPending();
  if (FAwaitKey && !(message.Stream == kStreamVideo && message.IsKey)) {
    FKept.MarkSent();  // the first video of a connection is a key frame
    return;
  }
  if (SendKept(handle, message)) {
    FAwaitKey = false;
    FKept.MarkSent();
    if (!FHasStats) FKept.ConfirmSent(relativeMs);
    lock.unlock();
    NoteSent(stream, length, relativeMs);
    return;
  }
  if (RefusedAlone(handle)) {
    FKept.MarkSent();
    return;
  }
  FLinkUp = false;  // kept: it goes out again after the reconnect
  lock.unlock();
  DebugLog(refusal);
  FBroken = true;
  FSuperWake.notify_one();
}

void TDestination::ResendHeaderWhileHolding() {
  std::lock_guard<std::mutex> lock(FSendLock);
  if (void* handle = FHandle.load(); handle != nullptr && FLinkUp) FSender.SendHeader(handle, &FHeader);
}

uint64_t TDestination::FramesDropped() const {
  return FClosedHandleDrops.load() + FHandleDrops.load() + FQueueDrops.load() + FRefused.load();
}

size_t TDestination::KeptPeakBytes() {
  std::lock_guard<std::mutex> lock(FSendLock);
  return FKept.PeakBytes();
}
