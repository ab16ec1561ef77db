// The server going away or stalling: the handle reaches Failed, later media
// calls are refused, RTMP_Close returns within a few seconds and the process
// lives on (no SIGPIPE death, no thread left hanging, nothing leaked).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Processes.h"
#include "VelmaroTesting.h"

namespace {

using namespace velmarotest;
using namespace std::chrono_literals;
using testsupport::TBytes;
using TClock = std::chrono::steady_clock;

const testsupport::TTestMedia& Media() {
  testsupport::TMediaOptions options;
  options.seconds = 2;
  return testsupport::MakeTestMedia(options);
}

// Publishes a second of real media, paced, so the server is mid-stream.
void PublishASecond(TVelmaroHandle handle) {
  const auto& media = Media();
  TMediaHeader header = HeaderFor(media, true);
  ASSERT_EQ(RTMP_SendHeader(handle, &header), VELMARO_OK);
  size_t a = 0;
  for (size_t v = 0; v < 25; ++v) {
    const auto& au = media.video[v];
    ASSERT_TRUE(RTMP_SendVideo(handle, au.data.data(), static_cast<uint32_t>(au.data.size()),
                               static_cast<uint32_t>(au.timeMs), au.key ? 1 : 0));
    for (; a < media.audio.size() && media.audio[a].timeMs <= au.timeMs; ++a) {
      TBytes raw = media.audio[a].Raw();
      ASSERT_TRUE(RTMP_SendAudio(handle, raw.data(), static_cast<uint32_t>(raw.size()),
                                 static_cast<uint32_t>(media.audio[a].timeMs)));
    }
    std::this_thread::sleep_for(10ms);
  }
}

// Keeps sending (video and audio, times rising from `time`) until a media
// call is refused or the time-out passes; true when refused.
bool SendUntilRefused(TVelmaroHandle handle, const TBytes& accessUnit, uint32_t& time,
                      std::chrono::seconds timeout, std::chrono::milliseconds pause) {
  const uint8_t audio[] = {0x21, 0x10, 0x05, 0x00};
  auto deadline = TClock::now() + timeout;
  while (TClock::now() < deadline) {
    time += 40;
    if (!RTMP_SendVideo(handle, accessUnit.data(), static_cast<uint32_t>(accessUnit.size()), time, 0)) return true;
    if (!RTMP_SendAudio(handle, audio, sizeof audio, time)) return true;
    std::this_thread::sleep_for(pause);
  }
  return false;
}

// A synthetic access unit big enough to fill the socket buffers quickly.
TBytes BigAccessUnit() {
  TBytes au(256 * 1024, 0x5A);
  au[0] = 0;
  au[1] = 0;
  au[2] = 0;
  au[3] = 1;
  au[4] = 0x41;
  return au;
}

void ExpectRefusedFromNowOn(TVelmaroHandle handle) {
  const auto& au = Media().video[1].data;
  const uint8_t audio[] = {0x21, 0x10, 0x05};
  EXPECT_FALSE(RTMP_SendVideo(handle, au.data(), static_cast<uint32_t>(au.size()), 999999, 0));
  EXPECT_FALSE(RTMP_SendAudio(handle, audio, sizeof audio, 999999));
}

TEST(VelmaroServerFaults, AServerThatWentAwayFailsTheHandleAndCloseReturns) {
  testsupport::TNginxRtmp server;
  server.Start();
  THandle handle;
  ASSERT_EQ(handle.Open(server.PublishUrl("killed")), VELMARO_OK);
  PublishASecond(handle.Get());
  server.Kill();
  uint32_t time = 1000;
  EXPECT_TRUE(SendUntilRefused(handle.Get(), Media().video[1].data, time, 20s, 20ms))
      << "the handle never reached Failed after the server was killed";
  ExpectRefusedFromNowOn(handle.Get());
  auto started = TClock::now();
  EXPECT_TRUE(handle.Close());
  EXPECT_LT(TClock::now() - started, 3s);
}

TEST(VelmaroServerFaults, AStalledServerFailsTheHandleAndCloseReturns) {
  testsupport::TNginxRtmp server;
  server.Start();
  THandle handle;
  ASSERT_EQ(handle.Open(server.PublishUrl("stalled")), VELMARO_OK);
  PublishASecond(handle.Get());
  server.Pause();
  // Fill the socket buffers, then keep sending small samples until refused.
  uint32_t time = 1000;
  const TBytes big = BigAccessUnit();
  EXPECT_FALSE(SendUntilRefused(handle.Get(), big, time, 1s, 5ms)) << "refused before the buffers were full";
  EXPECT_TRUE(SendUntilRefused(handle.Get(), Media().video[1].data, time, 40s, 50ms))
      << "a send to a stalled server was never given up";
  ExpectRefusedFromNowOn(handle.Get());
  auto started = TClock::now();
  EXPECT_TRUE(handle.Close());
  EXPECT_LT(TClock::now() - started, 3s);
  server.Resume();
}

TEST(VelmaroServerFaults, CloseReturnsWhileASendIsBlockedOnAStalledServer) {
  testsupport::TNginxRtmp server;
  server.Start();
  THandle handle;
  ASSERT_EQ(handle.Open(server.PublishUrl("blocked")), VELMARO_OK);
  PublishASecond(handle.Get());
  server.Pause();
  uint32_t time = 1000;
  const TBytes big = BigAccessUnit();
  SendUntilRefused(handle.Get(), big, time, 1s, 5ms);  // the sorter's thread now waits on a full socket
  auto started = TClock::now();
  EXPECT_TRUE(handle.Close());
  EXPECT_LT(TClock::now() - started, 4s) << "closing waited for the stalled send";
  server.Resume();
}

TEST(VelmaroServerFaults, OpeningAgainstAStalledServerGivesUpWithinSeconds) {
  testsupport::TNginxRtmp server;
  server.Start();
  server.Pause();  // the kernel still accepts the connection; nobody answers the handshake
  THandle handle;
  auto started = TClock::now();
  EXPECT_EQ(handle.Open(server.PublishUrl("silent")), VELMARO_CONNECT_FAILED);
  EXPECT_LT(TClock::now() - started, 8s);
  server.Resume();
}

}  // namespace
