// The program binary itself: it finds its libraries through its run path,
// starts without a display, creates its settings and runs the stop sequence
// when it is told to end; in launch mode it starts the push at once against
// the device simulator and nginx-rtmp and prints the start result.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
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

  void Start(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{BuildDir() + "/bin/Tidecast"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    process.Start(argv, dir.File("program.log"),
                  {"XDG_CONFIG_HOME=" + dir.Path(), "TIDECAST_DEBUG=1", "DISPLAY=", "WAYLAND_DISPLAY=",
                   "QT_QPA_PLATFORM="});
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

std::string Parameters(const TDeviceSimulator& device, int id) {
  return "Address=127.0.0.1&User=admin&Password=admin&isHD=0&RtspPort=" + std::to_string(device.RtspPort()) +
         "&HttpPort=" + std::to_string(device.HttpPort()) + "&id=" + std::to_string(id);
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
