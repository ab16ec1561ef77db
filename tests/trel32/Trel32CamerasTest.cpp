// IP cameras as they are sold, through the library against the device
// simulator: H.265 video, G.711 sound made AAC, motion JPEG refused by name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

#include "DeviceSimulator.h"
#include "MediaProbe.h"
#include "Processes.h"
#include "SampleRecorders.h"
#include "TestMedia.h"
#include "trel32.h"

using namespace testsupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kPath = "/dispatch/0";

int HevcType(const TBytes& nalWithStartCode) {
  size_t one = 0;
  while (one < nalWithStartCode.size() && nalWithStartCode[one] == 0) ++one;
  return one + 1 < nalWithStartCode.size() ? (nalWithStartCode[one + 1] >> 1) & 0x3F : -1;
}

std::vector<int> HevcTypes(const TBytes& unit) {
  std::vector<int> types;
  for (const TBytes& nal : SplitNalUnits(unit)) types.push_back(HevcType(nal));
  return types;
}

std::string Save(const TTempDir& dir, const std::string& name, const std::vector<TRecordedSample>& samples) {
  std::ofstream out(dir.File(name), std::ios::binary);
  for (const auto& s : samples)
    out.write(reinterpret_cast<const char*>(s.data.data()), static_cast<std::streamsize>(s.data.size()));
  return dir.File(name);
}

std::string CodecName(int32_t channel, uint8_t stream) {
  char name[32] = "unset";
  EXPECT_EQ(trel32GetCodecName(channel, stream, name, sizeof name), TREL32_OK);
  return name;
}

struct TChannelGuard {
  int32_t channel;
  ~TChannelGuard() { trel32DestroyRTSPClient(channel); }
};

class Trel32Cameras : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(trel32Init(), TREL32_OK); }
  static void TearDownTestSuite() { trel32Uninit(); }
};

TEST_F(Trel32Cameras, H265WithG711GivesHevcAccessUnitsAndAudibleAac) {
  struct TCamera {
    const char* audioCodec;
    bool inBandSets;
    std::string audioName;
  };
  for (const TCamera& c : {TCamera{"pcma", false, "pcm_alaw"}, TCamera{"pcmu", true, "pcm_mulaw"}}) {
    SCOPED_TRACE(c.audioName + (c.inBandSets ? ", sets in band" : ", sets described"));
    TDeviceSimulatorOptions options;
    options.videoCodec = "h265";
    options.audioCodec = c.audioCodec;
    options.inBandSets = c.inBandSets;
    options.rtspAuth = "digest";
    TDeviceSimulator camera(options);
    camera.Start();
    std::string url = camera.RtspUrl(kPath);
    url.insert(url.find("//") + 2, "admin:admin@");
    TSampleRecorder recorder;
    auto opening = Clock::now();
    ASSERT_EQ(trel32CreateRTSPClient(url.c_str(), 3, 1), TREL32_OK);
    TChannelGuard guard{3};
    ASSERT_EQ(trel32RegisteRTSPClientCallback(&TSampleRecorder::Callback, 3, &recorder), TREL32_OK);
    ASSERT_TRUE(recorder.WaitFor(TREL32_STREAM_VIDEO, 100, 20s));
    ASSERT_TRUE(recorder.WaitFor(TREL32_STREAM_AUDIO, 45, 10s));
    ASSERT_EQ(trel32UnRegisteRTSPClientCallback(3), TREL32_OK);
    auto video = recorder.Samples(TREL32_STREAM_VIDEO);
    auto audio = recorder.Samples(TREL32_STREAM_AUDIO);
    std::printf("first picture %.2f s after the open began\n",
                std::chrono::duration<double>(video.front().arrival - opening).count());

    TRtspMediaInfo info{};
    ASSERT_EQ(trel32GetMediaInfo(3, &info), TREL32_OK);
    EXPECT_EQ(info.VideoCodec, TREL32_VIDEO_H265);
    EXPECT_EQ(info.VideoWidth, 320);
    EXPECT_EQ(info.VideoHeight, 240);
    EXPECT_EQ(info.VideoFrameRate, 25);
    EXPECT_EQ(info.AudioCodec, TREL32_AUDIO_AAC_TRANSCODED);
    EXPECT_EQ(info.AudioSampleRate, 16000);
    EXPECT_EQ(info.AudioChannels, 1);
    EXPECT_EQ(CodecName(3, TREL32_STREAM_VIDEO), "hevc");
    EXPECT_EQ(CodecName(3, TREL32_STREAM_AUDIO), c.audioName);
    uint8_t vps[TREL32_PARAMETER_SET_SIZE], sps[TREL32_PARAMETER_SET_SIZE], pps[TREL32_PARAMETER_SET_SIZE];
    int32_t vpsLength = 0, spsLength = 0, ppsLength = 0;
    ASSERT_EQ(trel32GetVPS(3, vps, &vpsLength), TREL32_OK);
    ASSERT_EQ(trel32GetSPSPPS(3, sps, &spsLength, pps, &ppsLength), TREL32_OK);
    EXPECT_EQ(HevcType(TBytes(vps, vps + vpsLength)), 32);
    EXPECT_EQ(HevcType(TBytes(sps, sps + spsLength)), 33);
    EXPECT_EQ(HevcType(TBytes(pps, pps + ppsLength)), 34);
    uint8_t config[TREL32_AUDIO_CONFIG_SIZE];
    int32_t configLength = 0;
    ASSERT_EQ(trel32GetAudioConfig(3, config, sizeof config, &configLength), TREL32_OK);
    EXPECT_EQ(TBytes(config, config + configLength), (TBytes{0x14, 0x08})) << "AAC-LC, 16 kHz, mono";

    // Video: starts at a key frame with its parameter sets; a unit is a key
    // frame exactly when it holds a random-access picture; one picture each.
    EXPECT_EQ(video.front().frameType, TREL32_FRAME_IDR);
    auto first = HevcTypes(video.front().data);
    for (int set : {32, 33, 34}) EXPECT_NE(std::find(first.begin(), first.end(), set), first.end()) << set;
    size_t keys = 0;
    for (const auto& sample : video) {
      auto types = HevcTypes(sample.data);
      bool irap = std::any_of(types.begin(), types.end(), [](int t) { return t >= 16 && t <= 23; });
      EXPECT_EQ(sample.frameType, irap ? TREL32_FRAME_IDR : TREL32_FRAME_PICTURE);
      keys += irap;
    }
    EXPECT_GE(keys, 3u);
    TTempDir dir;
    std::string hevc = Save(dir, "video.hevc", video);
    EXPECT_EQ(DecodeErrors(hevc), std::vector<std::string>());
    auto sizes = DecodedPictureSizes(hevc);
    ASSERT_EQ(sizes.size(), 1u);
    EXPECT_EQ(sizes[0], std::make_pair(std::make_pair(320, 240), static_cast<int>(video.size())));

    // Sound: AAC that decodes at 16 kHz mono and carries the test tone.
    std::string aac = Save(dir, "audio.aac", audio);
    EXPECT_EQ(DecodeErrors(aac), std::vector<std::string>());
    auto streams = ProbeStreams(aac);
    ASSERT_EQ(streams.size(), 1u);
    EXPECT_EQ(streams[0].sampleRate, 16000);
    EXPECT_EQ(streams[0].channels, 1);
    TCommandResult volume = RunCommand({"ffmpeg", "-nostdin", "-i", aac, "-af", "volumedetect", "-f", "null", "-"});
    auto at = volume.errors.find("mean_volume: ");
    ASSERT_NE(at, std::string::npos) << volume.errors;
    EXPECT_GT(std::stod(volume.errors.substr(at + 13)), -30.0) << "not silence";

    // Clocks: both strictly increasing; AAC frames 1024 ticks apart.
    for (auto* samples : {&video, &audio})
      for (size_t i = 1; i < samples->size(); ++i)
        ASSERT_GT((*samples)[i].timestamp, (*samples)[i - 1].timestamp) << "sample " << i;
    size_t even = 0;
    for (size_t i = 1; i < audio.size(); ++i) even += audio[i].timestamp - audio[i - 1].timestamp == 1024;
    EXPECT_GE(even, (audio.size() - 1) * 9 / 10);
    EXPECT_NEAR(static_cast<double>(audio.back().timestamp) / 16000,
                static_cast<double>(video.back().timestamp) / 90000, 1.0) << "one clock for both";
  }
}

TEST_F(Trel32Cameras, MotionJpegIsRefusedWithItsName) {
  TDeviceSimulatorOptions options;
  options.videoCodec = "mjpeg";
  options.audioCodec = "pcma";
  TDeviceSimulator camera(options);
  camera.Start();
  int32_t created = trel32CreateRTSPClient(camera.RtspUrl(kPath).c_str(), 5, 1);
  std::string log;
  for (const std::string& line : camera.LogLines()) log += line + "\n";
  EXPECT_EQ(created, TREL32_E_UNSUPPORTED_VIDEO) << "the camera's log:\n" << log;
  EXPECT_EQ(CodecName(5, TREL32_STREAM_VIDEO), "mjpeg");
  char name[32];
  EXPECT_EQ(trel32GetCodecName(5, TREL32_STREAM_AUDIO, name, sizeof name), TREL32_E_UNKNOWN_CHANNEL);
  EXPECT_EQ(trel32DestroyRTSPClient(5), TREL32_E_UNKNOWN_CHANNEL) << "nothing left behind";
}

}  // namespace
