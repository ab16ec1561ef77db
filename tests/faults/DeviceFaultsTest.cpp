// The device failing around a push from the window: restarted mid-push,
// unreachable, or accepting connections and never answering (HTTP logon and
// RTSP each); and the RTMP server unreachable or silent at the start. Every
// start ends with its result code within a bound; the stream of a restarted
// device is picked up again where it can be, the recording's times never go
// back, and the stop is prompt where it cannot.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "FlvFile.h"
#include "RecordingChecks.h"
#include "SilentServers.h"
#include "WindowRigs.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

// Each stream's times in the recording, in file order, must never go back;
// returns the largest step of the video's, in milliseconds.
uint32_t ExpectNoTimeGoesBack(const std::string& path) {
  uint32_t last[2] = {0, 0};
  uint32_t largestVideoStep = 0;
  size_t index = 0;
  for (const TFlvTag& tag : ReadFlvFile(path).tags) {
    ++index;
    if (!(tag.IsVideo() || tag.IsAudio()) || tag.IsSequenceHeader()) continue;
    uint32_t& previous = last[tag.IsVideo() ? 0 : 1];
    EXPECT_GE(tag.timestamp, previous) << (tag.IsVideo() ? "video" : "audio") << " time goes back at tag " << index;
    if (tag.IsVideo() && tag.timestamp > previous) largestVideoStep = std::max(largestVideoStep, tag.timestamp - previous);
    previous = tag.timestamp;
  }
  return largestVideoStep;
}

// Stops the device for about two seconds mid-push and starts it again on
// the same ports.
void RestartDevice(TWindowRig& rig) {
  rig.device.Stop();
  RunFor(seconds(2));
  rig.device.Start();
}

}  // namespace

// Without a login key (HTTP port 0) the client library opens the dispatch
// stream, and it reconnects to it by itself when the device comes back.
TEST(DeviceRestartedMidPush, DispatchStreamResumesAndNoTimeGoesBack) {
  TWindowRig rig;
  rig.window->edtHttp->setText("0");
  ASSERT_NO_FATAL_FAILURE(rig.StartUntilRecorded(50));
  const size_t before = rig.RecordedVideoTags();
  RestartDevice(rig);
  auto restarted = steady_clock::now();
  ASSERT_TRUE(RunUntil([&] { return rig.RecordedVideoTags() > before + 75; }, seconds(30)))
      << "delivery never resumed after the device came back";
  std::printf("[ timing ] device back to media at the server: %.2f s\n", SecondsSince(restarted));
  EXPECT_TRUE(rig.boxes.empty()) << rig.boxes[0].text.toStdString();
  EXPECT_EQ(rig.sender.refused.load(), 0);

  std::string path = rig.StopAndRecord();
  uint32_t gap = ExpectNoTimeGoesBack(path);
  std::printf("[ figure ] largest step between video frames in the recording: %u ms\n", gap);
  EXPECT_GT(gap, 1000u) << "the outage shows in the times";
  ExpectCleanRecording(path, true);
}

// The login stream's URL carries a key that a restarted device no longer
// knows: each reconnect logs in again for a fresh key, so delivery resumes;
// the recording's times never go back, and the stop still leaves no thread.
TEST(DeviceRestartedMidPush, LoginStreamResumesWithAFreshKey) {
  TWindowRig rig;
  std::thread([] {}).join();  // a sanitizer's own helper thread comes with the first one
  const int threadsBefore = ThreadCount();
  ASSERT_NO_FATAL_FAILURE(rig.StartUntilRecorded(50));
  const size_t logonsBefore = rig.device.Requests("HTTP GET /cgi-bin/logon.cgi").size();
  const size_t before = rig.RecordedVideoTags();
  RestartDevice(rig);
  auto restarted = steady_clock::now();
  ASSERT_TRUE(RunUntil([&] { return rig.RecordedVideoTags() > before + 75; }, seconds(40)))
      << "delivery never resumed after the device came back";
  std::printf("[ timing ] device back to media at the server (login stream): %.2f s\n", SecondsSince(restarted));
  EXPECT_GT(rig.device.Requests("HTTP GET /cgi-bin/logon.cgi").size(), logonsBefore) << "a fresh logon";
  EXPECT_TRUE(rig.boxes.empty());

  rig.StopPromptly("login stream after a device restart");
  ASSERT_TRUE(rig.nginx.WaitForRecording("e2e", seconds(10)));
  ExpectNoTimeGoesBack(rig.RecordingPath());
  EXPECT_TRUE(RunUntil([&] { return ThreadCount() <= threadsBefore; }, seconds(5)))
      << "a thread of the push outlived the stop: " << ThreadCount() << " > " << threadsBefore;
}

TEST(StartFaults, EachStartEndsWithItsCodeWithinABound) {
  TWindowRig rig;  // the parts not at fault are real and answer
  TSilentServer silentHttp, silentRtsp, silentRtmp;
  const std::string goodUrl = rig.nginx.PublishUrl("faults");
  const int rtsp = rig.device.RtspPort(), http = rig.device.HttpPort();
  struct Case {
    const char* what;
    std::string address;
    int rtspPort, httpPort;
    std::string url;
    int code;
  } cases[] = {
      {"device name does not resolve", "device.invalid", rtsp, http, goodUrl, kStartDeviceFailed},
      // A failed logon alone is no failure: the dispatch stream is opened.
      {"device's HTTP accepts and never answers", "127.0.0.1", rtsp, silentHttp.Port(), goodUrl, kStartRunning},
      {"device's RTSP accepts and never answers", "127.0.0.1", silentRtsp.Port(), http, goodUrl, kStartDeviceFailed},
      {"server name does not resolve", "127.0.0.1", rtsp, http, "rtmp://server.invalid/hls/faults", kStartOpenFailed},
      {"server accepts and never answers", "127.0.0.1", rtsp, http,
       "rtmp://127.0.0.1:" + std::to_string(silentRtmp.Port()) + "/hls/faults", kStartOpenFailed},
  };
  TPushController& controller = rig.window->Controller();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto started = steady_clock::now();
    int code = controller.StartPush(c.address, "admin", "admin", c.url, false, 0, c.rtspPort, c.httpPort);
    double took = SecondsSince(started);
    std::printf("[ timing ] %s: code %d after %.2f s\n", c.what, code, took);
    EXPECT_EQ(code, c.code);
    EXPECT_LT(took, 30.0) << "the start hung";
    controller.StopPush();  // releases whatever the start left open
    EXPECT_EQ(controller.State(), TPushController::TState::Idle);
  }
  EXPECT_FALSE(rig.device.Requests("/dispatch/0").empty()) << "without a login key the dispatch stream is used";
}
