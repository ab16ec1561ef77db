// Real uplinks between the sender and nginx-rtmp (hostile_rtmp_server.py's
// proxy): one far slower than the stream, and one that freezes and comes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>

#include "VelmaroTesting.h"

namespace {

using namespace velmarotest;
using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

constexpr size_t kPictureBytes = 20000;  // 25 pictures a second: about 500 KB/s with the audio
constexpr int kStreamRate = 500000;
constexpr int kSlowRate = kStreamRate / 20;

int EnvOr(const char* name, int fallback) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::atoi(value) : fallback;
}

size_t PeakResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  return 0;
}

const testsupport::TTestMedia& Media() { return testsupport::MakeTestMedia({}); }

// Publishes the looped test media in real time for `seconds`, or until
// `tick` (called every 100 ms of media) returns false.
void PublishLive(TVelmaroHandle handle, int seconds, const std::function<bool(int64_t)>& tick) {
  const auto& media = Media();
  const int64_t loopMs = media.options.seconds * 1000;
  const auto began = TClock::now();
  size_t audio = 0;
  int64_t nextTick = 0;
  for (int64_t t = 0, frame = 0; t < seconds * 1000; t = 40 * ++frame) {
    std::this_thread::sleep_until(began + std::chrono::milliseconds(t));
    const auto& au = media.video[static_cast<size_t>(frame) % media.video.size()];
    TBytes picture = Padded(au.data, kPictureBytes);
    RTMP_SendVideo(handle, picture.data(), static_cast<uint32_t>(picture.size()), static_cast<uint32_t>(t),
                   au.key ? 1 : 0);
    for (;; ++audio) {
      const auto& frameOfAudio = media.audio[audio % media.audio.size()];
      const int64_t at = static_cast<int64_t>(audio / media.audio.size()) * loopMs + frameOfAudio.timeMs;
      if (at > t) break;
      TBytes raw = frameOfAudio.Raw();
      RTMP_SendAudio(handle, raw.data(), static_cast<uint32_t>(raw.size()), static_cast<uint32_t>(at));
    }
    if (t >= nextTick) {
      nextTick += 100;
      if (!tick(t)) return;
    }
  }
}

// A twentieth of the stream's rate: congestion, not an outage. The
// connection holds, bytes keep moving, whole groups of video go, the audio
// arrives whole, and the queue stays within its bound. (bench/velmaro/uplink.sh
// runs it longer and at other rates for the figures it prints.)
TEST(VelmaroUplink, ASlowLinkKeepsTheConnectionAndTheAudio) {
  const int kSeconds = EnvOr("TIDECAST_UPLINK_SECONDS", 30);
  const int rate = kStreamRate / EnvOr("TIDECAST_UPLINK_DIVISOR", 20);
  testsupport::TNginxRtmp nginx;
  nginx.Start();
  THostileServer uplink({"slow-proxy", "--upstream", std::to_string(nginx.Port()), "--rate", std::to_string(rate)},
                        std::chrono::seconds(kSeconds + 60));
  THandle handle;
  ASSERT_EQ(handle.Open(uplink.Url(nginx.Application(), "slow")), VELMARO_OK);
  TMediaHeader header = HeaderFor(Media(), true);
  ASSERT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_OK);
  TVelmaroStats stats{};
  uint64_t sentAtTwoThirds = 0, sentFiveSecondsBefore = 0;
  uint32_t queuedPeakBytes = 0, queuedPeakMs = 0;
  PublishLive(handle.Get(), kSeconds, [&](int64_t t) {
    RTMP_GetStats(handle.Get(), &stats);
    EXPECT_EQ(stats.SendFailed, 0) << "at " << t << " ms: a slow link was taken for a broken one";
    queuedPeakBytes = std::max(queuedPeakBytes, stats.QueuedBytes);
    queuedPeakMs = std::max(queuedPeakMs, stats.QueuedMs);
    if (t == kSeconds * 2000 / 3) sentAtTwoThirds = stats.BytesSent;
    if (t == (kSeconds - 5) * 1000) sentFiveSecondsBefore = stats.BytesSent;
    return stats.SendFailed == 0;
  });
  RTMP_GetStats(handle.Get(), &stats);
  EXPECT_GT(stats.BytesSent, sentAtTwoThirds) << "bytes stopped moving";
  EXPECT_LT(stats.BytesSent, uint64_t(rate) * uint64_t(kSeconds + 5)) << "more counted as sent than the link took";
  EXPECT_GT(stats.VideoFramesDropped, 0u);
  EXPECT_EQ(stats.AudioFramesDropped, 0u);
  EXPECT_LE(queuedPeakBytes, 32u * 1024 * 1024);
  EXPECT_EQ(stats.AnyMediaSent, 1);
  const uint32_t acknowledgedMs = stats.SentMediaMs;
  // What the proxy acknowledged reaches nginx within a few seconds (its
  // buffer at the link's rate); a reset would lose it in the proxy.
  std::this_thread::sleep_for(6s);
  handle.Close();

  int64_t previousAudio = -1, widestGap = 0;
  size_t videoDelivered = 0;
  for (const auto& tag : MediaTags(Recording(nginx, "slow"))) {
    videoDelivered += tag.IsVideo() ? 1 : 0;
    if (!tag.IsAudio()) continue;
    if (previousAudio >= 0) widestGap = std::max(widestGap, tag.timestamp - previousAudio);
    previousAudio = tag.timestamp;
  }
  std::cout << "link " << rate / 1000 << " KB/s for " << kSeconds << " s: widest audio gap " << widestGap
            << " ms, video delivered " << videoDelivered << " dropped " << stats.VideoFramesDropped
            << ", audio dropped " << stats.AudioFramesDropped << ", queue peak " << queuedPeakMs << " ms "
            << queuedPeakBytes / 1000 << " kB, peak resident " << PeakResidentBytes() / 1000000 << " MB, sent_kbps "
            << (stats.BytesSent - sentFiveSecondsBefore) * 8 / 5000 << " (last 5 s)\n";
  EXPECT_LE(widestGap, 1000) << "the audio broke at the server";
  // Behind by the queue's bound (8 s), what the path holds, and what the
  // close discarded; not more.
  EXPECT_GE(previousAudio, (kSeconds - 20) * 1000) << "the audio stopped";
  EXPECT_LE(acknowledgedMs, previousAudio + 1000) << "SentMediaMs ahead of what reached the server";
}

// The path forwards nothing for 20 s and then comes back: the stalled
// connection is found broken (nothing acknowledged for 10 s) and reset, so
// nginx-rtmp frees the stream name and accepts the new publisher.
TEST(VelmaroUplink, AFrozenPathIsResetAndTheReconnectIsAccepted) {
  constexpr double kFreezeAt = 3, kFreezeFor = 20;
  testsupport::TNginxRtmp nginx;
  nginx.Start();
  THostileServer uplink({"slow-proxy", "--upstream", std::to_string(nginx.Port()), "--rate",
                         std::to_string(kSlowRate), "--freeze-at", "3", "--freeze-for", "20"}, 120s);
  const auto opened = TClock::now();
  THandle handle;
  ASSERT_EQ(handle.Open(uplink.Url(nginx.Application(), "frozen")), VELMARO_OK);
  TMediaHeader header = HeaderFor(Media(), true);
  ASSERT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_OK);
  TVelmaroStats stats{};
  PublishLive(handle.Get(), 40, [&](int64_t) {
    RTMP_GetStats(handle.Get(), &stats);
    return stats.SendFailed == 0;
  });
  const double brokenAt = std::chrono::duration<double>(TClock::now() - opened).count();
  ASSERT_EQ(stats.SendFailed, 1) << "a frozen path was never found broken";
  EXPECT_LT(brokenAt, kFreezeAt + kFreezeFor) << "the frozen path was noticed only when it came back";
  handle.Close();

  int32_t code = VELMARO_CONNECT_FAILED;
  while (code != VELMARO_OK && TClock::now() - opened < std::chrono::seconds(int(kFreezeAt + kFreezeFor) + 25)) {
    code = handle.Open(uplink.Url(nginx.Application(), "frozen"));
    if (code != VELMARO_OK) std::this_thread::sleep_for(500ms);
  }
  ASSERT_EQ(code, VELMARO_OK) << "the server kept the stream name of the abandoned connection";
  std::cout << "reconnect accepted " << std::chrono::duration<double>(TClock::now() - opened).count() -
                   (kFreezeAt + kFreezeFor) << " s after the path came back\n";
  EXPECT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_OK);
}

}  // namespace
