// The program's entry: --help and --version before anything else, the
// arguments read from standard input, the RTSP client library's start-up,
// the settings, the main window (which runs launch mode for a command line of
// two or more arguments) and its message loop; at exit the window stops a
// running push, the settings are released unsaved and the client library is
// stopped.
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "BufferWorkerAdapters.h"
#include "CommandLines.h"
#include "Configs.h"
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
// the stop sequence runs; the handler writes to a pipe that the main thread
// watches. A start (or reconnect) waiting for the server cannot wait for the
// main thread: the handler also ends it at once.
int quitPipe[2] = {-1, -1};

void OnQuitSignal(int) {
  RequestProcessStop();
  RTMP_CancelOpen();
  char byte = 1;
  [[maybe_unused]] ssize_t n = ::write(quitPipe[1], &byte, 1);
}

void QuitOnSignals(QApplication& app) {
  if (::pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  auto* notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, &app);
  QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
    char byte;
    while (::read(quitPipe[0], &byte, 1) > 0) {
    }
    QApplication::closeAllWindows();
    QApplication::quit();
  });
  struct sigaction action {};
  action.sa_handler = OnQuitSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
  // A launcher that closed its end of standard output, or a server that went
  // away, must not end the process.
  std::signal(SIGPIPE, SIG_IGN);
}

// The arguments after the program name, once Qt has taken its own options
// (-platform and the like) out of the list.
std::vector<std::string> CommandLineArguments(int argc, char** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
  return arguments;
}

// --help and --version answer before Qt starts, so they need no display.
// Returns true when the program is done.
bool AnsweredAtOnce(int argc, char** argv) {
  switch (CommandLineRequest(CommandLineArguments(argc, argv))) {
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

}  // namespace

int main(int argc, char** argv) {
  ProcessProtectionPlatform::KeepMemoryPrivate();
  if (AnsweredAtOnce(argc, argv)) return 0;
  ChooseOffscreenWithoutDisplay();
  QApplication app(argc, argv);
  std::vector<std::string> arguments = CommandLineArguments(argc, argv);
  std::string inputError;
  if (!ReadStandardInputArguments(arguments, std::cin, inputError, StandardInputIsAFile())) {
    std::cerr << "Tidecast: " << inputError << std::endl;
    return kExitBadStandardInput;
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
