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

// Keeps sending (video and audio, times rising from `time`, a key frame a
// second, as a device sends) until a media call is refused or the time-out
// passes; true when refused.
bool SendUntilRefused(TVelmaroHandle handle, const TBytes& accessUnit, uint32_t& time,
                      std::chrono::seconds timeout, std::chrono::milliseconds pause) {
  const uint8_t audio[] = {0x21, 0x10, 0x05, 0x00};
  auto deadline = TClock::now() + timeout;
  while (TClock::now() < deadline) {
    time += 40;
    const uint8_t key = time % 1000 == 0 ? 1 : 0;
    if (!RTMP_SendVideo(handle, accessUnit.data(), static_cast<uint32_t>(accessUnit.size()), time, key)) return true;
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

// Each test gets its own server, and a handle publishing to it mid-stream.
class VelmaroServerFaults : public ::testing::Test {
 protected:
  void SetUp() override { server_.Start(); }
  void TearDown() override { server_.Resume(); }  // a paused server must be able to stop

  void OpenMidStream() {
    ASSERT_EQ(handle_.Open(server_.PublishUrl("fault")), VELMARO_OK);
    PublishASecond(handle_.Get());
  }
  // Pauses the server and fills the socket buffers with large samples: the
  // sorter's thread then waits on a full socket.
  void StallWithFullBuffers() {
    server_.Pause();
    EXPECT_FALSE(SendUntilRefused(handle_.Get(), BigAccessUnit(), time_, 1s, 5ms))
        << "refused before the buffers were full";
  }
  // Closing must come back within the bound, whatever the server does.
  void ExpectCloseWithin(std::chrono::seconds bound) {
    auto started = TClock::now();
    EXPECT_TRUE(handle_.Close());
    EXPECT_LT(TClock::now() - started, bound) << "closing waited for the server";
  }

  testsupport::TNginxRtmp server_;
  THandle handle_;
  uint32_t time_ = 1000;
};

TEST_F(VelmaroServerFaults, AServerThatWentAwayFailsTheHandleAndCloseReturns) {
  ASSERT_NO_FATAL_FAILURE(OpenMidStream());
  server_.Kill();
  EXPECT_TRUE(SendUntilRefused(handle_.Get(), Media().video[1].data, time_, 20s, 20ms))
      << "the handle never reached Failed after the server was killed";
  ExpectRefusedFromNowOn(handle_.Get());
  ExpectCloseWithin(3s);
}

TEST_F(VelmaroServerFaults, AStalledServerFailsTheHandleAndCloseReturns) {
  ASSERT_NO_FATAL_FAILURE(OpenMidStream());
  StallWithFullBuffers();
  EXPECT_TRUE(SendUntilRefused(handle_.Get(), Media().video[1].data, time_, 40s, 50ms))
      << "a send to a stalled server was never given up";
  ExpectRefusedFromNowOn(handle_.Get());
  ExpectCloseWithin(3s);
}

TEST_F(VelmaroServerFaults, CloseReturnsWhileASendIsBlockedOnAStalledServer) {
  ASSERT_NO_FATAL_FAILURE(OpenMidStream());
  StallWithFullBuffers();
  ExpectCloseWithin(4s);
}

TEST_F(VelmaroServerFaults, OpeningAgainstAStalledServerGivesUpWithinSeconds) {
  server_.Pause();  // the kernel still accepts the connection; nobody answers the handshake
  auto started = TClock::now();
  EXPECT_EQ(handle_.Open(server_.PublishUrl("silent")), VELMARO_CONNECT_FAILED);
  EXPECT_LT(TClock::now() - started, 8s);
}

}  // namespace
