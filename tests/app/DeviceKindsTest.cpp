// Devices as they come, pushed by the controller with every real part (the
// capturer on the client library, the delay buffer, the sender library) from
// the device simulator to nginx-rtmp and judged in the recording: parameter
// sets only in the stream, a picture size that changes, AAC that the
// computed configuration cannot describe, cameras that ask for a password.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "BufferWorkerAdapters.h"
#include "Debugs.h"
#include "DeviceSimulator.h"
#include "FlvFile.h"
#include "FlvRecorders.h"
#include "MediaProbe.h"
#include "NginxRtmp.h"
#include "NodeMediaServers.h"
#include "PushControllers.h"
#include "RecordingChecks.h"
#include "Trel32CaptureDevices.h"
#include "VelmaroSenders.h"

using namespace testsupport;
using namespace std::chrono;

namespace {

class TLibrary : public testing::Environment {
 public:
  void SetUp() override { library_ = std::make_unique<TTrel32Library>(); }
  void TearDown() override { library_.reset(); }

 private:
  std::unique_ptr<TTrel32Library> library_;
};
const auto* const libraryEnvironment = testing::AddGlobalTestEnvironment(new TLibrary);

// The real sender, keeping every header it is asked to send.
struct TWatchedSender : TVelmaroSender {
  int SendHeader(void* handle, const TMediaHeader* header) override {
    {
      std::lock_guard guard(lock);
      headers.push_back(*header);
    }
    return TVelmaroSender::SendHeader(handle, header);
  }
  std::vector<TMediaHeader> Headers() {
    std::lock_guard guard(lock);
    return headers;
  }
  std::mutex lock;
  std::vector<TMediaHeader> headers;
};

struct TRig {
  TNginxRtmp nginx;
  TDeviceSimulator device;
  TWatchedSender sender;
  TTrel32CaptureDevice capturer;
  TConfig config{"/nonexistent/unused.reg"};
  std::unique_ptr<TPushController> controller;

  explicit TRig(const TDeviceSimulatorOptions& options, int delaySeconds = 0) : device(options) {
    nginx.Start();
    device.Start();
    config.BufferTime = delaySeconds;
    controller = std::make_unique<TPushController>(sender, capturer, config, BufferWorkerFactory());
    controller->StopWaitStepMs = 20;
  }
  // A recording device (login over HTTP), or a camera (isIPC 1) with the password given.
  int Start(uint8_t isIPC = 0, const std::string& password = "admin") {
    return Start({nginx.PublishUrl("kinds")}, isIPC, password);
  }
  int Start(const std::vector<std::string>& destinations, uint8_t isIPC = 0, const std::string& password = "admin") {
    return controller->StartPush("127.0.0.1", "admin", password, destinations, false, isIPC, device.RtspPort(),
                                 isIPC ? 0 : device.HttpPort());
  }
  std::string RecordFor(seconds time) {
    std::this_thread::sleep_for(time);
    controller->StopPush();
    EXPECT_TRUE(nginx.WaitForRecording("kinds", seconds(10)));
    return nginx.RecordingPath("kinds");
  }
};

// The simulator's own lines, for a failure to show what the device saw.
std::string DeviceLog(TDeviceSimulator& device) {
  std::string log = device.Running() ? "" : "the simulator is gone; its log:\n";
  for (const std::string& line : device.LogLines()) log += line + "\n";
  return log;
}

std::vector<TFlvTag> VideoSequenceHeaders(const std::string& path) {
  std::vector<TFlvTag> headers;
  for (const TFlvTag& tag : ReadFlvFile(path).tags)
    if (tag.IsVideo() && tag.IsSequenceHeader()) headers.push_back(tag);
  return headers;
}

}  // namespace

// A device whose stream already runs (another client watches) is joined
// between key frames 3 s apart: the 0.2 s probe of the description sees
// none, so the size and frame rate must come from the first in-band SPS.
TEST(DeviceKinds, ParameterSetsOnlyInTheStreamStartAndRecord) {
  TDeviceSimulatorOptions options;
  options.inBandSets = true;
  options.keyInterval = 75;
  TRig rig(options);
  constexpr int32_t kWatcher = 9;
  ASSERT_EQ(trel32CreateRTSPClient(rig.device.RtspUrl("/dispatch/1?config.client_type=web").c_str(), kWatcher, 1),
            TREL32_OK);
  std::this_thread::sleep_for(milliseconds(1300));  // mid-way to the second key frame
  auto started = steady_clock::now();
  ASSERT_EQ(rig.Start(), kStartRunning);
  EXPECT_GT(steady_clock::now() - started, milliseconds(1000)) << "the start waited for the next key frame";
  TCaptureInfo info = rig.capturer.Info();
  EXPECT_EQ(info.VideoWidth, 320);
  EXPECT_EQ(info.VideoHeight, 240);
  EXPECT_EQ(info.VideoFrameRate, 25);
  ASSERT_FALSE(info.Sps.empty());
  std::string path = rig.RecordFor(seconds(5));
  trel32DestroyRTSPClient(kWatcher);
  ExpectCleanRecording(path, true);
  std::vector<TFlvTag> headers = VideoSequenceHeaders(path);
  ASSERT_FALSE(headers.empty());
  EXPECT_GT(headers[0].body.size(), 16u) << "the sequence header carries the parameter sets";
}

// A device that sends none: the wait is bounded (5 s from the first media)
// and ends with the code for missing parameter sets.
TEST(DeviceKinds, NoParameterSetsAtAllFailWithTheirCodeInBoundedTime) {
  TDeviceSimulatorOptions options;
  options.noSets = true;
  TDeviceSimulator device(options);
  device.Start();
  TTrel32CaptureDevice capturer;
  auto started = steady_clock::now();
  EXPECT_EQ(capturer.Connect("127.0.0.1", "admin", "admin", 0, device.RtspPort(), 0, false),
            TREL32_E_NO_PARAMETER_SETS)
      << DeviceLog(device);
  auto took = steady_clock::now() - started;
  EXPECT_GT(took, milliseconds(4500)) << "the wait gives the device its 5 s";
  EXPECT_LT(took, seconds(9));
  EXPECT_FALSE(capturer.Capturer().Connected);
}

// Through the delay buffer: the new header must leave in order with the
// media held there, right before the first picture of the new size.
TEST(DeviceKinds, PictureSizeChangeMidPushRecordsBothSizes) {
  TDeviceSimulatorOptions options;
  options.resizeAfter = 8;
  TRig rig(options, 2);
  ASSERT_EQ(rig.Start(), kStartRunning);
  std::string path = rig.RecordFor(seconds(16));
  ExpectCleanRecording(path, true, 10000);
  EXPECT_EQ(VideoSequenceHeaders(path).size(), 2u) << "one sequence header per size";
  auto sizes = DecodedPictureSizes(path);
  ASSERT_EQ(sizes.size(), 2u) << "one run per size, nothing switched back and forth";
  EXPECT_EQ(sizes[0].first, std::make_pair(320, 240));
  EXPECT_EQ(sizes[1].first, std::make_pair(640, 480));
  EXPECT_GT(sizes[1].second, 50) << "about 2 s of the new size at least";
  std::vector<TMediaHeader> sent = rig.sender.Headers();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(std::make_pair(sent.back().Width, sent.back().Height), std::make_pair(640, 480))
      << "onMetaData announces the new size";
}

TEST(DeviceKinds, AacOutsideWhatTheComputedConfigDescribesDecodes) {
  struct TCase {
    const char* what;
    bool heAac;
    int rate;
    std::pair<int, int> decoded;  // channels, rate
  };
  for (const TCase& c :
       {TCase{"HE-AAC 48 kHz", true, 48000, {2, 48000}}, TCase{"AAC-LC 96 kHz", false, 96000, {2, 96000}}}) {
    SCOPED_TRACE(c.what);
    TDeviceSimulatorOptions options;
    options.heAac = c.heAac;
    options.audioRate = c.rate;
    TRig rig(options);
    ASSERT_EQ(rig.Start(), kStartRunning);
    std::string path = rig.RecordFor(seconds(5));
    ExpectCleanRecording(path, true);
    EXPECT_EQ(AudioFormat(path), c.decoded);
    std::vector<double> loudness = ChannelLoudness(path);
    ASSERT_EQ(loudness.size(), 2u);
    EXPECT_GT(loudness[0], 100.0) << "the tone decodes";
  }
}

// Cameras as they are sold: G.711 sound reaches the server as AAC that
// decodes and is heard; video the push cannot carry is refused by its name,
// not as an unreachable device.
TEST(DeviceKinds, G711SoundArrivesAsAacAndOtherVideoIsRefusedByName) {
  for (const char* sound : {"pcma", "pcmu"}) {
    SCOPED_TRACE(sound);
    TDeviceSimulatorOptions options;
    options.audioCodec = sound;
    TRig rig(options);
    ASSERT_EQ(rig.Start(), kStartRunning) << DeviceLog(rig.device);
    EXPECT_TRUE(rig.controller->UnsupportedAudioCodec().empty());
    std::string path = rig.RecordFor(seconds(5));
    ExpectCleanRecording(path, true);
    EXPECT_EQ(AudioFormat(path).first, 1) << "mono";
    std::vector<double> loudness = ChannelLoudness(path);
    ASSERT_EQ(loudness.size(), 1u);
    EXPECT_GT(loudness[0], 100.0) << "the camera's tone is heard";
  }
  TDeviceSimulatorOptions options;
  options.videoCodec = "mjpeg";
  TRig rig(options);
  EXPECT_EQ(rig.Start(), kStartDeviceFailed);
  EXPECT_EQ(rig.controller->RefusedVideoCodec(), "mjpeg");
  EXPECT_FALSE(rig.nginx.WaitForRecording("kinds", seconds(1))) << "nothing reached the server";
}

namespace {

// What an FLV recording's H.265 decodes to, judged by FFmpeg on the Annex B
// stream its tags make.
struct TDecodedHevc {
  THevcStream stream;
  std::vector<std::pair<std::pair<int, int>, int>> sizes;
  std::vector<std::string> errors;
  bool metadataNamesCodec = false;
};

TDecodedHevc DecodeHevcRecording(const std::string& flvPath, double codecId) {
  TDecodedHevc decoded;
  const TFlvFile flv = ReadFlvFile(flvPath);
  decoded.stream = HevcAnnexB(flv);
  const std::string annexB = flvPath + ".hevc";
  std::ofstream(annexB, std::ios::binary)
      .write(reinterpret_cast<const char*>(decoded.stream.annexB.data()),
             static_cast<std::streamsize>(decoded.stream.annexB.size()));
  decoded.sizes = DecodedPictureSizes(annexB);
  decoded.errors = DecodeErrors(annexB);
  // onMetaData's videocodecid: the AMF0 number after its key.
  std::string key = "videocodecid";
  std::vector<uint8_t> expected(key.begin(), key.end());
  expected.push_back(0x00);  // number marker
  const uint64_t bits = std::bit_cast<uint64_t>(codecId);
  for (int shift = 56; shift >= 0; shift -= 8) expected.push_back(static_cast<uint8_t>(bits >> shift));
  for (const TFlvTag& tag : flv.tags)
    if (tag.type == 18 && std::search(tag.body.begin(), tag.body.end(), expected.begin(), expected.end()) != tag.body.end())
      decoded.metadataNamesCodec = true;
  return decoded;
}

std::string OnlyFlvIn(const std::string& folder) {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().extension() == ".flv") files.push_back(entry.path().string());
  EXPECT_EQ(files.size(), 1u) << folder;
  return files.empty() ? "" : files.front();
}

}  // namespace

// An H.265 camera with G.711 sound, in both FLV forms: enhanced RTMP to a
// server that takes it (through the delay), codec id 12 to nginx-rtmp, and a
// local recording beside each. The camera changes its picture size mid-way:
// each recording must decode in both sizes, with one sequence header each.
TEST(DeviceKinds, H265CameraReachesServersAndRecordingInBothFlvForms) {
  struct TCase {
    const char* form;
    double codecId;
    int delaySeconds;
  };
  for (const TCase& c : {TCase{"enhanced", 1752589105.0 /* 'hvc1' */, 2}, TCase{"id12", 12.0, 0}}) {
    SCOPED_TRACE(c.form);
    const bool enhanced = std::string(c.form) == "enhanced";
    TDeviceSimulatorOptions options;
    options.videoCodec = "h265";
    options.audioCodec = "pcmu";
    options.resizeAfter = 4;
    TRig rig(options, c.delaySeconds);
    rig.config.HevcFlv = c.form;
    TTempDir local("tidecast-h265");
    rig.controller->SetFileSenderFactory([] { return MakeFlvRecorder(TRecordOptions{}); });
    TNodeMediaServer enhancedServer;
    if (enhanced) enhancedServer.Start();
    const std::string serverUrl = enhanced ? enhancedServer.PublishUrl("cam") : rig.nginx.PublishUrl("kinds");
    ASSERT_EQ(rig.Start({serverUrl, "file://" + local.Path()}), kStartRunning) << DeviceLog(rig.device);
    std::this_thread::sleep_for(seconds(9 + c.delaySeconds));
    rig.controller->StopPush();
    ASSERT_TRUE(enhanced ? enhancedServer.WaitForRecording("cam", seconds(10))
                         : rig.nginx.WaitForRecording("kinds", seconds(10)));
    const std::string serverPath = enhanced ? enhancedServer.RecordingPath("cam") : rig.nginx.RecordingPath("kinds");

    for (const std::string& path : {serverPath, OnlyFlvIn(local.Path())}) {
      SCOPED_TRACE(path);
      const TDecodedHevc decoded = DecodeHevcRecording(path, c.codecId);
      EXPECT_EQ(decoded.stream.forms, c.form);
      EXPECT_EQ(decoded.stream.sequenceHeaders, 2) << "one sequence header per size (repeats not counted)";
      EXPECT_TRUE(decoded.errors.empty()) << decoded.errors.front();
      ASSERT_EQ(decoded.sizes.size(), 2u) << "one run per size";
      EXPECT_EQ(decoded.sizes[0].first, std::make_pair(320, 240));
      EXPECT_EQ(decoded.sizes[1].first, std::make_pair(640, 480));
      EXPECT_GT(decoded.sizes[0].second + decoded.sizes[1].second, 150) << "about 7 s of pictures at 25 fps";
      // nginx-rtmp records no onMetaData of its publishers.
      if (enhanced || path != serverPath) {
        EXPECT_TRUE(decoded.metadataNamesCodec) << "onMetaData's videocodecid";
      }
    }
    if (!enhanced) {  // FFmpeg 5.1 reads the sound beside codec id 12 (it stops at enhanced tags)
      EXPECT_EQ(AudioFormat(serverPath), std::make_pair(1, 16000)) << "G.711 as AAC, mono";
      std::vector<double> loudness = ChannelLoudness(serverPath);
      ASSERT_EQ(loudness.size(), 1u);
      EXPECT_GT(loudness[0], 100.0) << "the camera's tone is heard";
    }
  }
}

TEST(DeviceKinds, CameraAnswersBasicAndDigestOnlyWhenAskedAndNeverTracesThePassword) {
  const std::string password = "p@ss:w/rd%20";  // every character the URL form could trip on
  static std::mutex traceLock;
  static std::vector<std::string> trace;
  DebugOutputEnabled.store(true);
  SetDebugSink([](const std::string& line) {
    std::lock_guard guard(traceLock);
    trace.push_back(line);
  });
  for (const char* method : {"digest", "basic"}) {
    SCOPED_TRACE(method);
    TDeviceSimulatorOptions options;
    options.rtspAuth = method;
    options.password = password;
    TRig rig(options);
    ASSERT_EQ(rig.Start(1, password), kStartRunning) << DeviceLog(rig.device);
    std::vector<std::string> describes = rig.device.Requests("RTSP DESCRIBE /stream/0 ");
    ASSERT_GE(describes.size(), 2u);
    EXPECT_NE(describes[0].find("authorization none"), std::string::npos) << "nothing sent before the camera asks";
    EXPECT_NE(describes[1].find(std::string(method) == "digest" ? "authorization Digest" : "authorization Basic"),
              std::string::npos);
    ExpectCleanRecording(rig.RecordFor(seconds(4)), true);

    auto started = steady_clock::now();
    EXPECT_EQ(rig.Start(1, "wrong"), kStartDeviceFailed);
    EXPECT_LT(steady_clock::now() - started, seconds(10)) << "a refused password fails at once";
    rig.controller->StopPush();
  }
  SetDebugSink(nullptr);
  DebugOutputEnabled.store(false);
  std::lock_guard guard(traceLock);
  EXPECT_FALSE(trace.empty());
  for (const std::string& line : trace) {
    EXPECT_EQ(line.find("p@ss"), std::string::npos) << line;
    EXPECT_EQ(line.find("p%40ss"), std::string::npos) << line;
  }
}
