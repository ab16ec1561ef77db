// Launch mode without a window: the start with the launch parameters, the
// start-result report, the lines for the launcher (state, stats), the
// state file (TIDECAST_STATE_FILE), the service manager's notifications
// (NOTIFY_SOCKET) with a watchdog fed only while the push makes progress,
// and the stop. Plain C++: a hidden instance runs it without any widget,
// the visible launch window runs the same.
//
// Threads: Start and Stop on the owner's thread (the controller's main
// thread); the link events on the supervising thread; a ticker thread of
// its own between Start and Stop writes the periodic lines, the state file
// and the notifications.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Configs.h"
#include "LaunchModes.h"
#include "PushControllers.h"
#include "PushLiveness.h"
#include "RoomStates.h"
#include "ServiceNotifiers.h"

class TLaunchRunner {
 public:
  // Takes the controller's OnLinkEvent for its life. The controller and the
  // settings outlive the runner.
  TLaunchRunner(TPushController& controller, TConfig& config, TLaunchParams params);
  ~TLaunchRunner();
  TLaunchRunner(const TLaunchRunner&) = delete;
  TLaunchRunner& operator=(const TLaunchRunner&) = delete;

  // Runs the start with the parameters (AutoReconnect and BufferTime for
  // this run only, never saved) and reports its result: the start-result
  // report, then the state line, then the rest. Returns the start result.
  int Start();
  // The stop: "STOPPING=1", the push's stop, the "stopped" line and state.
  // Safe to call more than once.
  void Stop();
  // An error nobody sees (a hidden instance): a state line for the launcher.
  void ReportHiddenError(const std::string& text);

  const TLaunchParams& Params() const { return FParams; }
  int Result() const { return FResult; }

  // The state file's longest pause: the stats interval, at most 5 s.
  static int32_t RefreshSeconds(int32_t statsInterval);
  // The one-line summary for the service manager's status.
  static std::string StatusSummary(const TRoomStatus& status);

 private:
  struct TMark {
    std::chrono::steady_clock::time_point At;
    uint64_t Recv = 0, Sent = 0, Video = 0, Audio = 0;
  };
  void OnLink(const TLinkEvent& event);
  std::string RoomState() const;  // under FLock
  void SetState(const std::string& state, const std::string& device, const std::string& destination);
  void Tick();
  void RunTicker();
  std::chrono::steady_clock::time_point NextDue() const;
  void WriteStatsLine(TMark& mark);
  void Publish(bool force);  // the state file and the status, when due or forced
  void FeedWatchdog();
  TMark MarkNow() const;
  static double Kbps(uint64_t bytes, const TMark& from, const TMark& to);

  TPushController& FController;
  TConfig& FConfig;
  const TLaunchParams FParams;
  const std::string FStateFile;  // empty: none
  TServiceNotifier FNotifier;
  TPushLiveness FLiveness;

  int FResult = -1;
  bool FStopped = false;
  std::atomic<bool> FRunning{false};  // the push runs: its figures may be read

  std::mutex FLock;  // guards FStatus, FChanged and the ticker's stop flag
  std::condition_variable FWake;
  TRoomStatus FStatus;
  bool FChanged = true;
  bool FTickerStop = false;
  std::thread FTicker;

  // The ticker's own.
  TMark FStatsMark, FFileMark;
  std::vector<uint64_t> FDestinationMarks;  // each destination's sent bytes at the last stats line
  std::chrono::steady_clock::time_point FNextStats, FNextFile, FNextStatus, FNextWatchdog;
  bool FFileErrorTold = false;
};

// SIGTERM, SIGINT and SIGHUP ask the process to stop: the handler ends every
// start and reconnect under way (RequestProcessStop and the given
// async-signal-safe cancels) and writes one byte to a pipe whose read end
// is returned (-1 when none could be made) for the main thread to watch.
// SIGPIPE is ignored: a launcher or server that went away ends nothing.
int InstallQuitSignals(void (*cancelOpen)(), void (*cancelConnect)());
// What the handler does, for a quit asked otherwise (a hidden window closed).
void RequestProcessQuit();
