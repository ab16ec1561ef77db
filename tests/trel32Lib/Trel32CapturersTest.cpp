// The capturer against the device simulator: the URL and channel of every
// mode as the device saw them, its trace lines, its flag rules.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "Debugs.h"
#include "DeviceSimulator.h"
#include "Processes.h"
#include "Trel32Capturers.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

std::mutex traceLock;
std::vector<std::string> trace;

void RecordTrace(const std::string& line) {
  std::lock_guard guard(traceLock);
  trace.push_back(line.substr(9, line.size() - 10));  // without "hh:nn:ss " and the line end
}

std::vector<std::string> TakeTrace() {
  std::lock_guard guard(traceLock);
  return std::exchange(trace, {});
}

class Capturer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Trel32CapturersStartup();
    DebugOutputEnabled.store(true);
    SetDebugSink(&RecordTrace);
    device_ = new TDeviceSimulator();
    device_->Start();
  }
  static void TearDownTestSuite() {
    delete device_;
    SetDebugSink(nullptr);
    Trel32CapturersShutdown();
  }
  void SetUp() override { TakeTrace(); }
  void TearDown() override { capturer.Disconnect(); }

  static TDeviceSimulator* device_;
  TTrel32Capturer capturer;
};

TDeviceSimulator* Capturer::device_ = nullptr;

TEST_F(Capturer, UrlAndChannelOfEveryMode) {
  struct TCase {
    int32_t mode;
    bool hd;
    bool httpPort;
    std::string password;
    int32_t channel;
    std::string request;  // what the device saw, up to the query's value
    int32_t result;
  };
  const std::vector<TCase> cases = {
      {0, true, true, "admin", 0, "DESCRIBE /stream/0?config.login=", TREL32_OK},
      {0, false, true, "admin", 4, "DESCRIBE /stream/4?config.login=", TREL32_OK},
      {0, true, false, "admin", 1, "DESCRIBE /dispatch/1?config.client_type=web", TREL32_OK},
      {0, false, false, "admin", 0, "DESCRIBE /dispatch/0?config.client_type=web", TREL32_OK},
      // A failed logon is no failure: the dispatch form is opened.
      {0, true, true, "wrong", 1, "DESCRIBE /dispatch/1?config.client_type=web", TREL32_OK},
      // An IP camera: stream 0 without a key, whatever else is given (our
      // simulated recording device refuses that).
      {1, false, true, "admin", 0, "DESCRIBE /stream/0 from", TREL32_E_NOT_AUTHORISED},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode) + (c.hd ? " HD" : " SD") + (c.httpPort ? "" : " no HTTP"));
    size_t logons = device_->Requests("HTTP GET").size();
    size_t seen = device_->Requests(c.request).size();
    EXPECT_EQ(capturer.Connect("127.0.0.1", "admin", c.password, c.mode, device_->RtspPort(),
                               c.httpPort ? device_->HttpPort() : 0, c.hd),
              c.result);
    EXPECT_EQ(capturer.Channel, c.channel);
    EXPECT_EQ(capturer.Connected, c.result == TREL32_OK);
    EXPECT_EQ(device_->Requests(c.request).size(), seen + 1) << capturer.Url;
    EXPECT_EQ(device_->Requests("HTTP GET").size(), logons + (c.mode == 0 && c.httpPort ? 1 : 0));
    std::string path = c.request.substr(9, c.request.find(' ', 9) - 9);
    EXPECT_EQ(capturer.Url.rfind(device_->RtspUrl(path), 0), 0u) << capturer.Url;
    capturer.Disconnect();
    EXPECT_FALSE(capturer.Connected);
  }
}

TEST_F(Capturer, ConnectReadsTheDescriptionAndTraces) {
  ASSERT_EQ(capturer.Connect("127.0.0.1", "admin", "admin", 0, device_->RtspPort(), 0, false), 0);
  EXPECT_EQ(TakeTrace(), (std::vector<std::string>{"URL: " + capturer.Url, "CreateRTSPClient ret=0 mode: TCP",
                                                   "GetMediaInfo = 0"}));
  ASSERT_GT(capturer.SpsLen, 4);
  EXPECT_EQ(std::vector<uint8_t>(capturer.Sps, capturer.Sps + 5), (std::vector<uint8_t>{0, 0, 0, 1, 0x67}));
  EXPECT_EQ(capturer.Pps[4] & 0x1F, 8);
  EXPECT_EQ(capturer.MediaInfo.VideoWidth, 320);
  EXPECT_EQ(capturer.MediaInfo.VideoHeight, 240);
  EXPECT_EQ(capturer.MediaInfo.AudioSampleRate, 48000);
  // A second Connect without Disconnect (after a start that failed later on)
  // releases the first client instead of failing on its channel.
  EXPECT_EQ(capturer.Connect("127.0.0.1", "admin", "admin", 0, device_->RtspPort(), 0, false), 0);
}

TEST_F(Capturer, FailuresKeepTheirCodes) {
  std::string before = capturer.Url;
  EXPECT_EQ(capturer.Connect("127.0.0.1", "admin", "admin", 2, device_->RtspPort(), device_->HttpPort(), true), -1);
  EXPECT_EQ(capturer.Url, before);
  EXPECT_TRUE(TakeTrace().empty()) << "mode 2 logs nothing";

  int closed = FreeLoopbackPort();
  EXPECT_EQ(capturer.Connect("127.0.0.1", "admin", "admin", 0, closed, 0, true), TREL32_E_UNREACHABLE);
  EXPECT_FALSE(capturer.Connected);
  auto lines = TakeTrace();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "CreateRTSPClient ret=" + std::to_string(TREL32_E_UNREACHABLE) + " mode: TCP");
  EXPECT_EQ(capturer.StartCapture(), -1) << "not connected";
  EXPECT_FALSE(capturer.Capturing);
  EXPECT_EQ(capturer.StopCapture(), -1);
}

TEST_F(Capturer, SamplesReachTheOwnerWhileCapturing) {
  std::atomic<int> video{0}, audio{0}, keys{0}, others{0};
  capturer.OnSample = [&](uint8_t stream, uint8_t type, const uint8_t* data, int32_t length, int64_t) {
    if (stream == 4 && length > 4 && data[3] == 1) video.fetch_add(1);
    else if (stream == 129 && length > 7 && data[0] == 0xFF) audio.fetch_add(1);
    else others.fetch_add(1);
    if (type == 2) keys.fetch_add(1);
  };
  ASSERT_EQ(capturer.Connect("127.0.0.1", "admin", "admin", 0, device_->RtspPort(), device_->HttpPort(), true), 0);
  ASSERT_EQ(capturer.StartCapture(), 0);
  EXPECT_TRUE(capturer.Capturing);
  EXPECT_EQ(capturer.StartCapture(), -1) << "a second start";
  EXPECT_TRUE(capturer.Capturing) << "capturing goes on";
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while ((video.load() < 30 || audio.load() <= 30 || keys.load() < 1) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_GE(video.load(), 30);
  EXPECT_GT(audio.load(), 30);
  EXPECT_GE(keys.load(), 1);
  EXPECT_EQ(others.load(), 0);
  EXPECT_EQ(capturer.StopCapture(), 0);
  EXPECT_FALSE(capturer.Capturing);
  int stopped = video.load();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(video.load(), stopped) << "nothing after StopCapture";
  EXPECT_EQ(capturer.StopCapture(), -1);
}

}  // namespace
