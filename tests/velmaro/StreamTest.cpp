// End to end through libvelmaro.so: twelve seconds of H.264 (two slices per
// picture) and AAC, pushed from two threads as a device would, then judged on
// the server's recording by ffprobe, ffmpeg and byte comparison.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "MediaProbe.h"
#include "VelmaroTesting.h"

namespace {

using namespace velmarotest;
using testsupport::TBytes;

class VelmaroStream : public ::testing::Test {
 protected:
  void SetUp() override { server_.Start(); }
  // Opens a handle to the stream and sends the header of the media.
  void StartPublishing(const std::string& stream, const testsupport::TTestMedia& media, bool hasAudio) {
    ASSERT_EQ(handle_.Open(server_.PublishUrl(stream)), VELMARO_OK);
    TMediaHeader header = HeaderFor(media, hasAudio);
    ASSERT_EQ(RTMP_SendHeader(handle_.Get(), &header), VELMARO_OK);
  }
  testsupport::TNginxRtmp server_;
  THandle handle_;
};

void ExpectCleanDecode(const std::string& path) {
  auto errors = testsupport::DecodeErrors(path);
  EXPECT_TRUE(errors.empty()) << errors.size() << " decode errors, first: " << errors.front();
}

TEST_F(VelmaroStream, TwelveSecondsOfVideoAndAudioArriveInterleavedDecodableAndAsBuilt) {
  testsupport::TMediaOptions options;
  options.seconds = 12;
  options.slicesPerFrame = 2;
  const auto& media = testsupport::MakeTestMedia(options);
  ASSERT_NO_FATAL_FAILURE(StartPublishing("av", media, true));
  THandle& handle = handle_;

  std::atomic<int> refused{0};
  // Four times faster than real time: quick, yet not so far ahead of the
  // connection that the send queue's bound (seconds of media) drops a group.
  const auto start = std::chrono::steady_clock::now();
  auto keepPace = [&](int64_t timeMs) {
    std::this_thread::sleep_until(start + std::chrono::milliseconds(timeMs / 4));
  };
  std::thread video([&] {
    for (const auto& au : media.video) {
      keepPace(au.timeMs);
      if (!RTMP_SendVideo(handle.Get(), au.data.data(), static_cast<uint32_t>(au.data.size()),
                          static_cast<uint32_t>(au.timeMs), au.key ? 1 : 0))
        ++refused;
    }
  });
  std::thread audio([&] {
    for (const auto& frame : media.audio) {
      keepPace(static_cast<int64_t>(frame.timeMs));
      TBytes raw = frame.Raw();  // the program strips the ADTS header
      if (!RTMP_SendAudio(handle.Get(), raw.data(), static_cast<uint32_t>(raw.size()),
                          static_cast<uint32_t>(frame.timeMs)))
        ++refused;
    }
  });
  video.join();
  audio.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_TRUE(handle.CloseAfterDrain());

  const std::string path = server_.RecordingPath("av");
  auto file = Recording(server_, "av");
  auto streams = testsupport::ProbeStreams(path);
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].codecName + "+" + streams[1].codecName, "h264+aac");
  ExpectCleanDecode(path);

  for (const auto& tag : file.tags) {
    if (tag.IsVideo() && tag.IsSequenceHeader()) {
      EXPECT_EQ(tag.body, ExpectedAvcSequenceHeader(media.sps, media.pps));
    }
    if (tag.IsAudio() && tag.IsSequenceHeader()) {
      TBytes expected = {0xAF, 0x00};
      expected.insert(expected.end(), media.audioSpecificConfig.begin(), media.audioSpecificConfig.end());
      EXPECT_EQ(tag.body, expected);
    }
  }
  // Every tag is the body that was built for its sample, in send order; the
  // last few of one stream may stay queued (a sample leaves only while the
  // other stream has one waiting) and are discarded by the close.
  size_t v = 0, a = 0;
  uint32_t lastTime = 0;
  for (const auto& tag : MediaTags(file)) {
    ASSERT_GE(tag.timestamp, lastTime) << "audio and video must be interleaved in time order";
    lastTime = tag.timestamp;
    if (tag.IsVideo()) {
      ASSERT_LT(v, media.video.size());
      const auto& au = media.video[v++];
      ASSERT_EQ(tag.body, ExpectedVideoBody(au.data, au.key)) << "video tag " << v - 1;
      ASSERT_EQ(tag.timestamp, au.timeMs);
    } else {
      ASSERT_LT(a, media.audio.size());
      const auto& frame = media.audio[a++];
      ASSERT_EQ(tag.body, ExpectedAacBody(frame.Raw())) << "audio tag " << a - 1;
      ASSERT_EQ(tag.timestamp, static_cast<uint32_t>(frame.timeMs));
    }
  }
  EXPECT_GE(v + 2, media.video.size());
  EXPECT_GE(a + 3, media.audio.size());
  EXPECT_GE(media.video[v - 1].timeMs, 11000) << "at least ten seconds must have arrived";
}

TEST_F(VelmaroStream, VideoWithoutAudioLeavesThroughTheQueueAndDecodes) {
  testsupport::TMediaOptions options;
  options.seconds = 2;
  const auto& media = testsupport::MakeTestMedia(options);
  ASSERT_NO_FATAL_FAILURE(StartPublishing("v", media, false));
  THandle& handle = handle_;
  for (const auto& au : media.video)
    ASSERT_TRUE(RTMP_SendVideo(handle.Get(), au.data.data(), static_cast<uint32_t>(au.data.size()),
                               static_cast<uint32_t>(au.timeMs), au.key ? 1 : 0));
  EXPECT_TRUE(handle.CloseAfterDrain());
  auto tags = MediaTags(Recording(server_, "v"));
  ASSERT_EQ(tags.size(), media.video.size()) << "no audio is waited for, nothing is held back";
  for (size_t i = 0; i < tags.size(); ++i) {
    ASSERT_EQ(tags[i].body, ExpectedVideoBody(media.video[i].data, media.video[i].key)) << "video tag " << i;
    ASSERT_EQ(tags[i].timestamp, media.video[i].timeMs);
  }
  ExpectCleanDecode(server_.RecordingPath("v"));
}

// The demo's publisher: files in, real-time publish through the library.
TEST_F(VelmaroStream, VelmaroPushPublishesAFilePairInRealTime) {
  testsupport::TTempDir dir("velmaro-push");
  auto made = testsupport::RunCommand({"ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                                       "testsrc2=size=320x240:rate=25", "-t", "2", "-c:v", "libx264", "-bf", "0",
                                       "-g", "25", "-pix_fmt", "yuv420p", "-f", "h264", dir.File("v.h264")});
  ASSERT_EQ(made.exitCode, 0) << made.errors;
  made = testsupport::RunCommand({"ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                                  "sine=frequency=440:sample_rate=44100", "-t", "2", "-ac", "1", "-c:a", "aac", "-f",
                                  "adts", dir.File("a.aac")});
  ASSERT_EQ(made.exitCode, 0) << made.errors;
  const std::string tool = testsupport::BuildDir() + "/bin/velmaro-push";

  auto started = std::chrono::steady_clock::now();
  auto pushed = testsupport::RunCommand({tool, server_.PublishUrl("files"), dir.File("v.h264"), dir.File("a.aac")},
                                        std::chrono::seconds(30));
  auto took = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(pushed.exitCode, 0) << pushed.errors;
  EXPECT_GE(took, std::chrono::milliseconds(1800)) << "two seconds of media must take two seconds to publish";
  auto file = Recording(server_, "files");
  auto tags = MediaTags(file);
  EXPECT_GE(std::count_if(tags.begin(), tags.end(), [](const auto& t) { return t.IsVideo(); }), 48);
  auto streams = testsupport::ProbeStreams(server_.RecordingPath("files"));
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].width, 320);
  EXPECT_EQ(streams[1].sampleRate, 44100);
  EXPECT_EQ(streams[1].channels, 1);
  ExpectCleanDecode(server_.RecordingPath("files"));

  const std::string nobody = "rtmp://127.0.0.1:" + std::to_string(testsupport::FreeLoopbackPort()) + "/hls/x";
  auto refused = testsupport::RunCommand({tool, nobody, dir.File("v.h264"), dir.File("a.aac")});
  EXPECT_NE(refused.exitCode, 0);
  EXPECT_NE(refused.errors.find("could not be reached"), std::string::npos) << refused.errors;
  auto missing = testsupport::RunCommand({tool, nobody, dir.File("none.h264"), dir.File("a.aac")});
  EXPECT_NE(missing.exitCode, 0);
  EXPECT_NE(missing.errors.find("cannot open"), std::string::npos) << missing.errors;
}

}  // namespace
