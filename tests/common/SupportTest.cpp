// The test harness itself: the real nginx-rtmp records what is published to
// it, and the generated media splits into what the tests rely on.
#include <gtest/gtest.h>

#include "FlvFile.h"
#include "MediaProbe.h"
#include "NginxRtmp.h"
#include "TestMedia.h"

using namespace testsupport;

TEST(Harness, GeneratedMediaIsWholeAccessUnitsAndAdtsFrames) {
  TMediaOptions options;
  options.seconds = 2;
  options.slicesPerFrame = 2;
  const TTestMedia& media = MakeTestMedia(options);
  EXPECT_EQ(media.video.size(), 50u);
  EXPECT_TRUE(media.video[0].key);
  EXPECT_TRUE(media.video[25].key);
  EXPECT_FALSE(media.video[1].key);
  int slices = 0;
  for (const TBytes& nal : SplitNalUnits(media.video[1].data))
    if (NalType(nal) == 1) ++slices;
  EXPECT_EQ(slices, 2) << "two slices per picture stay one access unit";
  EXPECT_NEAR(static_cast<double>(media.audio.size()), 2 * 48000 / 1024.0, 3);
  EXPECT_EQ(media.audioSpecificConfig, (TBytes{0x11, 0x90}));  // AAC-LC, 48 kHz, stereo
  EXPECT_EQ(media.sps[0] & 0x1F, 7);
  EXPECT_EQ(media.pps[0] & 0x1F, 8);
}

TEST(Harness, NginxRecordsAPublishedStream) {
  TNginxRtmp server;
  server.Start();
  TCommandResult r = RunCommand({"ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                 "testsrc2=size=160x120:rate=25", "-f", "lavfi", "-i", "sine=sample_rate=44100",
                                 "-t", "2", "-c:v", "libx264", "-bf", "0", "-c:a", "aac", "-f", "flv",
                                 server.PublishUrl("probe")});
  ASSERT_EQ(r.exitCode, 0) << r.errors;
  ASSERT_TRUE(server.WaitForRecording("probe", std::chrono::seconds(10)));
  auto streams = ProbeStreams(server.RecordingPath("probe"));
  ASSERT_EQ(streams.size(), 2u);
  TFlvFile flv = ReadFlvFile(server.RecordingPath("probe"));
  EXPECT_FALSE(flv.tags.empty());
  EXPECT_TRUE(DecodeErrors(server.RecordingPath("probe")).empty());
}

TEST(Harness, StoppedServerRefusesConnections) {
  TNginxRtmp server;
  server.Start();
  int port = server.Port();
  server.Kill();
  EXPECT_FALSE(WaitForListener(port, std::chrono::milliseconds(300)));
}
