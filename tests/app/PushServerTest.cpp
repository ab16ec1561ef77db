// The push controller with the real sender library and a real nginx-rtmp; the
// capturer is a fake that plays ffmpeg-made media through the capturer's
// event, so the stream can be cut exactly where a test needs it (the device
// simulator cannot stop its audio mid-stream).
#include <gtest/gtest.h>

#include <algorithm>

#include "NginxRtmp.h"
#include "PushControllers.h"
#include "PushFakes.h"
#include "RecordingChecks.h"
#include "TestMedia.h"
#include "VelmaroSenders.h"

using namespace testsupport;

namespace {

struct Rig {
  TNginxRtmp nginx;
  TVelmaroSender sender;
  fakes::TFakeCapturer capturer;
  TConfig config{"/nonexistent/unused.reg"};
  TPushController controller{sender, capturer, config, nullptr};
  const TTestMedia& media;

  explicit Rig(const TMediaOptions& options) : media(MakeTestMedia(options)) {
    nginx.Start();
    controller.StopWaitStepMs = 20;
    TCaptureInfo& info = capturer.info;
    info.VideoWidth = options.width;
    info.VideoHeight = options.height;
    info.VideoFrameRate = options.frameRate;
    info.AudioSampleRate = options.audioRate;
    info.AudioChannels = options.audioChannels;
    info.Sps = {0, 0, 0, 1};  // as the client library may store it
    info.Sps.insert(info.Sps.end(), media.sps.begin(), media.sps.end());
    info.Pps = {0, 0, 0, 1};
    info.Pps.insert(info.Pps.end(), media.pps.begin(), media.pps.end());
  }

  // Delivers video up to videoEndMs and audio up to audioEndMs, merged by
  // time, in the device's clocks.
  void Play(int64_t videoEndMs, int64_t audioEndMs) {
    size_t v = 0, a = 0;
    while (true) {
      bool videoLeft = v < media.video.size() && media.video[v].timeMs < videoEndMs;
      bool audioLeft = a < media.audio.size() && media.audio[a].timeMs < audioEndMs;
      if (!videoLeft && !audioLeft) break;
      if (videoLeft && (!audioLeft || media.video[v].timeMs <= media.audio[a].timeMs)) {
        const TAccessUnit& unit = media.video[v++];
        capturer.Deliver(4, unit.key ? 2 : 1, unit.data, unit.timeMs * 90);
      } else {
        capturer.Deliver(129, 0, media.audio[a].adts, static_cast<int64_t>(a) * 1024);
        ++a;
      }
    }
  }

  std::string Record(int64_t videoEndMs, int64_t audioEndMs) {
    EXPECT_EQ(controller.StartPush("d", "u", "p", nginx.PublishUrl("push"), false, 0, 554, 80), 0);
    Play(videoEndMs, audioEndMs);
    controller.StopPush();
    EXPECT_TRUE(nginx.WaitForRecording("push", std::chrono::seconds(10)));
    return nginx.RecordingPath("push");
  }
};

TMediaOptions Media(int rate, int channels) {
  TMediaOptions o;
  o.seconds = 8;
  o.audioRate = rate;
  o.audioChannels = channels;
  return o;
}

}  // namespace

// Audio that stops after 2 s must not hold the video in the sender's sorter:
// the video reaches the server to its end, with silence in the audio.
TEST(PushServer, VideoGoesOnWhenTheDevicesAudioStops) {
  for (int channels : {2, 1}) {
    Rig rig(Media(channels == 2 ? 48000 : 16000, channels));
    std::string path = rig.Record(8000, 2000);
    SCOPED_TRACE(channels);
    ExpectCleanRecording(path, true, 7000);
    EXPECT_GE(LastVideoMs(path), 7500);
    EXPECT_EQ(AudioFormat(path).first, channels) << "the silence keeps the device's channels";
  }
}
