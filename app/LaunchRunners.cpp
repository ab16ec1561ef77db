#include "LaunchRunners.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "Debugs.h"
#include "ErrorReports.h"
#include "FlvRecorders.h"
#include "LauncherLines.h"
#include "StartResultPlatform.h"

namespace {

using TClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kShortestSleep{10};
constexpr milliseconds kLongestSleep{1000};
constexpr std::chrono::seconds kStatusInterval{5};
constexpr int32_t kMaxRefreshSeconds = 5;

int64_t UnixNow() { return static_cast<int64_t>(std::time(nullptr)); }

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

}  // namespace

TLaunchRunner::TLaunchRunner(TPushController& controller, TConfig& config, TLaunchParams params)
    : FController(controller),
      FConfig(config),
      FParams(std::move(params)),
      FStateFile(Environment("TIDECAST_STATE_FILE")) {
  FStatus.Room = FStateFile.empty() ? "id" + std::to_string(FParams.id) : RoomNameOfPath(FStateFile);
  FStatus.Since = UnixNow();
  FStatus.RefreshSeconds = RefreshSeconds(FParams.StatsInterval);
  FStatus.Destinations.resize(std::max<size_t>(FParams.Destinations.size(), 1));
  for (TDestinationStatus& destination : FStatus.Destinations) destination.State = "stopped";
  FController.OnLinkEvent = [this](const TLinkEvent& event) { OnLink(event); };
  // file:/// destinations: a local recording each, named after this instance.
  TRecordOptions options;
  options.InstanceId = FParams.id;
  options.SegmentMinutes = FParams.RecordSegmentMinutes;
  options.MaxMB = FParams.RecordMaxMB;
  FController.SetFileSenderFactory([options] { return MakeFlvRecorder(options); });
}

TLaunchRunner::~TLaunchRunner() {
  Stop();
  FController.OnLinkEvent = nullptr;
}

int32_t TLaunchRunner::RefreshSeconds(int32_t statsInterval) {
  return statsInterval > 0 ? std::min(statsInterval, kMaxRefreshSeconds) : kMaxRefreshSeconds;
}

int TLaunchRunner::Start() {
  if (FParams.AutoReconnect >= 0) FConfig.AutoReconnect = FParams.AutoReconnect;  // this run only, not saved
  if (FParams.BufferTime) FConfig.BufferTime = *FParams.BufferTime;
  if (!FParams.TlsCaFile.empty()) FConfig.TlsCaFile = FParams.TlsCaFile;  // this run only, like the above
  if (FParams.TlsVerify >= 0) FConfig.TlsVerify = FParams.TlsVerify;
  if (THevcFlv form; !FParams.HevcFlv.empty() && ParseHevcFlv(FParams.HevcFlv, form))
    FConfig.HevcFlv = FParams.HevcFlv;
  else if (!FParams.HevcFlv.empty())
    ReportError("错误", "HevcFlv=" + FParams.HevcFlv + " 无效（应为 enhanced 或 id12）；现在用设置中的值");
  TClock::time_point now = TClock::now();
  FNextStatus = FNextFile = FNextWatchdog = now;
  FTicker = std::thread([this] { RunTicker(); });

  // The result and running lines are written before any supervising thread
  // can report a link; an rtmps:// push without certificate checks says so.
  const bool unverified = FConfig.TlsVerify == 0 && FParams.RtmpUrl.rfind("rtmps://", 0) == 0;
  FController.OnStartResult = [this, unverified](int result) {
    DebugLogFmt("Start ret=%d", result);
    StartResultPlatform::Report(static_cast<intptr_t>(FParams.hwndFrom), FParams.id, result);
    if (result != kStartRunning) return;
    std::string line = StateLine(FParams.id, "running", 0, -1, unverified ? "tls_unverified" : "");
    // A device whose sound cannot be carried: the push runs without it.
    if (!FController.UnsupportedAudioCodec().empty() && !unverified)
      line += " audio=none reason=unsupported_audio codec=" + FController.UnsupportedAudioCodec();
    WriteLauncherLine(line);
    FStatsMark = FFileMark = MarkNow();
    FDestinationMarks.assign(FStatus.Destinations.size(), 0);
    FNextStats = FStatsMark.At + std::chrono::seconds(std::max(FParams.StatsInterval, 1));
    FRunning = true;
    SetState("running", "ok", "running");
  };
  FResult = FController.StartPush(FParams.Address, FParams.User, FParams.Password, FParams.Destinations,
                                  FParams.RequestsHD(), FParams.IpcMode(), FParams.RtspPort, FParams.HttpPort);
  FController.OnStartResult = nullptr;
  if (FResult != kStartRunning) {
    FController.ReleaseLeftovers();  // nothing goes on reading the device
    const bool tls = FResult == kStartOpenFailed && FController.LastOpenResult() == VELMARO_TLS_FAILED;
    const std::string& codec = FController.RefusedVideoCodec();
    if (!codec.empty())
      WriteLauncherLine(StateLine(FParams.id, "failed", 0, -1, "unsupported_video") + " codec=" + codec);
    else
      WriteLauncherLine(StateLine(FParams.id, "failed", 0, -1, tls ? "tls" : "start_result_" + std::to_string(FResult)));
    SetState("failed", FResult == kStartDeviceFailed ? "failed" : "ok",
             FResult == kStartDeviceFailed ? "stopped" : "failed");
  }
  std::lock_guard guard(FLock);
  FNotifier.Send("READY=1\n" + ServiceStatusText(StatusSummary(FStatus)));
  return FResult;
}

void TLaunchRunner::Stop() {
  if (FStopped) return;
  FStopped = true;
  FNotifier.Send("STOPPING=1");
  {
    std::lock_guard guard(FLock);
    FTickerStop = true;
  }
  FWake.notify_all();
  if (FTicker.joinable()) FTicker.join();
  bool wasRunning = FRunning.exchange(false);
  FController.StopPush();
  if (FResult < 0) return;  // never started: nothing to report
  WriteLauncherLine(StateLine(FParams.id, "stopped"));
  {
    std::lock_guard guard(FLock);
    FStatus.State = "stopped";
    FStatus.Since = UnixNow();
    if (wasRunning)
      for (TDestinationStatus& destination : FStatus.Destinations) destination.State = "stopped";
    FChanged = true;
  }
  Publish(true);
}

void TLaunchRunner::ReportHiddenError(const std::string& text) {
  DebugLogFmt("Error not shown (hidden instance): %s", text.c_str());
  // A refused send is the supervisor's "failed" line already.
  if (text == kSendFailedText) return;
  WriteLauncherLine(StateLine(FParams.id, LinkStateWord(FController.LinkState()), 0, -1, "error"));
}

void TLaunchRunner::OnLink(const TLinkEvent& event) {
  // With several destinations a line about one of them names it.
  const bool several = FStatus.Destinations.size() > 1;
  WriteLauncherLine(StateLine(FParams.id, LinkStateWord(event.State), event.Attempt, event.NextSeconds, event.Reason,
                              several ? event.Destination : 0));
  std::lock_guard guard(FLock);
  // An event of the device (number 0) leaves the destinations as they are.
  const size_t index = event.Destination > 0 ? static_cast<size_t>(event.Destination - 1) : 0;
  TDestinationStatus scratch;
  TDestinationStatus& destination =
      event.Destination > 0 && index < FStatus.Destinations.size() ? FStatus.Destinations[index] : scratch;
  switch (event.State) {
    case TLinkState::Running:
      if (event.Destination == 0) FStatus.Device = "ok";
      destination.State = "running";
      break;
    case TLinkState::Reconnecting:
      destination.State = "reconnecting";
      if (event.Attempt > 0) ++destination.Reconnects;
      break;
    case TLinkState::DeviceLost:
      FStatus.Device = "lost";
      break;
    case TLinkState::Failed:
      destination.State = "failed";
      break;
  }
  std::string state = RoomState();
  if (state != FStatus.State) {
    FStatus.State = state;
    FStatus.Since = UnixNow();
  }
  FChanged = true;
  FWake.notify_all();
}

void TLaunchRunner::SetState(const std::string& state, const std::string& device, const std::string& destination) {
  {
    std::lock_guard guard(FLock);
    FStatus.State = state;
    FStatus.Since = UnixNow();
    FStatus.Device = device;
    for (TDestinationStatus& each : FStatus.Destinations) each.State = destination;
    FChanged = true;
  }
  FWake.notify_all();
}

void TLaunchRunner::RunTicker() {
  std::unique_lock guard(FLock);
  while (!FTickerStop) {
    guard.unlock();
    Tick();
    guard.lock();
    FWake.wait_until(guard, NextDue(), [this] { return FTickerStop || FChanged; });
  }
}

TClock::time_point TLaunchRunner::NextDue() const {
  // Asleep until the next line, file, status or ping is due (a change wakes
  // it at once), but at least once a second.
  TClock::time_point due = std::min({FNextFile, FNextStatus, TClock::now() + kLongestSleep});
  if (FRunning && FParams.StatsInterval > 0) due = std::min(due, FNextStats);
  if (FNotifier.WatchdogInterval().count() > 0) due = std::min(due, FNextWatchdog);
  return std::max(due, TClock::now() + kShortestSleep);
}

void TLaunchRunner::Tick() {
  TClock::time_point now = TClock::now();
  if (FRunning && FParams.StatsInterval > 0 && now >= FNextStats) {
    WriteStatsLine(FStatsMark);
    FNextStats = now + std::chrono::seconds(FParams.StatsInterval);
  }
  Publish(false);
  if (FNotifier.WatchdogInterval().count() > 0) {
    bool alive = true;
    if (FRunning) {
      TPushProgress progress;
      progress.SupervisorBeats = FController.FSupervisorBeats.load();
      progress.IntakeBytes = FController.FTotalRecvBytes.load();
      progress.SentBytes = FController.FTotalSentBytes.load();
      progress.MediaExpected = FController.LinkState() == TLinkState::Running;
      alive = FLiveness.Alive(progress, now);
    }
    if (now >= FNextWatchdog) {
      FNextWatchdog = now + FNotifier.WatchdogInterval();
      if (alive)
        FNotifier.Send("WATCHDOG=1");
      else
        DebugLog("Watchdog not fed: the push makes no progress");
    }
  }
}

TLaunchRunner::TMark TLaunchRunner::MarkNow() const {
  return {TClock::now(), FController.FTotalRecvBytes.load(), FController.FTotalSentBytes.load(),
          FController.FTotalVideoFrames.load(), FController.FTotalAudioFrames.load()};
}

double TLaunchRunner::Kbps(uint64_t bytes, const TMark& from, const TMark& to) {
  double seconds = std::max(0.001, std::chrono::duration<double>(to.At - from.At).count());
  return static_cast<double>(bytes) * 8 / 1000 / seconds;
}

void TLaunchRunner::WriteStatsLine(TMark& mark) {
  TMark now = MarkNow();
  double seconds = std::max(0.001, std::chrono::duration<double>(now.At - mark.At).count());
  TStatsFigures f;
  f.RecvKbps = Kbps(now.Recv - mark.Recv, mark, now);
  f.SentKbps = Kbps(now.Sent - mark.Sent, mark, now);
  f.VideoFps = static_cast<double>(now.Video - mark.Video) / seconds;
  f.AudioFps = static_cast<double>(now.Audio - mark.Audio) / seconds;
  f.Dropped = FController.FramesDropped();
  f.DelaySeconds = FController.CurrentDelaySeconds();
  mark = now;
  WriteLauncherLine(StatsLine(FParams.id, f));
  if (FStatus.Destinations.size() < 2) return;
  // With several destinations, one more line each: its own rate and drops.
  const size_t count = std::min(FController.DestinationCount(), FDestinationMarks.size());
  for (size_t i = 0; i < count; ++i) {
    const TDestination& d = FController.Destination(i);
    const uint64_t sent = d.SentBytes();
    WriteLauncherLine(DestinationStatsLine(FParams.id, d.Number(),
                                           static_cast<double>(sent - FDestinationMarks[i]) * 8 / 1000 / seconds,
                                           d.FramesDropped()));
    FDestinationMarks[i] = sent;
  }
}

void TLaunchRunner::Publish(bool force) {
  TClock::time_point now = TClock::now();
  TRoomStatus status;
  bool fileDue, statusDue;
  {
    std::lock_guard guard(FLock);
    fileDue = force || FChanged || now >= FNextFile;
    statusDue = force || FChanged || now >= FNextStatus;
    if (!fileDue && !statusDue) return;
    FChanged = false;
    if (FRunning && fileDue) {
      TMark mark = MarkNow();
      const size_t count = std::min(FController.DestinationCount(), FStatus.Destinations.size());
      for (size_t i = 0; i < count; ++i) {
        const TDestination& source = FController.Destination(i);
        const size_t slot = static_cast<size_t>(source.Number() - 1);
        if (slot >= FStatus.Destinations.size()) continue;
        TDestinationStatus& d = FStatus.Destinations[slot];
        const uint64_t sent = source.SentBytes();
        d.SentKbps = Kbps(sent - std::min(sent, d.SentBytes), FFileMark, mark);
        d.SentBytes = sent;
        d.FramesDropped = source.FramesDropped();
      }
      FFileMark = mark;
    }
    FStatus.Updated = UnixNow();
    status = FStatus;
  }
  if (fileDue) {
    FNextFile = now + std::chrono::seconds(status.RefreshSeconds);
    std::string error;
    if (!FStateFile.empty() && !ReplaceFileText(FStateFile, FormatRoomStatus(status), error) && !FFileErrorTold) {
      FFileErrorTold = true;  // once: a full disk must not fill the trace
      PostStandardErrorLine("Tidecast: state file not written: " + error + "\n");
    }
  }
  if (statusDue) {
    FNextStatus = now + kStatusInterval;
    FNotifier.Send(ServiceStatusText(StatusSummary(status)));
  }
}

std::string TLaunchRunner::RoomState() const {
  // The room is as well as its best destination: running while any one
  // runs, failed only when every one has failed; the device's loss first.
  if (FStatus.Device == "lost") return "device_lost";
  bool reconnecting = false;
  for (const TDestinationStatus& d : FStatus.Destinations) {
    if (d.State == "running") return "running";
    if (d.State == "reconnecting") reconnecting = true;
  }
  return reconnecting ? "reconnecting" : "failed";
}

std::string TLaunchRunner::StatusSummary(const TRoomStatus& s) {
  std::string text = s.State + ", device " + s.Device;
  for (size_t i = 0; i < s.Destinations.size(); ++i) {
    const TDestinationStatus& d = s.Destinations[i];
    text += "; dest " + std::to_string(i + 1) + " " + d.State + " " + OneDecimal(d.SentKbps) + " kbit/s, " +
            std::to_string(d.FramesDropped) + " frames dropped, " + std::to_string(d.Reconnects) + " reconnects";
  }
  return text;
}

namespace {

int quitPipe[2] = {-1, -1};
void (*quitCancelOpen)() = nullptr;
void (*quitCancelConnect)() = nullptr;

void OnQuitSignal(int) {
  int saved = errno;
  RequestProcessQuit();
  errno = saved;
}

}  // namespace

void RequestProcessQuit() {
  RequestProcessStop();
  if (quitCancelOpen) quitCancelOpen();
  if (quitCancelConnect) quitCancelConnect();
  char byte = 1;
  if (quitPipe[1] >= 0) {
    [[maybe_unused]] ssize_t n = ::write(quitPipe[1], &byte, 1);
  }
}

int InstallQuitSignals(void (*cancelOpen)(), void (*cancelConnect)()) {
  quitCancelOpen = cancelOpen;
  quitCancelConnect = cancelConnect;
  // A launcher that closed its end of standard output, or a server that went
  // away, must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  if (quitPipe[0] < 0 && ::pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
  return quitPipe[0];
}
