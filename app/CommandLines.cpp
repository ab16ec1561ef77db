#include "CommandLines.h"

#include "LaunchModes.h"

#include <filesystem>

TCommandLineRequest CommandLineRequest(const std::vector<std::string>& arguments) {
  if (arguments.size() != 1) return TCommandLineRequest::Run;
  if (arguments[0] == "--help") return TCommandLineRequest::Help;
  if (arguments[0] == "--version") return TCommandLineRequest::Version;
  return TCommandLineRequest::Run;
}

std::string VersionText(const std::string& version) { return "Tidecast " + version + "\n"; }

std::string UsageText() {
  return R"(Usage:
  Tidecast                       open the window and push interactively
  Tidecast PARAMETERS DEST...    launch mode: start one push at once
  Tidecast --rooms [--prometheus] [DIR]
                                 every room's state file in DIR (default
                                 /run/tidecast) or one folder below: one line
                                 per room, or Prometheus text
  Tidecast --help | --version

Launch mode. PARAMETERS is a list of Name=Value items joined by "&" (names
in any letter case, the first item of a name counts, bad numbers take the
default). Each DEST is a destination, all fed from the one device: an RTMP
publish URL (rtmp://server/app/stream-key or rtmps://...) or a local
recording folder (file:///absolute/folder).
)" + LaunchParamsUsage() +
         R"(The settings are neither changed nor saved in launch mode.

Secrets. An argument that is exactly "-" is read from standard input, one
line for each "-", in order: "Tidecast - - < room.conf" reads PARAMETERS from
the first line and DEST from the second, so neither the password nor the
stream key appears in the process list.

Standard output in launch mode, one line each, written whole and flushed:
  TIDECAST_START_RESULT id=ID result=CODE
      0 running, 1 device connection failed, 2 RTMP connection failed,
      3 stream header refused, 4 capture start failed (for the device and
      the first destination)
  TIDECAST_STATE id=ID state=running|reconnecting|device_lost|failed|stopped
      on every change of the push's state; with several destinations a line
      about one of them carries dest=N (1 = the first DEST)
  TIDECAST_STATS id=ID ...
      traffic figures, every StatsInterval seconds when that parameter is
      set; with several destinations one more line each with dest=N
  TIDECAST_LINES_DROPPED count=N
      N lines were lost while nobody read standard output (it never blocks)

Environment:
  TIDECAST_DEBUG=1             diagnostic trace on standard error (the
                               password's hash, login and stream keys shortened)
  TIDECAST_EXIT_ON_FAILURE=1   a launch-mode start that fails ends the program
                               with the start result as its exit status
  TIDECAST_STATE_FILE=PATH     launch mode keeps PATH current: the room's state
                               and figures (see Tidecast --rooms)
  NOTIFY_SOCKET, WATCHDOG_USEC the service manager's notifications: READY=1,
                               STATUS=, STOPPING=1, and WATCHDOG=1 while the
                               push makes progress
  XDG_CONFIG_HOME              settings in $XDG_CONFIG_HOME/Orvane/Tidecast.reg
                               (default ~/.config)
  QT_QPA_PLATFORM              Qt's platform; without a display "offscreen"

Exit status: 0 after the window closed (or SIGTERM, SIGINT, SIGHUP); 1 on an
error no part handled; 2 when standard input ended before a "-" got its line;
1 to 4 as above with TIDECAST_EXIT_ON_FAILURE=1.
)";
}

bool ReadStandardInputArguments(std::vector<std::string>& arguments, std::istream& input, std::string& error,
                                bool restAreDestinations) {
  auto readLine = [&input](std::string& line) {
    if (!std::getline(input, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  };
  bool anyDash = false;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] != "-") continue;
    anyDash = true;
    if (!readLine(arguments[i])) {
      error = "standard input ended before the line for argument " + std::to_string(i + 1) + " (\"-\")";
      return false;
    }
  }
  if (!restAreDestinations || !anyDash || arguments.size() < 2) return true;
  for (std::string line; readLine(line);)
    if (!line.empty()) arguments.push_back(line);
  return true;
}

bool StandardInputIsAFile() {
  std::error_code error;
  return std::filesystem::is_regular_file("/dev/stdin", error);
}
