// The program binary itself: it finds its libraries through its run path,
// starts without a display, creates its settings and runs the stop sequence
// when it is told to end; in launch mode it starts the push at once against
// the device simulator and nginx-rtmp and prints the start result.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <thread>

#include "DeviceSimulator.h"
#include "MediaProbe.h"
#include "NginxRtmp.h"
#include "Processes.h"

using namespace testsupport;

namespace {

// One Tidecast process with its own settings folder and no display.
struct TProgram {
  TTempDir dir{"tidecast-program"};
  TChildProcess process;

  // `environment` adds to or overrides the defaults (no display, traces on).
  void Start(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {}) {
    std::vector<std::string> argv{BuildDir() + "/bin/Tidecast"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env{"XDG_CONFIG_HOME=" + dir.Path(), "TIDECAST_DEBUG=1", "DISPLAY=", "WAYLAND_DISPLAY=",
                                 "QT_QPA_PLATFORM=", "TIDECAST_EXIT_ON_FAILURE="};
    env.insert(env.end(), environment.begin(), environment.end());
    process.Start(argv, dir.File("program.log"), env);
  }
  // Hands `lines` to the program's standard input, one each.
  void Input(const std::vector<std::string>& lines) {
    std::ofstream file(dir.File("input"));
    for (const std::string& line : lines) file << line << "\n";
    process.SetInput(dir.File("input"));
  }
  std::string Log() const { return ReadWholeFile(dir.File("program.log")); }

  // Waits for the start result line; empty when none came in time.
  std::string WaitResultLine(std::chrono::seconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
      std::string log = Log();
      size_t at = log.find("TIDECAST_START_RESULT");
      size_t eol = log.find('\n', at);
      if (at != std::string::npos && eol != std::string::npos) return log.substr(at, eol - at);
      if (!process.Running()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return {};
  }

  // SIGTERM is the window being closed: the stop sequence runs, exit code 0.
  void ExpectCleanExitOnSigterm() {
    process.Signal(SIGTERM);
    int status = process.WaitExit(std::chrono::seconds(20));
    ASSERT_TRUE(WIFEXITED(status)) << Log();
    EXPECT_EQ(WEXITSTATUS(status), 0) << Log();
  }
};

std::string Parameters(const TDeviceSimulator& device, int id, const std::string& password = "admin") {
  return "Address=127.0.0.1&User=admin&Password=" + password + "&isHD=0&RtspPort=" + std::to_string(device.RtspPort()) +
         "&HttpPort=" + std::to_string(device.HttpPort()) + "&id=" + std::to_string(id);
}

// The value that follows `name` in the first logged request holding it.
std::string RequestValue(const TDeviceSimulator& device, const std::string& name) {
  std::vector<std::string> requests = device.Requests(name);
  if (requests.empty()) return {};
  size_t start = requests[0].find(name) + name.size();
  return requests[0].substr(start, requests[0].find_first_of(" &", start) - start);
}

// A room started by a launching program: its own server and device, the
// push of instance `id` to the stream "room<id>".
struct TLaunchedRoom {
  TNginxRtmp nginx;
  TDeviceSimulator device;
  TProgram program;

  explicit TLaunchedRoom(int id) {
    nginx.Start();
    device.Start();
    program.Start({Parameters(device, id), nginx.PublishUrl("room" + std::to_string(id))});
  }
  std::string ResultLine() { return program.WaitResultLine(std::chrono::seconds(30)); }
};

}  // namespace

TEST(Program, StartsWithoutADisplayAndStopsOnSigterm) {
  TProgram program;
  program.Start({});
  std::string settings = program.dir.Path() + "/Orvane/Tidecast.reg";
  struct stat info {};
  for (int i = 0; i < 100 && ::stat(settings.c_str(), &info) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(::stat(settings.c_str(), &info), 0) << program.Log();
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_TRUE(program.process.Running()) << program.Log();

  program.ExpectCleanExitOnSigterm();
  EXPECT_NE(program.Log().find("Capture Stop"), std::string::npos) << "the window's stop sequence ran";
  EXPECT_EQ(program.Log().find("TIDECAST_START_RESULT"), std::string::npos) << "no launch without arguments";
}

TEST(Program, LaunchModeStartsThePushAndStopsOnSigterm) {
  TLaunchedRoom room(7);
  TDeviceSimulator& device = room.device;
  TNginxRtmp& nginx = room.nginx;
  TProgram& program = room.program;
  EXPECT_EQ(room.ResultLine(), "TIDECAST_START_RESULT id=7 result=0") << program.Log();
  EXPECT_NE(program.Log().find("Start ret=0"), std::string::npos);
  EXPECT_FALSE(device.Requests("RTSP DESCRIBE /stream/4?config.login=").empty()) << "the low stream";
  std::this_thread::sleep_for(std::chrono::seconds(4));
  ASSERT_TRUE(program.process.Running()) << program.Log();

  program.ExpectCleanExitOnSigterm();
  EXPECT_NE(program.Log().find("Capture Stop"), std::string::npos) << program.Log();
  ASSERT_TRUE(nginx.WaitForRecording("room7", std::chrono::seconds(10)));
  std::vector<TProbedStream> streams = ProbeStreams(nginx.RecordingPath("room7"));
  ASSERT_EQ(streams.size(), 2u) << ProbeSummary(nginx.RecordingPath("room7"));
  int video = 0;
  for (const TProbedPacket& packet : ProbePackets(nginx.RecordingPath("room7"))) video += packet.codecType == "video";
  EXPECT_GT(video, 50) << "about four seconds at 25 fps";
}

TEST(Program, LaunchModeReportsAnUnreachableDevice) {
  TNginxRtmp nginx;
  nginx.Start();
  TProgram program;
  int closedPort = FreeLoopbackPort();
  program.Start({"Address=127.0.0.1&RtspPort=" + std::to_string(closedPort) +
                     "&HttpPort=" + std::to_string(closedPort) + "&id=12",
                 nginx.PublishUrl("room12")});
  EXPECT_EQ(program.WaitResultLine(std::chrono::seconds(60)), "TIDECAST_START_RESULT id=12 result=1")
      << program.Log();
  ASSERT_TRUE(program.process.Running()) << "the instance waits to be told to end, as its window would";
  program.ExpectCleanExitOnSigterm();

  // A service manager restarts what ends: on request, a failed start ends
  // the program with the start result.
  TProgram serviced;
  serviced.Start({"Address=127.0.0.1&RtspPort=" + std::to_string(closedPort) + "&HttpPort=0&id=13",
                  nginx.PublishUrl("room13")},
                 {"TIDECAST_EXIT_ON_FAILURE=1"});
  int status = serviced.process.WaitExit(std::chrono::seconds(60));
  ASSERT_TRUE(WIFEXITED(status)) << serviced.Log();
  EXPECT_EQ(WEXITSTATUS(status), 1) << serviced.Log();
  EXPECT_NE(serviced.Log().find("TIDECAST_START_RESULT id=13 result=1"), std::string::npos) << serviced.Log();
}

TEST(Program, SigtermEndsAPushWhoseServerWentAway) {
  TLaunchedRoom room(9);
  TNginxRtmp& nginx = room.nginx;
  TProgram& program = room.program;
  ASSERT_EQ(room.ResultLine(), "TIDECAST_START_RESULT id=9 result=0") << program.Log();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  nginx.Kill();
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_TRUE(program.process.Running()) << "a lost server is no crash: " << program.Log();
  program.ExpectCleanExitOnSigterm();
  EXPECT_NE(program.Log().find("Capture Stop"), std::string::npos) << program.Log();
}

// A launcher hands the password and the stream key over on standard input:
// the push runs, the process's arguments show neither, and the trace shows
// only hints of them, of the password's hash and of the login key.
TEST(Program, SecretsFromStandardInputStayOutOfArgumentsAndTrace) {
  TNginxRtmp nginx;
  nginx.Start();
  TDeviceSimulatorOptions options;
  options.password = "correct-horse-21";
  TDeviceSimulator device(options);
  device.Start();
  const std::string streamKey = "room21-a8f3c2e19b7d4f2a";
  TProgram program;
  program.Input({Parameters(device, 21, options.password), nginx.PublishUrl(streamKey)});
  program.Start({"-", "-"});
  ASSERT_EQ(program.WaitResultLine(std::chrono::seconds(30)), "TIDECAST_START_RESULT id=21 result=0") << program.Log();
  std::string arguments = ReadWholeFile("/proc/" + std::to_string(program.process.Pid()) + "/cmdline");
  EXPECT_EQ(arguments, BuildDir() + "/bin/Tidecast" + std::string("\0-\0-\0", 5));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  program.ExpectCleanExitOnSigterm();
  EXPECT_TRUE(nginx.WaitForRecording(streamKey, std::chrono::seconds(10))) << "the push reached the server";

  const std::string hash = RequestValue(device, "upswd=");
  const std::string loginKey = RequestValue(device, "config.login=");
  ASSERT_EQ(hash.size(), 32u);
  ASSERT_FALSE(loginKey.empty());
  std::string log = program.Log();
  for (const std::string& secret : {options.password, hash, loginKey, streamKey})
    EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in the trace:\n" << log;
  for (const std::string& hint : {"upswd=\u2026" + hash.substr(28), "/hls/\u2026" + streamKey.substr(19)})
    EXPECT_NE(log.find(hint), std::string::npos) << hint << " missing from the trace:\n" << log;
}

// --help and --version answer at once, before the window system is touched
// (xcb without a display would abort); a "-" without its line is refused.
TEST(Program, AnswersHelpAndVersionWithoutADisplay) {
  const std::string program = BuildDir() + "/bin/Tidecast";
  const std::vector<std::string> noDisplay{"env", "DISPLAY=", "WAYLAND_DISPLAY=", "QT_QPA_PLATFORM=xcb"};
  auto run = [&](std::vector<std::string> arguments) {
    std::vector<std::string> argv = noDisplay;
    argv.push_back(program);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return RunCommand(argv, std::chrono::seconds(10));
  };
  TCommandResult version = run({"--version"});
  EXPECT_EQ(version.exitCode, 0) << version.errors;
  EXPECT_EQ(version.output, "Tidecast 1.5.0.0\n");
  TCommandResult help = run({"--help"});
  EXPECT_EQ(help.exitCode, 0) << help.errors;
  for (const char* topic : {"BufferTime=", "\"-\"", "TIDECAST_START_RESULT", "TIDECAST_STATE", "TIDECAST_STATS",
                            "TIDECAST_DEBUG"})
    EXPECT_NE(help.output.find(topic), std::string::npos) << topic;
  TCommandResult shortInput = RunCommand({"env", "QT_QPA_PLATFORM=offscreen", program, "-", "-"},
                                         std::chrono::seconds(10));
  EXPECT_EQ(shortInput.exitCode, 2);
  EXPECT_NE(shortInput.errors.find("standard input ended"), std::string::npos) << shortInput.errors;
}

// What a window manager shows for a launched instance is its caption alone.
TEST(Program, LaunchCaptionIsTheWholeVisibleTitle) {
  if (RunCommand({"sh", "-c", "command -v Xvfb && command -v xprop"}).exitCode != 0)
    GTEST_SKIP() << "Xvfb and xprop are needed (scripts/install-deps.sh)";
  TTempDir xdir("tidecast-xvfb");
  TChildProcess xvfb;
  const std::string display = ":" + std::to_string(100 + ::getpid() % 800);  // apart from other tests' servers
  xvfb.Start({"Xvfb", display, "-nolisten", "tcp", "-screen", "0", "800x600x24"}, xdir.File("xvfb.log"));
  struct stat socket {};
  const std::string socketPath = "/tmp/.X11-unix/X" + display.substr(1);
  for (int i = 0; i < 100 && ::stat(socketPath.c_str(), &socket) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(xvfb.Running()) << ReadWholeFile(xdir.File("xvfb.log"));
  TProgram program;
  int closed = FreeLoopbackPort();
  program.Start({"Address=127.0.0.1&HttpPort=0&RtspPort=" + std::to_string(closed) + "&id=0", "rtmp://127.0.0.1/live/x"},
                // Qt's X11 platform starts a D-Bus thread whose locks, inside
                // uninstrumented Qt, ThreadSanitizer cannot see; the offscreen
                // runs above check the program for races.
                {"DISPLAY=" + display, "TSAN_OPTIONS=report_bugs=0"});
  ASSERT_EQ(program.WaitResultLine(std::chrono::seconds(30)), "TIDECAST_START_RESULT id=0 result=1") << program.Log();
  TCommandResult names;
  for (int i = 0; i < 50; ++i) {
    names = RunCommand({"env", "DISPLAY=" + display, "xprop", "-name", "TidecastMain-0", "WM_NAME", "_NET_WM_NAME"});
    if (names.exitCode == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(names.output, "WM_NAME(STRING) = \"TidecastMain-0\"\n_NET_WM_NAME(UTF8_STRING) = \"TidecastMain-0\"\n")
      << names.errors << program.Log();
  program.ExpectCleanExitOnSigterm();
}
