// The program left alone in launch mode, as a scheduling program runs it:
// the RTMP server killed and started again, a server that never answers
// `connect`, a device that freezes, and reconnects turned off. What the
// launcher reads on standard output, what the server recorded, and that a
// quit signal always ends the process promptly.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

#include <fcntl.h>

#include "DeviceSimulator.h"
#include "FlvFile.h"
#include "MediaProbe.h"
#include "NginxRtmp.h"
#include "Processes.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

struct TProgram {
  TTempDir dir{"tidecast-unattended"};
  TChildProcess process;

  void Start(const std::string& parameters, const std::string& url, int delaySeconds = 0) {
    Start(parameters, std::vector<std::string>{url}, delaySeconds);
  }
  void Start(const std::string& parameters, const std::vector<std::string>& destinations, int delaySeconds = 0) {
    std::filesystem::create_directories(dir.Path() + "/Orvane");
    WriteSettings(delaySeconds);
    std::vector<std::string> arguments{BuildDir() + "/bin/Tidecast", parameters};
    arguments.insert(arguments.end(), destinations.begin(), destinations.end());
    process.Start(arguments, dir.File("program.log"),
                  {"XDG_CONFIG_HOME=" + dir.Path(), "TIDECAST_DEBUG=1", "DISPLAY=", "WAYLAND_DISPLAY=",
                   "QT_QPA_PLATFORM="});
  }
  void WriteSettings(int delaySeconds) {
    char delay[16];
    std::snprintf(delay, sizeof delay, "%08x", delaySeconds);
    FILE* f = std::fopen((dir.Path() + "/Orvane/Tidecast.reg").c_str(), "w");
    std::fprintf(f, "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Orvane\\Tidecast]\n"
                    "\"HttpPort\"=dword:00000050\n\"RtspPort\"=dword:0000022a\n\"StreamType\"=dword:00000000\n"
                    "\"BufferTime\"=dword:%s\n\n", delay);
    std::fclose(f);
  }
  std::string Log() const { return ReadWholeFile(dir.File("program.log")); }
  // The launcher lines so far, in order.
  std::vector<std::string> Lines(const std::string& prefix) const {
    std::vector<std::string> lines;
    std::string log = Log();
    for (size_t at = log.find(prefix); at != std::string::npos; at = log.find(prefix, at + 1)) {
      size_t eol = log.find('\n', at);
      if (eol == std::string::npos) break;
      lines.push_back(log.substr(at, eol - at));
    }
    return lines;
  }
  // Waits for a launcher line containing `text` after the first `skip` lines.
  bool WaitLine(const std::string& text, seconds timeout, size_t skip = 0) {
    auto end = steady_clock::now() + timeout;
    while (steady_clock::now() < end) {
      std::vector<std::string> lines = Lines("TIDECAST_");
      for (size_t i = skip; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(milliseconds(100));
    }
    return false;
  }
  size_t LineCount() const { return Lines("TIDECAST_").size(); }
  // SIGTERM; returns the seconds until the process ended, -1 when it did not
  // within 20 s or not with code 0 (a sanitizer's leak report makes it 1).
  double Terminate() {
    auto sent = steady_clock::now();
    process.Signal(SIGTERM);
    int status = process.WaitExit(seconds(20));
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return duration<double>(steady_clock::now() - sent).count();
  }
};

std::string Parameters(const TDeviceSimulator& device, int id, const std::string& extra = "") {
  return "Address=127.0.0.1&User=admin&Password=admin&isHD=0&RtspPort=" + std::to_string(device.RtspPort()) +
         "&HttpPort=" + std::to_string(device.HttpPort()) + "&id=" + std::to_string(id) + extra;
}

struct TVideoFrame {
  uint32_t timeMs;
  bool key;
  std::vector<uint8_t> body;
};

std::vector<TVideoFrame> VideoFrames(const std::string& path) {
  std::vector<TVideoFrame> frames;
  for (TFlvTag& tag : ReadFlvFile(path).tags)
    if (tag.IsVideo() && !tag.IsSequenceHeader()) frames.push_back({tag.timestamp, (tag.body[0] >> 4) == 1, tag.body});
  return frames;
}

// The two recordings of one push around an outage must hold every video
// frame: the second begins with a key frame that the first already holds
// (it goes back no later than where the first ended), the frames both hold
// are the same, and from there on no frame is missing and no time goes back.
void ExpectRecordingsMeet(const std::vector<TVideoFrame>& first, const std::vector<TVideoFrame>& second) {
  ASSERT_GT(first.size(), 25u);
  ASSERT_GT(second.size(), 25u);
  EXPECT_TRUE(second.front().key) << "the first video after the reconnect is a key frame";
  auto at = std::find_if(first.begin(), first.end(), [&](const TVideoFrame& f) { return f.body == second.front().body; });
  ASSERT_NE(at, first.end()) << "the second recording begins after where the first ended: frames were lost";
  size_t k = static_cast<size_t>(at - first.begin());
  for (size_t i = k; i < first.size() && i - k < second.size(); ++i)
    ASSERT_EQ(first[i].body, second[i - k].body) << "the frames both recordings hold differ at " << i;
  // One timeline: the first recording up to the join, then the second moved onto it.
  std::vector<int64_t> times;
  for (size_t i = 0; i < k; ++i) times.push_back(first[i].timeMs);
  const int64_t shift = int64_t{first[k].timeMs} - second.front().timeMs;
  for (const TVideoFrame& f : second) times.push_back(f.timeMs + shift);
  int64_t widest = 0;
  for (size_t i = 1; i < times.size(); ++i) {
    ASSERT_GT(times[i], times[i - 1]) << "time steps back at frame " << i;
    widest = std::max(widest, times[i] - times[i - 1]);
  }
  std::printf("[ figures ] first %zu frames, second %zu, joined at %zu, widest step %lld ms\n", first.size(),
              second.size(), k, static_cast<long long>(widest));
  EXPECT_LE(widest, 70) << "a frame is missing (25 fps: 40 ms apart)";
}

class ServerRestarted : public testing::TestWithParam<int> {};

TEST_P(ServerRestarted, LauncherIsToldAndTheRecordingsHoldEveryFrame) {
  const int delay = GetParam();
  TNginxRtmp nginx;
  TDeviceSimulator device;
  nginx.Start();
  device.Start();
  TProgram program;
  program.Start(Parameters(device, 5, "&StatsInterval=1"), nginx.PublishUrl("room5"), delay);
  ASSERT_TRUE(program.WaitLine("TIDECAST_START_RESULT id=5 result=0", seconds(30))) << program.Log();
  ASSERT_TRUE(program.WaitLine("TIDECAST_STATE id=5 state=running", seconds(5))) << program.Log();
  std::this_thread::sleep_for(seconds(delay + 4));

  nginx.Kill();
  const std::string first = nginx.RecordDir() + "/first.flv";
  std::filesystem::rename(nginx.RecordingPath("room5"), first);
  std::this_thread::sleep_for(seconds(6));
  nginx.Start();
  ASSERT_TRUE(program.WaitLine("state=reconnecting attempt=", seconds(5))) << program.Log();
  size_t beforeBack = program.LineCount();
  ASSERT_TRUE(program.WaitLine("TIDECAST_STATE id=5 state=running", seconds(20), beforeBack)) << program.Log();
  EXPECT_TRUE(program.WaitLine("TIDECAST_STATS id=5 recv_kbps=", seconds(3)));
  std::this_thread::sleep_for(seconds(5));

  double exitSeconds = program.Terminate();
  EXPECT_GE(exitSeconds, 0) << program.Log();
  EXPECT_LT(exitSeconds, 3.0);
  EXPECT_EQ(program.Lines("TIDECAST_STATE").back(), "TIDECAST_STATE id=5 state=stopped");
  nginx.Stop();
  ExpectRecordingsMeet(VideoFrames(first), VideoFrames(nginx.RecordingPath("room5")));
}

// Without a delay the two-destination scenario below covers a server that
// goes away; the reconnect schedule itself is the destination's unit test.
INSTANTIATE_TEST_SUITE_P(Delays, ServerRestarted, testing::Values(10),
                         [](const testing::TestParamInfo<int>& p) { return "Delay" + std::to_string(p.param) + "s"; });

// One device, two servers: the first is killed mid-push and back 15 s later;
// the second never notices (its recording has every frame), the first's two
// recordings meet. Lines: the result, then running, then the rest, each about
// one destination with its dest=.
TEST(TwoDestinations, OneServerAwayForFifteenSecondsTheOtherLosesNothing) {
  // Each takes its ports once the one before listens on its own.
  TNginxRtmp away;
  away.Start();
  TNginxRtmp steady;
  steady.Start();
  TDeviceSimulator device;
  device.Start();
  TProgram program;
  // The local recording, a third destination, goes on like the steady server.
  const std::string folder = steady.RecordDir() + "/local";
  std::vector<std::string> destinations{away.PublishUrl("room7"), steady.PublishUrl("room7"), "file://" + folder};
  program.Start(Parameters(device, 7, "&StatsInterval=1"), destinations);
  ASSERT_TRUE(program.WaitLine("TIDECAST_START_RESULT id=7 result=0", seconds(30))) << program.Log();
  ASSERT_TRUE(program.WaitLine("state=running dest=2 reason=connected", seconds(10))) << program.Log();
  std::this_thread::sleep_for(seconds(4));

  away.Kill();
  const std::string first = away.RecordDir() + "/first.flv";
  std::filesystem::rename(away.RecordingPath("room7"), first);
  ASSERT_TRUE(program.WaitLine("state=reconnecting dest=1 attempt=1 next_s=1 reason=server_lost", seconds(10)))
      << program.Log();
  std::this_thread::sleep_for(seconds(15));
  away.Start();
  size_t beforeBack = program.LineCount();
  ASSERT_TRUE(program.WaitLine("TIDECAST_STATE id=7 state=running dest=1 reason=reconnected", seconds(25), beforeBack))
      << program.Log();
  EXPECT_TRUE(program.WaitLine("TIDECAST_STATS id=7 dest=2 sent_kbps=", seconds(3), beforeBack)) << program.Log();
  std::this_thread::sleep_for(seconds(2));

  double exitSeconds = program.Terminate();
  EXPECT_GE(exitSeconds, 0) << program.Log();
  EXPECT_LT(exitSeconds, 3.0);
  const std::vector<std::string> lines = program.Lines("TIDECAST_");
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "TIDECAST_START_RESULT id=7 result=0");
  EXPECT_EQ(lines[1], "TIDECAST_STATE id=7 state=running");
  EXPECT_EQ(lines.back(), "TIDECAST_STATE id=7 state=stopped");
  away.Stop();
  steady.Stop();

  const std::vector<TVideoFrame> whole = VideoFrames(steady.RecordingPath("room7"));
  ASSERT_GT(whole.size(), 25u * 18) << "the steady server's recording spans the push";
  for (size_t i = 1; i < whole.size(); ++i)
    ASSERT_LE(whole[i].timeMs - whole[i - 1].timeMs, 70u) << "a gap at frame " << i << " of the steady server's";
  ExpectRecordingsMeet(VideoFrames(first), VideoFrames(away.RecordingPath("room7")));

  // One file, named after the instance, that decodes cleanly and holds as
  // many pictures as the steady server got (the same messages, from the same
  // key frame on, within the last moments before the stop).
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].filename().string().rfind("7-", 0), 0u) << files[0];
  EXPECT_TRUE(testsupport::DecodeErrors(files[0].string()).empty()) << files[0];
  size_t recorded = 0;
  for (const testsupport::TProbedPacket& packet : testsupport::ProbePackets(files[0].string()))
    recorded += packet.codecType == "video";
  EXPECT_NEAR(static_cast<double>(recorded), static_cast<double>(whole.size()), 25.0) << "the local recording spans the push";
}

// Completes the RTMP handshake, then reads and never answers: a server that
// holds `connect` forever.
class THandshakeOnlyServer {
 public:
  THandshakeOnlyServer() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 4);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~THandshakeOnlyServer() {
    stop_ = true;
    ::shutdown(fd_, SHUT_RDWR);
    thread_.join();
    ::close(fd_);
  }
  std::string Url() const { return "rtmp://127.0.0.1:" + std::to_string(port_) + "/hls/silent"; }

 private:
  void Serve() {
    while (!stop_) {
      int client = ::accept(fd_, nullptr, nullptr);
      if (client < 0) return;
      std::vector<uint8_t> c0c1(1537);
      if (ReadAll(client, c0c1.data(), c0c1.size())) {
        std::vector<uint8_t> reply(1 + 1536 + 1536, 0);
        reply[0] = 3;
        std::copy(c0c1.begin() + 1, c0c1.end(), reply.begin() + 1 + 1536);  // S2 echoes C1
        [[maybe_unused]] ssize_t n = ::send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        uint8_t sink[4096];
        while (!stop_ && ::recv(client, sink, sizeof sink, 0) > 0) {
        }
      }
      ::close(client);
    }
  }
  static bool ReadAll(int fd, uint8_t* data, size_t size) {
    for (size_t done = 0; done < size;) {
      ssize_t n = ::recv(fd, data + done, size - done, 0);
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }
  int fd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(SilentServer, StartEndsWithResultTwoAndSigtermEndsTheStartAtOnce) {
  THandshakeOnlyServer server;
  TDeviceSimulator device;
  device.Start();

  TProgram waited;
  auto started = steady_clock::now();
  waited.Start(Parameters(device, 3), server.Url());
  ASSERT_TRUE(waited.WaitLine("TIDECAST_START_RESULT id=3 result=2", seconds(40))) << waited.Log();
  std::printf("[ timing ] result 2 after %.1f s\n", duration<double>(steady_clock::now() - started).count());
  EXPECT_TRUE(waited.WaitLine("TIDECAST_STATE id=3 state=failed", seconds(2))) << waited.Log();
  EXPECT_EQ(waited.Log().find("Capturing..."), std::string::npos);
  auto released = steady_clock::now() + seconds(3);
  while (device.Requests("RTSP TEARDOWN").empty() && steady_clock::now() < released)
    std::this_thread::sleep_for(milliseconds(100));
  EXPECT_FALSE(device.Requests("RTSP TEARDOWN").empty()) << "the failed start still reads the device";
  ASSERT_TRUE(waited.process.Running()) << "the instance waits to be told to end";

  TProgram stopped;
  stopped.Start(Parameters(device, 4), server.Url());
  std::this_thread::sleep_for(milliseconds(3500));  // the device is connected by now; the server holds the open
  ASSERT_TRUE(stopped.process.Running());
  double exitSeconds = stopped.Terminate();
  EXPECT_GE(exitSeconds, 0) << stopped.Log();
  EXPECT_LT(exitSeconds, 3.0) << stopped.Log();
  EXPECT_TRUE(stopped.WaitLine("TIDECAST_START_RESULT id=4 result=2", seconds(1))) << stopped.Log();
  EXPECT_TRUE(stopped.WaitLine("TIDECAST_STATE id=4 state=stopped", seconds(1))) << stopped.Log();
}

TEST(FrozenDevice, DeviceLostThenRunningAndTheTimelineGoesOn) {
  TNginxRtmp nginx;
  TDeviceSimulator device;
  nginx.Start();
  device.Start();
  TProgram program;
  program.Start(Parameters(device, 6), nginx.PublishUrl("room6"));
  ASSERT_TRUE(program.WaitLine("TIDECAST_START_RESULT id=6 result=0", seconds(30))) << program.Log();
  std::this_thread::sleep_for(seconds(4));

  ::kill(device.Pid(), SIGSTOP);
  // The watchdog's 10 s (its schedule is a unit test): frozen until it speaks.
  EXPECT_TRUE(program.WaitLine("state=device_lost", seconds(20))) << program.Log();
  ::kill(device.Pid(), SIGCONT);
  size_t lost = program.LineCount();
  ASSERT_TRUE(program.WaitLine("TIDECAST_STATE id=6 state=running", seconds(30), lost)) << program.Log();
  std::this_thread::sleep_for(seconds(4));

  // Frozen again until the client library logs on for a reconnect: a quit
  // signal does not wait for that logon.
  auto attempts = [&] {
    std::string log = program.Log();
    size_t n = 0;
    for (size_t at = log.find("reconnecting, attempt"); at != std::string::npos; at = log.find("reconnecting, attempt", at + 1)) ++n;
    return n;
  };
  const size_t attemptsBefore = attempts();
  ::kill(device.Pid(), SIGSTOP);
  auto frozen = steady_clock::now();
  while (attempts() == attemptsBefore && steady_clock::now() - frozen < seconds(30))
    std::this_thread::sleep_for(milliseconds(100));
  ASSERT_GT(attempts(), attemptsBefore) << program.Log();
  std::this_thread::sleep_for(milliseconds(500));  // in the logon now
  double exitSeconds = program.Terminate();
  ::kill(device.Pid(), SIGCONT);
  EXPECT_GE(exitSeconds, 0) << program.Log();
  EXPECT_LT(exitSeconds, 3.0) << "the stop waited for the device's logon";

  nginx.Stop();
  std::vector<TVideoFrame> frames = VideoFrames(nginx.RecordingPath("room6"));
  ASSERT_GT(frames.size(), 150u) << "before and after the freeze";
  size_t freeze = 1;  // the frame after the widest step
  for (size_t i = 1; i < frames.size(); ++i) {
    ASSERT_GT(frames[i].timeMs, frames[i - 1].timeMs) << "time steps back at frame " << i;
    if (frames[i].timeMs - frames[i - 1].timeMs > frames[freeze].timeMs - frames[freeze - 1].timeMs) freeze = i;
  }
  std::printf("[ figures ] %zu frames, the freeze a step of %u ms before frame %zu\n", frames.size(),
              frames[freeze].timeMs - frames[freeze - 1].timeMs, freeze);
  EXPECT_GT(frames.size() - freeze, 50u) << "the push went on after the device came back";
  EXPECT_TRUE(frames[freeze].key) << "it went on with a key frame";
}

TEST(NoReconnect, ALostServerEndsThePushWithAFailedLine) {
  TNginxRtmp nginx;
  TDeviceSimulator device;
  nginx.Start();
  device.Start();
  TProgram program;
  program.Start(Parameters(device, 8, "&AutoReconnect=0"), nginx.PublishUrl("room8"));
  ASSERT_TRUE(program.WaitLine("TIDECAST_START_RESULT id=8 result=0", seconds(30))) << program.Log();
  std::this_thread::sleep_for(seconds(2));
  nginx.Kill();
  std::filesystem::remove(nginx.RecordingPath("room8"));
  EXPECT_TRUE(program.WaitLine("TIDECAST_STATE id=8 state=failed reason=send_failed", seconds(15))) << program.Log();
  nginx.Start();
  std::this_thread::sleep_for(seconds(3));
  EXPECT_TRUE(program.Lines("state=reconnecting").empty()) << program.Log();
  EXPECT_FALSE(std::filesystem::exists(nginx.RecordingPath("room8"))) << "nothing reaches the restarted server";
  EXPECT_GE(program.Terminate(), 0);
}

// RTMPS to a front whose certificate nobody vouches for (self-signed): the
// start ends with result 2 and says why; with TlsVerify=0 it runs, and the
// running line says the certificate went unchecked.
TEST(RtmpsFront, AnUntrustedCertificateFailsTheStartUnlessChecksAreOff) {
  TTempDir dir("tidecast-rtmps");
  auto made = RunCommand({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                          "-nodes", "-days", "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost",
                          "-keyout", dir.File("front.key"), "-out", dir.File("front.pem")});
  ASSERT_EQ(made.exitCode, 0) << made.errors;
  TNginxRtmp nginx;
  TDeviceSimulator device;
  nginx.Start();
  device.Start();
  const int port = FreeLoopbackPort();
  TChildProcess front;
  front.Start({"python3", SourceDir() + "/tests/velmaro/tls_front.py", "--port", std::to_string(port), "--upstream",
               std::to_string(nginx.Port()), "--cert", dir.File("front.pem"), "--key", dir.File("front.key"),
               "--sni-out", dir.File("sni"), "--lifetime", "90"},
              dir.File("front.log"));
  ASSERT_TRUE(WaitForListener(port, seconds(10)));
  const std::string url = "rtmps://localhost:" + std::to_string(port) + "/" + nginx.Application() + "/room9";
  TProgram refused;
  refused.Start(Parameters(device, 9), url);
  EXPECT_TRUE(refused.WaitLine("TIDECAST_START_RESULT id=9 result=2", seconds(30))) << refused.Log();
  EXPECT_TRUE(refused.WaitLine("TIDECAST_STATE id=9 state=failed reason=tls", seconds(2))) << refused.Log();
  EXPECT_GE(refused.Terminate(), 0);
  TProgram unchecked;
  unchecked.Start(Parameters(device, 10, "&TlsVerify=0"), url);
  EXPECT_TRUE(unchecked.WaitLine("TIDECAST_STATE id=10 state=running reason=tls_unverified", seconds(30)))
      << unchecked.Log();
  EXPECT_GE(unchecked.Terminate(), 0);
}

// A launcher that closed its end of standard output: the lines are lost, the
// push goes on and still stops cleanly.
TEST(ClosedOutput, ThePushGoesOn) {
  TNginxRtmp nginx;
  TDeviceSimulator device;
  nginx.Start();
  device.Start();
  TTempDir dir{"tidecast-closed-output"};
  std::filesystem::create_directories(dir.Path() + "/Orvane");
  int output[2];
  ASSERT_EQ(::pipe(output), 0);
  ::close(output[0]);  // nobody reads: every write fails with EPIPE
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, dir.File("trace.log").c_str(), O_WRONLY | O_CREAT, 0600);
  std::string program = BuildDir() + "/bin/Tidecast", parameters = Parameters(device, 9, "&StatsInterval=1"),
              url = nginx.PublishUrl("room9"), home = "XDG_CONFIG_HOME=" + dir.Path();
  char* argv[] = {program.data(), parameters.data(), url.data(), nullptr};
  char* envp[] = {home.data(), const_cast<char*>("TIDECAST_DEBUG=1"), const_cast<char*>("QT_QPA_PLATFORM=offscreen"),
                  nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(output[1]);

  auto trace = [&] { return ReadWholeFile(dir.File("trace.log")); };
  auto end = steady_clock::now() + seconds(30);
  while (trace().find("Capturing...") == std::string::npos && steady_clock::now() < end)
    std::this_thread::sleep_for(milliseconds(100));
  std::this_thread::sleep_for(seconds(3));  // the result, state and stats lines have gone nowhere
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the instance died: " << trace();
  std::error_code error;
  EXPECT_GT(std::filesystem::file_size(nginx.RecordingPath("room9"), error), 10000u) << "media reached the server";
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(milliseconds(100));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << trace();
}

}  // namespace
