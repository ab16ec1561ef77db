// A 6 Mbit/s stream (real pictures padded with filler NAL units, which
// decoders skip, so every picture spans several 16 KiB chunks): through an
// uplink slower than the stream, and across the 24-bit timestamp limit at
// nginx-rtmp and at FFmpeg's own RTMP server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "MediaProbe.h"
#include "VelmaroTesting.h"

namespace {

using namespace velmarotest;
using namespace std::chrono_literals;
using testsupport::TBytes;
using TClock = std::chrono::steady_clock;

constexpr size_t kPictureBytes = 30000;  // 25 pictures a second: 6 Mbit/s
constexpr int64_t kLateStart = 0xFFFF00;  // 256 ms before RTMP's 24-bit field overflows

const testsupport::TTestMedia& Media() { return testsupport::MakeTestMedia({}); }

struct TSent {
  uint8_t type;  // 9 video, 8 audio
  int64_t timeMs;
};

// Publishes `seconds` of the test media, looped, its timeline moved to
// `startMs`; in real time when `paced`. `onSecond` runs once a second.
std::vector<TSent> Publish(TVelmaroHandle handle, int64_t startMs, int seconds, bool withAudio, bool paced,
                           const std::function<void(int)>& onSecond = {}) {
  const auto& media = Media();
  const int64_t loopMs = media.options.seconds * 1000;
  std::vector<TSent> sent;
  auto began = TClock::now();
  size_t audio = 0;
  int64_t audioLoop = 0;
  int second = 0;
  for (int64_t loop = 0; loop * loopMs < seconds * 1000; ++loop) {
    for (const auto& au : media.video) {
      const int64_t t = loop * loopMs + au.timeMs;
      if (t >= seconds * 1000) break;
      if (paced) std::this_thread::sleep_until(began + std::chrono::milliseconds(t));
      TBytes picture = Padded(au.data, kPictureBytes);
      EXPECT_TRUE(RTMP_SendVideo(handle, picture.data(), static_cast<uint32_t>(picture.size()),
                                 static_cast<uint32_t>(startMs + t), au.key ? 1 : 0))
          << "refused at " << t << " ms";
      sent.push_back({9, startMs + t});
      for (; withAudio; ++audio) {
        if (audio == media.audio.size()) {  // the next loop's audio follows the last frame's end
          audio = 0;
          audioLoop += static_cast<int64_t>(media.audio.size()) * 1024 * 1000 / media.options.audioRate + 1;
        }
        const int64_t at = audioLoop + media.audio[audio].timeMs;
        if (at > t) break;
        TBytes raw = media.audio[audio].Raw();
        EXPECT_TRUE(RTMP_SendAudio(handle, raw.data(), static_cast<uint32_t>(raw.size()),
                                   static_cast<uint32_t>(startMs + at)));
        sent.push_back({8, startMs + at});
      }
      if (onSecond && t / 1000 > second) onSecond(second = static_cast<int>(t / 1000));
    }
  }
  return sent;
}

size_t ResidentBytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  return 0;
}

// The server takes 350 KB/s of a 6 Mbit/s stream (750 KB/s): the queue must
// stop at its bound by dropping whole groups of pictures (never the audio,
// which the link carries), memory stays flat,
// the push goes on, and what arrives decodes without an error.
TEST(VelmaroBusyStream, ASlowUplinkDropsWholeGroupsAndMemoryStaysFlat) {
  const char* longer = std::getenv("TIDECAST_SLOW_UPLINK_SECONDS");  // 60 for the figures
  const int seconds = longer != nullptr ? std::atoi(longer) : 30;
  testsupport::TNginxRtmp nginx;
  nginx.Start();
  THostileServer uplink({"slow-proxy", "--upstream", std::to_string(nginx.Port()), "--rate", "350000"},
                        std::chrono::seconds(seconds + 60));
  THandle handle;
  ASSERT_EQ(handle.Open(uplink.Url(nginx.Application(), "slow")), VELMARO_OK);
  TMediaHeader header = HeaderFor(Media(), true);
  ASSERT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_OK);

  size_t residentAt10s = 0, residentPeak = 0;
  uint32_t queuedPeakMs = 0, queuedPeakBytes = 0;
  uint64_t sentAtTwoThirds = 0;
  TVelmaroStats stats{};
  Publish(handle.Get(), 0, seconds, true, true, [&](int second) {
    RTMP_GetStats(handle.Get(), &stats);
    queuedPeakMs = std::max(queuedPeakMs, stats.QueuedMs);
    queuedPeakBytes = std::max(queuedPeakBytes, stats.QueuedBytes);
    if (second == 10) residentAt10s = ResidentBytes();
    if (second >= 10) residentPeak = std::max(residentPeak, ResidentBytes());
    if (second == seconds * 2 / 3) sentAtTwoThirds = stats.BytesSent;
    std::cout << "second " << second << ": queued " << stats.QueuedMs << " ms " << stats.QueuedBytes
              << " B, dropped " << stats.VideoFramesDropped << " video " << stats.AudioFramesDropped
              << " audio, resident " << ResidentBytes() / 1000 << " kB\n";
  });
  RTMP_GetStats(handle.Get(), &stats);
  EXPECT_EQ(stats.SendFailed, 0);
  EXPECT_GT(stats.VideoFramesDropped, 0u);
  EXPECT_EQ(stats.AudioFramesDropped, 0u) << "the audio goes only when no video is left to drop";
  EXPECT_LE(queuedPeakMs, 8000u + 1000u);  // one group's worth above the bound at most
  EXPECT_LE(queuedPeakBytes, 32u * 1024 * 1024);
#ifndef TIDECAST_SANITIZED  // a sanitizer's quarantine holds on to freed blocks: resident memory says nothing
  EXPECT_LT(residentPeak - residentAt10s, 16u * 1000 * 1000) << "memory grew after the queue reached its bound";
#endif
  EXPECT_GT(stats.BytesSent, sentAtTwoThirds) << "the push stopped";
  handle.CloseAfterDrain();

  const std::string path = nginx.RecordingPath("slow");
  auto file = Recording(nginx, "slow");
  auto errors = testsupport::DecodeErrors(path);
  EXPECT_TRUE(errors.empty()) << errors.size() << " decode errors, first: " << errors.front();
  // After every cut the video goes on with a key frame.
  int64_t previous = -1;
  int cuts = 0;
  for (const auto& tag : MediaTags(file)) {
    if (!tag.IsVideo()) continue;
    if (previous >= 0 && tag.timestamp > previous + 100) {
      ++cuts;
      EXPECT_EQ(tag.body[0] >> 4, 1) << "a cut at " << tag.timestamp << " ms does not start with a key frame";
    }
    previous = tag.timestamp;
  }
  EXPECT_GT(cuts, 0);
}

// FFmpeg listening as an RTMP server for one publisher, copying what it
// receives into an FLV file with the times as received.
class TFfmpegServer {
 public:
  TFfmpegServer() : port_(testsupport::FreeLoopbackPort()) {
    process_.Start({"ffmpeg", "-v", "error", "-nostdin", "-y", "-listen", "1", "-i", Url(), "-c", "copy", "-copyts",
                    "-f", "flv", RecordingPath()},
                   dir_.File("ffmpeg.log"));
    // Connecting to see whether it listens would be its one publisher.
    for (auto deadline = TClock::now() + 10s; TClock::now() < deadline && !Listening();)
      std::this_thread::sleep_for(20ms);
  }
  std::string Url() const { return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/ext"; }
  std::string RecordingPath() const { return dir_.File("recording.flv"); }
  bool WaitFinished() { return process_.WaitExit(15s) == 0; }
  std::string Log() const { return testsupport::ReadWholeFile(dir_.File("ffmpeg.log")); }

 private:
  bool Listening() const {
    std::ifstream table("/proc/net/tcp");
    std::ostringstream wanted;
    wanted << std::uppercase << std::hex << ":" << std::setw(4) << std::setfill('0') << port_ << " 00000000:0000 0A";
    for (std::string line; std::getline(table, line);)
      if (line.find(wanted.str()) != std::string::npos) return true;
    return false;
  }
  testsupport::TTempDir dir_;
  int port_;
  testsupport::TChildProcess process_;
};

// The media tags of a recording as (type, time) in file order.
std::vector<TSent> Recorded(const testsupport::TFlvFile& file) {
  std::vector<TSent> recorded;
  for (const auto& tag : MediaTags(file))
    if (!(tag.IsVideo() && tag.body.size() > 1 && tag.body[1] == 2))  // FFmpeg's end of sequence
      recorded.push_back({tag.type, tag.timestamp});
  return recorded;
}

std::string Describe(const std::vector<TSent>& tags, size_t from) {
  std::ostringstream out;
  for (size_t i = from; i < std::min(tags.size(), from + 6); ++i) out << int(tags[i].type) << "@" << tags[i].timeMs << " ";
  return out.str();
}

// The recording holds the sent media with the sent times; nginx-rtmp writes
// its recordings with times from the stream's first message on, FFmpeg with
// the times as received. Closing discards the few samples the sorter still
// held for want of the other stream's next one.
void ExpectSameTimes(std::vector<TSent> sent, const std::vector<TSent>& recorded, int64_t recordedOrigin) {
  // The sorter sends by time, video first where the times are equal.
  std::stable_sort(sent.begin(), sent.end(),
                   [](const TSent& a, const TSent& b) { return a.timeMs < b.timeMs || (a.timeMs == b.timeMs && a.type > b.type); });
  ASSERT_LE(recorded.size(), sent.size());
  ASSERT_GE(recorded.size() + 3, sent.size());
  for (size_t i = 0; i < recorded.size(); ++i) {
    if (recorded[i].type != sent[i].type || recorded[i].timeMs - recordedOrigin != sent[i].timeMs - kLateStart) {
      ADD_FAILURE() << "tag " << i << ": sent " << Describe(sent, i) << "recorded " << Describe(recorded, i);
      return;
    }
  }
}

// Video alone goes out with a full header on every message; with audio the
// sorter's messages mostly use the short header (a time delta), and a full
// one where a time repeats. Pictures span two chunks each. An oversized
// picture sent first must leave no trace.
TEST(VelmaroBusyStream, TimesPastThe24BitLimitArriveExactly) {
  testsupport::TNginxRtmp nginx;
  nginx.Start();
  for (bool withAudio : {false, true}) {
    SCOPED_TRACE(withAudio ? "video and audio" : "video alone");
    const std::string stream = withAudio ? "ext-av" : "ext-v";
    TFfmpegServer ffmpeg;
    for (const std::string& url : {nginx.PublishUrl(stream), ffmpeg.Url()}) {
      THandle handle;
      ASSERT_EQ(handle.Open(url), VELMARO_OK) << url;
      TMediaHeader header = HeaderFor(Media(), withAudio);
      ASSERT_EQ(RTMP_SendHeader(handle.Get(), &header), VELMARO_OK);
      // A body beyond RTMP's 24-bit length is refused, and nothing of it goes
      // out: sent with a truncated length it desynchronised the server.
      TBytes huge = Padded(Media().video[0].data, 0x1000000 + 16);
      EXPECT_FALSE(RTMP_SendVideo(handle.Get(), huge.data(), static_cast<uint32_t>(huge.size()), kLateStart - 40, 1));
      auto sent = Publish(handle.Get(), kLateStart, 2, withAudio, false);
      handle.CloseAfterDrain();
      if (url == ffmpeg.Url()) {
        ASSERT_TRUE(ffmpeg.WaitFinished()) << ffmpeg.Log();
        SCOPED_TRACE("FFmpeg");
        ExpectSameTimes(sent, Recorded(testsupport::ReadFlvFile(ffmpeg.RecordingPath())), kLateStart);
      } else {
        SCOPED_TRACE("nginx-rtmp");
        auto recorded = Recorded(Recording(nginx, stream));
        ExpectSameTimes(sent, recorded, recorded.empty() ? 0 : recorded.front().timeMs);
      }
    }
  }
}

}  // namespace
