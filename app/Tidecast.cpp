// The program's entry: --help, --version and --rooms before anything else,
// the arguments read from standard input, the RTSP client library's
// start-up, the settings, then either a hidden launch-mode instance without
// any widget or the main window (which runs launch mode for a command line
// of two or more arguments) and its message loop; at exit the window stops a
// running push, the settings are released unsaved and the client library is
// stopped.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "BufferWorkerAdapters.h"
#include "CommandLines.h"
#include "Configs.h"
#include "ErrorReports.h"
#include "HiddenWindowPlatform.h"
#include "LaunchRunners.h"
#include "RoomViews.h"
#include "ProcessProtectionPlatform.h"
#include "SettingsKeys.h"
#include "TidecastMains.h"
#include "Trel32CaptureDevices.h"
#include "VelmaroSenders.h"
#include "velmaro.h"

namespace {

// Without a display the program runs with Qt's offscreen platform instead of
// refusing to start; a push started by a launching program needs no window.
bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

bool ExitsOnFailedStart() {
  const char* value = std::getenv("TIDECAST_EXIT_ON_FAILURE");
  return value != nullptr && std::string(value) == "1";
}

void ChooseOffscreenWithoutDisplay() {
  if (IsSet("QT_QPA_PLATFORM")) return;
  if (!IsSet("DISPLAY") && !IsSet("WAYLAND_DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// SIGTERM, SIGINT and SIGHUP close the window like the operator would, so
// the stop sequence runs; the handler (LaunchRunners) writes to a pipe that
// the main thread watches. A start (or reconnect) waiting for the server or
// the device cannot wait for the main thread: the handler also ends it.
void QuitOnSignals(QApplication& app) {
  int quitPipe = InstallQuitSignals(RTMP_CancelOpen, TTrel32CaptureDevice::CancelConnects);
  if (quitPipe < 0) return;
  auto* notifier = new QSocketNotifier(quitPipe, QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [quitPipe] {
    char byte;
    while (::read(quitPipe, &byte, 1) > 0) {
    }
    QApplication::closeAllWindows();
    QApplication::quit();
  });
}

// The arguments after the program name, once Qt has taken its own options
// (-platform and the like) out of the list.
std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return arguments;
}

// --help, --version and --rooms answer before Qt starts, so they need no
// display. Returns true when the program is done (with its exit code).
bool AnsweredAtOnce(int argc, char** argv, int& exitCode) {
  std::vector<std::string> arguments = CommandLineArguments(argc, argv);
  exitCode = 0;
  if (!arguments.empty() && arguments[0] == "--rooms") {
    std::string out, err;
    exitCode = RunRoomsCommand(std::vector<std::string>(arguments.begin() + 1, arguments.end()), out, err);
    std::cout << out << std::flush;
    std::cerr << err << std::flush;
    return true;
  }
  switch (CommandLineRequest(arguments)) {
    case TCommandLineRequest::Help:
      std::cout << UsageText() << std::flush;
      return true;
    case TCommandLineRequest::Version:
      std::cout << VersionText(TIDECAST_VERSION) << std::flush;
      return true;
    case TCommandLineRequest::Run:
      break;
  }
  return false;
}

constexpr int kExitBadStandardInput = 2;

// Options meant for Qt (-platform and the like) send the program the
// window's way, where Qt takes them out of the arguments.
bool HasWindowOptions(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments)
    if (argument.size() > 1 && argument[0] == '-') return true;
  return false;
}

std::atomic<TLaunchRunner*> hiddenRunner{nullptr};  // for error reports of worker threads

// A launch-mode instance whose window stays hidden: the push and its
// launch runner without any widget, so no display, no offscreen platform
// and none of the toolkit's memory. It ends on a quit signal (or, on
// Windows, its hidden window's close request).
int RunHidden(const TLaunchParams& params) {
  int quitPipe = InstallQuitSignals(RTMP_CancelOpen, TTrel32CaptureDevice::CancelConnects);
  TTrel32Library library;  // the client library, once for the process
  Config = std::make_unique<TConfig>(DefaultSettingsLocation());
  Config->Load();
  int result = 0;
  {
    TVelmaroSender sender;
    TTrel32CaptureDevice capturer;
    TPushController controller(sender, capturer, *Config, BufferWorkerFactory());
    TLaunchRunner runner(controller, *Config, params);
    hiddenRunner = &runner;
    SetErrorReportHandler([](const std::string&, const std::string& text) {
      if (TLaunchRunner* r = hiddenRunner.load()) r->ReportHiddenError(text);
    });
    HiddenWindowPlatform::THiddenWindow window(params.Caption(), RequestProcessQuit);
    int started = runner.Start();
    if (started > 0 && ExitsOnFailedStart() && !ProcessStopRequested()) {
      result = started;
    } else {
      // Bounded steps: the wait is the process's life, each poll is not.
      pollfd quit{quitPipe, POLLIN, 0};
      while (!ProcessStopRequested() && quitPipe >= 0) ::poll(&quit, 1, 1000);
    }
    runner.Stop();
    SetErrorReportHandler(nullptr);
    hiddenRunner = nullptr;
  }
  Config.reset();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  ProcessProtectionPlatform::KeepMemoryPrivate();
  int exitCode = 0;
  if (AnsweredAtOnce(argc, argv, exitCode)) return exitCode;
  std::vector<std::string> arguments = CommandLineArguments(argc, argv);
  bool windowOptions = HasWindowOptions(arguments);
  std::string inputError;
  if (!windowOptions && !ReadStandardInputArguments(arguments, std::cin, inputError, StandardInputIsAFile())) {
    std::cerr << "Tidecast: " << inputError << std::endl;
    return kExitBadStandardInput;
  }
  if (!windowOptions && IsLaunchMode(arguments)) {
    TLaunchParams params = ParseLaunchParams(arguments[0], std::vector<std::string>(arguments.begin() + 1, arguments.end()));
    if (!params.ShowsWindow()) {
      try {
        return RunHidden(params);
      } catch (const std::exception& e) {
        std::cerr << "Tidecast: " << e.what() << std::endl;
        return 1;
      }
    }
  }
  ChooseOffscreenWithoutDisplay();
  QApplication app(argc, argv);
  if (windowOptions) {
    arguments = CommandLineArguments(argc, argv);  // without Qt's options now
    if (!ReadStandardInputArguments(arguments, std::cin, inputError)) {
      std::cerr << "Tidecast: " << inputError << std::endl;
      return kExitBadStandardInput;
    }
  }
  QuitOnSignals(app);
  try {
    TTrel32Library library;  // the client library, once for the process
    Config = std::make_unique<TConfig>(DefaultSettingsLocation());
    Config->Load();
    int result;
    {
      TVelmaroSender sender;
      TTrel32CaptureDevice capturer;
      TTidecastMain window(*Config, sender, capturer, BufferWorkerFactory(), std::move(arguments));
      if (ProcessStopRequested()) {
        // A quit signal during the launch-mode start came before the message
        // loop, which would not see it any more.
        result = 0;
      } else if (window.LaunchResult() > 0 && ExitsOnFailedStart()) {
        // A service manager restarts a room whose start failed only if the
        // program ends; a launching program that watches the result line
        // wants the instance kept, as the window would be.
        result = window.LaunchResult();
      } else {
        if (window.ShowOnStart()) window.show();
        result = QApplication::exec();
      }
    }  // the window's destruction stops a running push
    Config.reset();
    return result;
  } catch (const std::exception& e) {
    std::cerr << "Tidecast: " << e.what() << std::endl;
    return 1;
  }
}
