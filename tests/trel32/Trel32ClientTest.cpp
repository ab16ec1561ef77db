// The RTSP client library against a real RTSP server (the device simulator on
// GStreamer), judged by ffmpeg where a decoder must agree.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "DeviceSimulator.h"
#include "MediaProbe.h"
#include "Processes.h"
#include "SampleRecorders.h"
#include "SilentServers.h"
#include "TestMedia.h"
#include "trel32.h"

using namespace testsupport;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kDispatch = "/dispatch/0?config.client_type=web";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::vector<int> NalTypes(const std::vector<uint8_t>& unit) {
  std::vector<int> types;
  for (const TBytes& nal : SplitNalUnits(unit)) types.push_back(NalType(nal));
  return types;
}

bool EveryStartCodeIsLong(const std::vector<uint8_t>& unit) {
  for (const TBytes& nal : SplitNalUnits(unit))
    if (nal.size() < 5 || nal[0] != 0 || nal[1] != 0 || nal[2] != 0 || nal[3] != 1) return false;
  return true;
}

// Destroys a channel when the test leaves, before the recorders it delivers
// to (declared earlier) go away.
struct TChannelGuard {
  int32_t channel;
  ~TChannelGuard() { trel32DestroyRTSPClient(channel); }
};

class Trel32Client : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_EQ(trel32Init(), TREL32_OK);
    simulator_ = new TDeviceSimulator();
    simulator_->Start();
  }
  static void TearDownTestSuite() {
    delete simulator_;
    simulator_ = nullptr;
    trel32Uninit();
  }
  // Opens the device's dispatch stream on the channel, delivering to the
  // recorder, and waits for the first video samples.
  static void OpenAndRecord(const TDeviceSimulator& device, int32_t channel, TSampleRecorder& recorder,
                            size_t samples) {
    ASSERT_EQ(trel32CreateRTSPClient(device.RtspUrl(kDispatch).c_str(), channel, 1), TREL32_OK);
    ASSERT_EQ(trel32RegisteRTSPClientCallback(&TSampleRecorder::Callback, channel, &recorder), TREL32_OK);
    ASSERT_TRUE(recorder.WaitFor(TREL32_STREAM_VIDEO, samples, 10s));
  }

  static TDeviceSimulator* simulator_;
};

TDeviceSimulator* Trel32Client::simulator_ = nullptr;

TEST_F(Trel32Client, FailedOpensGiveTheirOwnCodesInBoundedTime) {
  TSilentServer silent;
  int closedPort = FreeLoopbackPort();
  struct TCase {
    std::string url;
    int32_t code;
    double maxSeconds;
  };
  const std::vector<TCase> cases = {
      {"http://127.0.0.1/stream/0", TREL32_E_BAD_URL, 1},
      {"rtsp://", TREL32_E_BAD_URL, 1},
      {"rtsp://127.0.0.1:99999/stream/0", TREL32_E_BAD_URL, 1},
      {"rtsp://127.0.0.1:" + std::to_string(closedPort) + "/stream/0", TREL32_E_UNREACHABLE, 3},
      {simulator_->RtspUrl("/nothing/here"), TREL32_E_NOT_FOUND, 5},
      {simulator_->RtspUrl("/stream/0?config.login=not-a-key"), TREL32_E_NOT_AUTHORISED, 5},
      {"rtsp://127.0.0.1:" + std::to_string(silent.Port()) + "/stream/0", TREL32_E_TIMEOUT, 12},
  };
  for (const TCase& c : cases) {
    auto start = Clock::now();
    EXPECT_EQ(trel32CreateRTSPClient(c.url.c_str(), 7, 1), c.code) << c.url;
    EXPECT_LT(Seconds(Clock::now() - start), c.maxSeconds) << c.url;
    EXPECT_EQ(trel32GetMediaInfo(7, nullptr), TREL32_E_ARGUMENT);
  }
  EXPECT_EQ(trel32CreateRTSPClient(nullptr, 7, 1), TREL32_E_ARGUMENT);
  EXPECT_EQ(trel32CreateRTSPClient(simulator_->RtspUrl(kDispatch).c_str(), 7, 0), TREL32_E_ARGUMENT);
}

TEST_F(Trel32Client, StreamWithoutVideoIsRefused) {
  TDeviceSimulatorOptions options;
  options.video = false;
  TDeviceSimulator audioOnly(options);
  audioOnly.Start();
  EXPECT_EQ(trel32CreateRTSPClient(audioOnly.RtspUrl(kDispatch).c_str(), 7, 1), TREL32_E_NO_VIDEO);
  EXPECT_EQ(trel32DestroyRTSPClient(7), TREL32_E_UNKNOWN_CHANNEL) << "nothing left behind";
}

TEST_F(Trel32Client, UnknownChannelIsAnErrorForEveryCall) {
  uint8_t sps[TREL32_PARAMETER_SET_SIZE], pps[TREL32_PARAMETER_SET_SIZE];
  int32_t spsLength = 0, ppsLength = 0;
  TRtspMediaInfo info{};
  TSampleRecorder recorder;
  EXPECT_EQ(trel32GetSPSPPS(42, sps, &spsLength, pps, &ppsLength), TREL32_E_UNKNOWN_CHANNEL);
  EXPECT_EQ(trel32GetMediaInfo(42, &info), TREL32_E_UNKNOWN_CHANNEL);
  EXPECT_EQ(trel32RegisteRTSPClientCallback(&TSampleRecorder::Callback, 42, &recorder), TREL32_E_UNKNOWN_CHANNEL);
  EXPECT_EQ(trel32UnRegisteRTSPClientCallback(42), TREL32_E_UNKNOWN_CHANNEL);
  EXPECT_EQ(trel32DestroyRTSPClient(42), TREL32_E_UNKNOWN_CHANNEL);
}

TEST_F(Trel32Client, DescribesTheStreamTheServerSends) {
  TSampleRecorder recorder;
  ASSERT_EQ(trel32CreateRTSPClient(simulator_->RtspUrl(kDispatch).c_str(), 0, 1), TREL32_OK);
  TChannelGuard channel{0};
  EXPECT_EQ(trel32CreateRTSPClient(simulator_->RtspUrl(kDispatch).c_str(), 0, 1), TREL32_E_CHANNEL_IN_USE);

  uint8_t sps[TREL32_PARAMETER_SET_SIZE], pps[TREL32_PARAMETER_SET_SIZE];
  int32_t spsLength = 0, ppsLength = 0;
  ASSERT_EQ(trel32GetSPSPPS(0, sps, &spsLength, pps, &ppsLength), TREL32_OK);
  ASSERT_GT(spsLength, 4);
  ASSERT_GT(ppsLength, 4);
  EXPECT_EQ(NalType(TBytes(sps, sps + spsLength)), 7);
  EXPECT_EQ(NalType(TBytes(pps, pps + ppsLength)), 8);

  TRtspMediaInfo info;
  std::memset(&info, 0, sizeof info);
  ASSERT_EQ(trel32GetMediaInfo(0, &info), TREL32_OK);
  EXPECT_EQ(info.VideoWidth, 320);
  EXPECT_EQ(info.VideoHeight, 240);
  EXPECT_EQ(info.VideoFrameRate, 25);
  EXPECT_EQ(info.AudioSampleRate, 48000);
  EXPECT_EQ(info.AudioChannels, 2);
  auto* bytes = reinterpret_cast<const uint8_t*>(&info);
  EXPECT_TRUE(std::all_of(bytes, bytes + 5152, [](uint8_t b) { return b == 0; })) << "the rest stays zero";

  // The parameter sets are the ones in the stream's own IDR access units.
  ASSERT_EQ(trel32RegisteRTSPClientCallback(&TSampleRecorder::Callback, 0, &recorder), TREL32_OK);
  auto deadline = Clock::now() + 10s;
  std::vector<TBytes> idrNals;
  while (idrNals.empty() && Clock::now() < deadline) {
    for (auto& sample : recorder.Samples(TREL32_STREAM_VIDEO))
      if (sample.frameType == TREL32_FRAME_IDR) idrNals = SplitNalUnits(sample.data);
    std::this_thread::sleep_for(50ms);
  }
  ASSERT_FALSE(idrNals.empty());
  EXPECT_NE(std::find(idrNals.begin(), idrNals.end(), TBytes(sps, sps + spsLength)), idrNals.end());
  EXPECT_NE(std::find(idrNals.begin(), idrNals.end(), TBytes(pps, pps + ppsLength)), idrNals.end());
}

TEST_F(Trel32Client, WithoutAudioReportsNoAudioAndDeliversNone) {
  TDeviceSimulatorOptions options;
  options.audio = false;
  options.width = 176;
  options.height = 144;
  options.frameRate = 15;
  TDeviceSimulator videoOnly(options);
  videoOnly.Start();
  TSampleRecorder recorder;
  ASSERT_EQ(trel32CreateRTSPClient(videoOnly.RtspUrl(kDispatch).c_str(), 1, 1), TREL32_OK);
  TChannelGuard channel{1};
  TRtspMediaInfo info{};
  ASSERT_EQ(trel32GetMediaInfo(1, &info), TREL32_OK);
  EXPECT_EQ(info.VideoWidth, 176);
  EXPECT_EQ(info.VideoHeight, 144);
  EXPECT_EQ(info.VideoFrameRate, 15);
  EXPECT_EQ(info.AudioSampleRate, 0);
  EXPECT_EQ(info.AudioChannels, 0);
  ASSERT_EQ(trel32RegisteRTSPClientCallback(&TSampleRecorder::Callback, 1, &recorder), TREL32_OK);
  EXPECT_TRUE(recorder.WaitFor(TREL32_STREAM_VIDEO, 20, 10s));
  EXPECT_EQ(recorder.Count(TREL32_STREAM_AUDIO), 0u);
  EXPECT_EQ(recorder.lastChannel.load(), 1);
}

// One run of about 11 s judged on every contract point of the samples.
TEST_F(Trel32Client, DeliversWholeAccessUnitsAndAdtsFramesOnOneClock) {
  TDeviceSimulator fresh;  // its first frame is the first this client gets
  fresh.Start();
  TSampleRecorder recorder;
  ASSERT_EQ(trel32CreateRTSPClient(fresh.RtspUrl(kDispatch).c_str(), 4, 1), TREL32_OK);
  TChannelGuard channel{4};
  ASSERT_EQ(trel32RegisteRTSPClientCallback(&TSampleRecorder::Callback, 4, &recorder), TREL32_OK);
  std::this_thread::sleep_for(11700ms);
  ASSERT_EQ(trel32UnRegisteRTSPClientCallback(4), TREL32_OK);
  auto video = recorder.Samples(TREL32_STREAM_VIDEO);
  auto audio = recorder.Samples(TREL32_STREAM_AUDIO);
  ASSERT_GT(video.size(), 200u);
  ASSERT_GT(audio.size(), 400u);

  // Video: Annex B access units with 4-byte start codes; the first is the
  // stream's first IDR (the packet without a time is not dropped).
  EXPECT_EQ(video.front().frameType, TREL32_FRAME_IDR);
  auto firstTypes = NalTypes(video.front().data);
  EXPECT_NE(std::find(firstTypes.begin(), firstTypes.end(), 7), firstTypes.end()) << "starts with parameter sets";
  TTempDir dir;
  {
    std::ofstream out(dir.File("video.h264"), std::ios::binary);
    for (auto& sample : video) {
      out.write(reinterpret_cast<const char*>(sample.data.data()), static_cast<std::streamsize>(sample.data.size()));
      auto types = NalTypes(sample.data);
      bool idr = std::count(types.begin(), types.end(), 5) > 0;
      EXPECT_EQ(sample.frameType, idr ? TREL32_FRAME_IDR : TREL32_FRAME_PICTURE);
      EXPECT_TRUE(EveryStartCodeIsLong(sample.data));
      // Two slices per picture from the simulator: both in one call.
      EXPECT_EQ(std::count(types.begin(), types.end(), idr ? 5 : 1), 2) << "slices of one picture";
    }
  }
  EXPECT_EQ(DecodeErrors(dir.File("video.h264")), std::vector<std::string>());
  TCommandResult frames = RunCommand({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                      "stream=nb_read_frames", "-of", "csv=p=0", dir.File("video.h264")});
  EXPECT_EQ(std::atoi(frames.output.c_str()), static_cast<int>(video.size())) << "one picture per call";

  // Audio: each call one ADTS frame that matches the stream's configuration.
  for (auto& sample : audio) {
    ASSERT_GE(sample.data.size(), 8u);
    const auto& h = sample.data;
    EXPECT_EQ(sample.frameType, TREL32_FRAME_AUDIO);
    EXPECT_EQ(h[0], 0xFF);
    EXPECT_EQ(h[1] & 0xF6, 0xF0) << "sync, layer 0";
    EXPECT_EQ(h[2] >> 6, 1) << "AAC LC";
    EXPECT_EQ((h[2] >> 2) & 0xF, 3) << "48000 Hz";
    EXPECT_EQ(((h[2] & 1) << 2) | (h[3] >> 6), 2) << "two channels";
    EXPECT_EQ(((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5), static_cast<int>(h.size())) << "frame length";
  }
  {
    std::ofstream out(dir.File("audio.aac"), std::ios::binary);
    for (auto& sample : audio)
      out.write(reinterpret_cast<const char*>(sample.data.data()), static_cast<std::streamsize>(sample.data.size()));
  }
  EXPECT_EQ(DecodeErrors(dir.File("audio.aac")), std::vector<std::string>());

  // Clocks: strictly increasing, with wall time (1% over 10 s), one origin.
  for (auto* samples : {&video, &audio})
    for (size_t i = 1; i < samples->size(); ++i)
      ASSERT_GT((*samples)[i].timestamp, (*samples)[i - 1].timestamp) << "sample " << i;
  // Measured from one second in: the packets read while the stream was
  // probed arrive together at the start.
  auto rateOf = [](const std::vector<TRecordedSample>& s, double clock) {
    auto from = std::find_if(s.begin(), s.end(), [&](auto& x) { return x.arrival > s.front().arrival + 1s; });
    EXPECT_GT(Seconds(s.back().arrival - from->arrival), 9.5);
    return (static_cast<double>(s.back().timestamp - from->timestamp) / clock) /
           Seconds(s.back().arrival - from->arrival);
  };
  EXPECT_NEAR(rateOf(video, 90000), 1.0, 0.01);
  EXPECT_NEAR(rateOf(audio, 48000), 1.0, 0.01);
  double videoLast = static_cast<double>(video.back().timestamp) / 90000;
  double audioLast = static_cast<double>(audio.back().timestamp) / 48000;
  EXPECT_NEAR(videoLast, audioLast, 0.3) << "both streams count from one origin";
}

TEST_F(Trel32Client, LateRegistrationStartsWithTheLatestKeyFrame) {
  TSampleRecorder recorder;
  ASSERT_EQ(trel32CreateRTSPClient(simulator_->RtspUrl(kDispatch).c_str(), 1, 1), TREL32_OK);
  TChannelGuard channel{1};
  std::this_thread::sleep_for(2500ms);  // more than one group of pictures goes by
  ASSERT_EQ(trel32RegisteRTSPClientCallback(&TSampleRecorder::Callback, 1, &recorder), TREL32_OK);
  ASSERT_TRUE(recorder.WaitFor(TREL32_STREAM_VIDEO, 30, 10s));
  auto video = recorder.Samples(TREL32_STREAM_VIDEO);
  EXPECT_EQ(video.front().frameType, TREL32_FRAME_IDR);
  EXPECT_GT(video.front().timestamp, 0) << "not the first group, which is gone";
  for (size_t i = 1; i < video.size(); ++i) ASSERT_GT(video[i].timestamp, video[i - 1].timestamp);
  auto samples = recorder.Samples();
  EXPECT_EQ(samples.front().stream, TREL32_STREAM_VIDEO) << "nothing from before that key frame";
}

TEST_F(Trel32Client, NoCallbackAfterUnregisterReturns) {
  struct TGuard {
    std::atomic<bool> registered{false};
    std::atomic<int> late{0};
    std::atomic<int> calls{0};
    static void TREL32_CALL Callback(int32_t, void* user, uint8_t, uint8_t, const uint8_t*, int32_t, int64_t) {
      auto* self = static_cast<TGuard*>(user);
      if (!self->registered.load()) self->late.fetch_add(1);
      self->calls.fetch_add(1);
      std::this_thread::sleep_for(1ms);  // widens the window for a racing unregister
      if (!self->registered.load()) self->late.fetch_add(1);
    }
  } guard;
  ASSERT_EQ(trel32CreateRTSPClient(simulator_->RtspUrl(kDispatch).c_str(), 0, 1), TREL32_OK);
  TChannelGuard channel{0};
  for (int i = 0; i < 100; ++i) {
    guard.registered.store(true);
    ASSERT_EQ(trel32RegisteRTSPClientCallback(&TGuard::Callback, 0, &guard), TREL32_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + i % 20));
    ASSERT_EQ(trel32UnRegisteRTSPClientCallback(0), TREL32_OK);
    guard.registered.store(false);
  }
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(guard.late.load(), 0);
  EXPECT_GT(guard.calls.load(), 50);
  EXPECT_EQ(trel32UnRegisteRTSPClientCallback(0), TREL32_E_NOT_REGISTERED);
}

TEST_F(Trel32Client, SeveralChannelsAtOnce) {
  TSampleRecorder first, second;
  ASSERT_EQ(trel32CreateRTSPClient(simulator_->RtspUrl(kDispatch).c_str(), 0, 1), TREL32_OK);
  TChannelGuard channel0{0};
  ASSERT_EQ(trel32CreateRTSPClient(simulator_->RtspUrl("/dispatch/1?config.client_type=web").c_str(), 1, 1),
            TREL32_OK);
  TChannelGuard channel1{1};
  ASSERT_EQ(trel32RegisteRTSPClientCallback(&TSampleRecorder::Callback, 0, &first), TREL32_OK);
  ASSERT_EQ(trel32RegisteRTSPClientCallback(&TSampleRecorder::Callback, 1, &second), TREL32_OK);
  ASSERT_TRUE(first.WaitFor(TREL32_STREAM_VIDEO, 10, 10s));
  ASSERT_TRUE(second.WaitFor(TREL32_STREAM_VIDEO, 10, 10s));
  ASSERT_EQ(trel32DestroyRTSPClient(0), TREL32_OK);
  size_t before = second.Count(TREL32_STREAM_VIDEO);
  EXPECT_TRUE(second.WaitFor(TREL32_STREAM_VIDEO, before + 10, 10s)) << "the other channel goes on";
  EXPECT_EQ(first.lastChannel.load(), 0);
  EXPECT_EQ(second.lastChannel.load(), 1);
}

TEST_F(Trel32Client, DestroyReturnsPromptlyWhenTheServerHangs) {
  TDeviceSimulator hanging;
  hanging.Start();
  TSampleRecorder recorder;
  TChannelGuard channel{1};
  ASSERT_NO_FATAL_FAILURE(OpenAndRecord(hanging, 1, recorder, 5));
  ::kill(hanging.Pid(), SIGSTOP);  // the server stops answering mid-stream
  std::this_thread::sleep_for(1500ms);
  auto start = Clock::now();
  EXPECT_EQ(trel32DestroyRTSPClient(1), TREL32_OK);
  EXPECT_LT(Seconds(Clock::now() - start), 3.0);
  ::kill(hanging.Pid(), SIGCONT);
}

TEST_F(Trel32Client, ResumesAfterTheDeviceRestartsWithTimestampsContinuing) {
  TDeviceSimulator device;
  device.Start();
  TSampleRecorder recorder;
  TChannelGuard channel{1};
  ASSERT_NO_FATAL_FAILURE(OpenAndRecord(device, 1, recorder, 25));
  device.Stop();
  std::this_thread::sleep_for(1500ms);
  size_t beforeVideo = recorder.Count(TREL32_STREAM_VIDEO);
  size_t beforeAudio = recorder.Count(TREL32_STREAM_AUDIO);
  device.Start();
  ASSERT_TRUE(recorder.WaitFor(TREL32_STREAM_VIDEO, beforeVideo + 25, 20s)) << "delivery resumes";
  ASSERT_TRUE(recorder.WaitFor(TREL32_STREAM_AUDIO, beforeAudio + 25, 5s));
  for (auto [stream, clock, before] : {std::tuple{TREL32_STREAM_VIDEO, 90000.0, beforeVideo},
                                       std::tuple{TREL32_STREAM_AUDIO, 48000.0, beforeAudio}}) {
    auto samples = recorder.Samples(static_cast<uint8_t>(stream));
    for (size_t i = 1; i < samples.size(); ++i) ASSERT_GT(samples[i].timestamp, samples[i - 1].timestamp);
    const auto& last = samples[before - 1];
    const auto& next = samples[before];
    double gap = static_cast<double>(next.timestamp - last.timestamp) / clock;
    double outage = Seconds(next.arrival - last.arrival);
    EXPECT_GT(gap, 0.5) << "the outage shows in the timestamps";
    EXPECT_LT(gap, outage + 0.5) << "no jump beyond the outage";
  }
  EXPECT_EQ(recorder.Samples(TREL32_STREAM_VIDEO)[beforeVideo].frameType, TREL32_FRAME_IDR);
}

long ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

// A source sends one IDR picture that never ends (10 MB/s of slices whose
// first macroblock is never 0, for 8 s), then behaves. Memory must stay
// bounded, nothing of the endless picture may come out, delivery must resume
// with the next IDR picture, and an owner's callback that throws must not end
// the process: the samples after it still come.
TEST_F(Trel32Client, EndlessPictureIsDroppedAndAThrowingOwnerIsSurvived) {
  int port = FreeLoopbackPort();
  TTempDir dir;
  TChildProcess server;
  server.Start({"python3", SourceDir() + "/tests/trel32/endless_picture_server.py", std::to_string(port),
                "--endless", "8", "--rate", "10", "--total", "40"},
               dir.File("server.log"));
  ASSERT_TRUE(WaitForListener(port, 30s)) << ReadWholeFile(dir.File("server.log"));
  struct TThrowing : TSampleRecorder {
    static void TREL32_CALL Callback(int32_t channel, void* user, uint8_t stream, uint8_t frameType,
                                     const uint8_t* data, int32_t length, int64_t timestamp) {
      TSampleRecorder::Callback(channel, user, stream, frameType, data, length, timestamp);
      throw std::runtime_error("owner broke");  // after every sample
    }
  } recorder;
  long before = ResidentKilobytes();
  auto start = Clock::now();
  std::string url = "rtsp://127.0.0.1:" + std::to_string(port) + "/endless";
  ASSERT_EQ(trel32CreateRTSPClient(url.c_str(), 9, 1), TREL32_OK);
  TChannelGuard channel{9};
  ASSERT_EQ(trel32RegisteRTSPClientCallback(&TThrowing::Callback, 9, &recorder), TREL32_OK);
  long peak = before;
  while (Clock::now() - start < 8s) {
    peak = std::max(peak, ResidentKilobytes());
    std::this_thread::sleep_for(100ms);
  }
  ASSERT_TRUE(recorder.WaitFor(TREL32_STREAM_VIDEO, 10, 15s)) << "delivery did not resume";
  auto video = recorder.Samples(TREL32_STREAM_VIDEO);
  EXPECT_EQ(video.front().frameType, TREL32_FRAME_IDR) << "delivery resumed without a key frame";
  // Told apart by content, not by when they came (the fresh key frame may
  // arrive before the window above ends): the endless picture's slices begin
  // 0x41 0x5A, the fresh pictures' 0x65 and 0x41 0x9A.
  const std::vector<uint8_t> endlessSlice = {0, 0, 1, 0x41, 0x5A};
  for (const auto& sample : video) {
    EXPECT_LT(sample.data.size(), 100'000u);
    EXPECT_EQ(std::search(sample.data.begin(), sample.data.end(), endlessSlice.begin(), endlessSlice.end()),
              sample.data.end())
        << "a part of the endless picture came out";
  }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // 80 MB came in one picture; the assembly holds at most 8 MiB of it.
  EXPECT_LT(peak - before, 40'000) << "resident memory grew by " << (peak - before) / 1024 << " MB";
#endif
  std::printf("endless picture: resident memory %ld MB at start, peak %ld MB\n", before / 1024, peak / 1024);
}

}  // namespace
