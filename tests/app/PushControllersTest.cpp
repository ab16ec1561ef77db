// The push controller with its sender, capturer and delay buffer replaced at
// their seams: start and stop sequences, the per-sample path, header
// re-sends, and the bound on one stream holding the other.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "AacConfigs.h"
#include "Debugs.h"
#include "ErrorReports.h"
#include "Processes.h"
#include "PushControllers.h"
#include "PushFakes.h"

using fakes::TFakeCapturer;
using fakes::TFakeDelayBuffer;
using fakes::TFakeSender;
using fakes::TSent;

namespace {

constexpr uint8_t kVideo = 4, kAudio = 129;

std::vector<std::string> traces;
std::mutex tracesMutex;
void CollectTrace(const std::string& line) {
  std::lock_guard<std::mutex> lock(tracesMutex);
  traces.push_back(line.substr(9, line.size() - 10));  // without "hh:nn:ss " and the line end
}

std::vector<uint8_t> Bytes(size_t length, uint8_t first = 0) {
  std::vector<uint8_t> data(length);
  for (size_t i = 0; i < length; ++i) data[i] = static_cast<uint8_t>(first + i);
  return data;
}

std::vector<uint8_t> AccessUnit(uint8_t nalHeader, size_t length = 64) {
  std::vector<uint8_t> data = Bytes(length);
  data[0] = 0, data[1] = 0, data[2] = 0, data[3] = 1, data[4] = nalHeader;
  return data;
}

struct Rig {
  TManualPushClock clock;
  TFakeSender sender;
  TFakeCapturer capturer;
  TConfig config{"/nonexistent/unused.reg"};
  TFakeDelayBuffer::TLog bufferLog;
  TFakeDelayBuffer* buffer = nullptr;  // the last one made
  std::unique_ptr<TPushController> controller;

  explicit Rig(int bufferTime = 0) {
    config.BufferTime = bufferTime;
    controller = std::make_unique<TPushController>(sender, capturer, config, [this] {
      auto made = std::make_unique<TFakeDelayBuffer>(bufferLog);
      buffer = made.get();
      return made;
    }, clock);
    controller->StopWaitStepMs = 1;
    std::lock_guard<std::mutex> lock(tracesMutex);
    traces.clear();
    DebugOutputEnabled = true;
    SetDebugSink(CollectTrace);
  }
  ~Rig() {
    controller.reset();
    SetDebugSink(nullptr);
    DebugOutputEnabled = false;
  }
  int Start() { return controller->StartPush("10.0.0.2", "admin", "pw ", "rtmp://h/hls/test1", false, 0, 554, 80); }
  bool Traced(const std::string& text) {
    std::lock_guard<std::mutex> lock(tracesMutex);
    return std::find(traces.begin(), traces.end(), text) != traces.end();
  }
};

}  // namespace

TEST(PushClock, TicksBecomeTruncatedMilliseconds) {
  struct Case {
    uint8_t code;
    int32_t rate;
    int64_t ticks;
    bool passes;
    int64_t ms;
  } cases[] = {
      {kVideo, 48000, 90000, true, 1000},   {kVideo, 48000, 45, true, 0},
      {kVideo, 48000, 911250, true, 10125},
      {kAudio, 48000, 48000, true, 1000},   {kAudio, 44100, 132300, true, 3000},
      {kAudio, 8000, 7, true, 0},           {kAudio, 0, 48000, false, 0},  // no audio clock: dropped
      {kAudio, 1, INT64_MAX, false, 0},     // beyond any 64-bit millisecond time: dropped
      {7, 48000, 90000, false, 0},          // not a stream code of ours
  };
  for (const Case& c : cases) {
    Rig rig(30);
    rig.capturer.info.AudioSampleRate = c.rate;
    ASSERT_EQ(rig.Start(), 0);
    rig.capturer.Deliver(c.code, 1, Bytes(120), c.ticks);
    auto held = rig.buffer->Held();
    SCOPED_TRACE(testing::Message() << "code " << int(c.code) << " ticks " << c.ticks);
    ASSERT_EQ(held.size(), c.passes ? 1u : 0u);
    if (c.passes) {
      EXPECT_EQ(held[0].timeMs, c.ms);
      EXPECT_EQ(held[0].kind, c.code == kVideo ? 1 : 2);
    } else {
      EXPECT_EQ(rig.controller->FRecvBytes.load(), 0) << "a dropped sample is not counted";
    }
  }
}

TEST(PushPath, SmallFramesOfTypesFiveAndSixAreDropped) {
  struct Case {
    uint8_t type;
    size_t length;
    bool passes;
  } cases[] = {{5, 99, false}, {5, 100, true}, {6, 99, false}, {6, 100, true}, {2, 50, true}, {1, 10, true}};
  for (const Case& c : cases) {
    Rig rig(30);
    ASSERT_EQ(rig.Start(), 0);
    rig.capturer.Deliver(kVideo, c.type, Bytes(c.length), 900);
    SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " length " << c.length);
    EXPECT_EQ(rig.buffer->Held().size(), c.passes ? 1u : 0u);
    EXPECT_EQ(rig.controller->FVideoFrames.load(), c.passes ? 1 : 0);
    EXPECT_EQ(rig.controller->FRecvBytes.load(), c.passes ? int32_t(c.length) : 0);
    EXPECT_EQ(rig.controller->FVideoBits.load(), c.passes ? int32_t(c.length * 8) : 0);
  }
}

TEST(PushPath, NothingIsSentBeforeTheFirstKeyFrameAndTimesStartThere) {
  Rig rig;  // no delay: samples go straight to the sender
  ASSERT_EQ(rig.Start(), 0);
  rig.capturer.Deliver(kVideo, 1, AccessUnit(0x41), 810000);   // non-key video: dropped
  rig.capturer.Deliver(kAudio, 0, Bytes(50), 432000);          // audio before any key frame
  rig.capturer.Deliver(kVideo, 2, AccessUnit(0x65), 900000);   // key frame at 10000 ms
  rig.capturer.Deliver(kAudio, 0, Bytes(50), 479952);          // 9999 ms: older than the key frame
  rig.capturer.Deliver(kAudio, 0, Bytes(50), 480000);          // the key frame's millisecond
  rig.capturer.Deliver(kVideo, 1, AccessUnit(0x41), 911250);   // 125 ms after it
  rig.capturer.Deliver(kVideo, 2, AccessUnit(0x65), 990000);   // a later key frame keeps the base

  std::vector<TSent> sent = rig.sender.Sent();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0].kind, 'V');
  EXPECT_EQ(sent[0].timeMs, 0u);
  EXPECT_TRUE(sent[0].isKey);
  EXPECT_EQ(sent[1].kind, 'A');
  EXPECT_EQ(sent[1].timeMs, 0u);
  EXPECT_EQ(sent[2].kind, 'V');
  EXPECT_EQ(sent[2].timeMs, 125u);
  EXPECT_FALSE(sent[2].isKey);
  EXPECT_EQ(sent[3].timeMs, 1000u);
  EXPECT_EQ(rig.controller->BaseTime(), 10000u);
  EXPECT_TRUE(rig.Traced("KEY FRAME"));
  EXPECT_TRUE(rig.Traced("65 64")) << "the NAL header byte and the length of each video sample";
  EXPECT_EQ(rig.controller->FVideoFrames.load(), 4) << "dropped by the gate, still received";
}

TEST(PushPath, AudioLosesItsAdtsHeader) {
  Rig rig;
  ASSERT_EQ(rig.Start(), 0);
  rig.capturer.Deliver(kVideo, 2, AccessUnit(0x65, 100), 0);
  rig.controller->FSentBytes = 0;
  std::vector<uint8_t> frame = Bytes(207);
  rig.capturer.Deliver(kAudio, 0, frame, 0);
  rig.capturer.Deliver(kAudio, 0, Bytes(7), 1024);  // a bare header: nothing to send
  std::vector<TSent> sent = rig.sender.Sent();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].data, std::vector<uint8_t>(frame.begin() + 7, frame.end()));
  EXPECT_EQ(rig.controller->FSentBytes.load(), 200);
  EXPECT_EQ(rig.controller->FAudioFrames.load(), 2);
}

std::atomic<int> sendFailureReports{0};
void CountSendFailureReport(const std::string& caption, const std::string& text) {
  if (caption == "错误" && text == kSendFailedText) ++sendFailureReports;
}

// The operator is told once per push that media no longer goes out, not
// once per refused sample.
// Without reconnects: the failed handle refuses each sample for good.
TEST(PushPath, RefusedSamplesAreTracedNotCountedAndReportedOncePerPush) {
  SetErrorReportHandler(CountSendFailureReport);
  sendFailureReports = 0;
  Rig rig;
  rig.config.AutoReconnect = 0;
  ASSERT_EQ(rig.Start(), 0);
  rig.sender.mediaResult = false;
  rig.capturer.Deliver(kVideo, 2, AccessUnit(0x65, 100), 0);
  rig.capturer.Deliver(kAudio, 0, Bytes(100), 0);
  rig.capturer.Deliver(kVideo, 0, AccessUnit(0x41, 100), 3600);
  EXPECT_EQ(rig.sender.Sent().size(), 3u);
  EXPECT_EQ(rig.controller->FSentBytes.load(), 0);
  EXPECT_TRUE(rig.Traced("RTMP_SendVideo failed"));
  EXPECT_TRUE(rig.Traced("RTMP_SendAudio failed"));
  EXPECT_EQ(sendFailureReports.load(), 1);
  rig.controller->StopPush();
  ASSERT_EQ(rig.Start(), 0);
  rig.capturer.Deliver(kVideo, 2, AccessUnit(0x65, 100), 0);
  EXPECT_EQ(sendFailureReports.load(), 2) << "a new push reports again";
  SetErrorReportHandler(nullptr);
}

TEST(PushHeader, ParameterSetsLoseOnlyAFourByteStartCode) {
  Rig rig;
  std::vector<uint8_t> sps4 = {0, 0, 0, 1, 0x67};
  for (int i = 0; i < 15; ++i) sps4.push_back(static_cast<uint8_t>(i));
  rig.capturer.info.Sps = sps4;                              // 20 bytes
  rig.capturer.info.Pps = {0, 0, 1, 0x68, 0xCE, 0x3C, 0x80};  // three-byte start code
  ASSERT_EQ(rig.Start(), 0);
  const TMediaHeader& h = rig.controller->Header();
  ASSERT_EQ(h.SpsLen, 16);
  EXPECT_EQ(std::vector<uint8_t>(h.Sps, h.Sps + 16), std::vector<uint8_t>(sps4.begin() + 4, sps4.end()));
  ASSERT_EQ(h.PpsLen, 7);
  EXPECT_EQ(std::vector<uint8_t>(h.Pps, h.Pps + 7), rig.capturer.info.Pps);
}

TEST(PushHeader, DescribesTheDeviceStream) {
  struct Case {
    int32_t rate, channels;
    bool hasAudio;
    std::vector<uint8_t> config;
  } cases[] = {
      {44100, 2, true, {0x12, 0x10}},
      {48000, 1, true, {0x11, 0x88}},
      {8000, 5, true, {0x15, 0x90}},  // an odd channel count announces two
      {96000, 2, true, {}},
      {0, 0, false, {}},  // the device has no audio
  };
  for (const Case& c : cases) {
    Rig rig;
    rig.capturer.info.AudioSampleRate = c.rate;
    rig.capturer.info.AudioChannels = c.channels;
    ASSERT_EQ(rig.Start(), 0);
    const TMediaHeader& h = rig.controller->Header();
    SCOPED_TRACE(c.rate);
    EXPECT_EQ(h.VideoCodecId, 7);
    EXPECT_EQ(h.Width, 1280);
    EXPECT_EQ(h.Height, 720);
    EXPECT_EQ(h.FrameRate, 25.0);
    EXPECT_EQ(h.VideoDataRate, 10000000);
    EXPECT_EQ(bool(h.HasAudio), c.hasAudio);
    EXPECT_EQ(h.AudioCodecId, 0xA0);
    EXPECT_EQ(h.AudioDataRate, 128000);
    EXPECT_EQ(h.AudioSampleRate, c.rate);
    EXPECT_EQ(h.AudioSampleSize, 16);
    EXPECT_EQ(h.AudioChannels, c.channels);
    EXPECT_EQ(std::vector<uint8_t>(h.AudioConfig, h.AudioConfig + h.AudioConfigLen), c.config);
    ASSERT_EQ(rig.sender.headers.size(), 1u);
    EXPECT_EQ(std::memcmp(&rig.sender.headers[0], &h, sizeof h), 0) << "the header sent is the one held";
  }
}

TEST(AacConfig, AacLcForAllNineRatesWithTheDevicesChannels) {
  const int32_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
  for (int index = 0; index < 12; ++index) {
    for (uint8_t channels : {uint8_t{1}, uint8_t{2}}) {
      uint8_t bytes[4] = {0xEE, 0xEE, 0xEE, 0xEE};
      int32_t length = sizeof bytes;
      bool built = BuildAacConfig(rates[index], channels, bytes, length);
      SCOPED_TRACE(testing::Message() << rates[index] << " Hz, " << int(channels) << " channel(s)");
      if (index < 3) {  // 96000, 88200, 64000: not among the nine
        EXPECT_FALSE(built);
        EXPECT_EQ(length, 0);
        EXPECT_EQ(bytes[0], 0xEE) << "left alone";
        continue;
      }
      ASSERT_TRUE(built);
      ASSERT_EQ(length, 2);
      int bits = bytes[0] << 8 | bytes[1];
      EXPECT_EQ(bits >> 11, 2) << "object type AAC-LC";
      EXPECT_EQ(bits >> 7 & 0x0F, index) << "standard sampling-frequency index";
      EXPECT_EQ(bits >> 3 & 0x0F, channels);
      EXPECT_EQ(bits & 7, 0);
    }
  }
  uint8_t small[1] = {0};
  int32_t length = 1;
  EXPECT_FALSE(BuildAacConfig(48000, 2, small, length)) << "no room for two bytes";
  EXPECT_EQ(length, 0);
}

// The silence the controller sends when audio stops must be a valid AAC-LC
// frame: wrapped in ADTS it decodes with FFmpeg, without an error, to zeros.
TEST(AacConfig, SilentFrameDecodesToSilence) {
  for (uint8_t channels : {uint8_t{1}, uint8_t{2}}) {
    uint8_t frame[8];
    int32_t length = BuildSilentAacFrame(channels, frame);
    std::string adts;
    const int frames = 20;
    for (int i = 0; i < frames; ++i) {
      int total = length + 7;
      uint8_t header[7] = {0xFF, 0xF1,
                           static_cast<uint8_t>(1 << 6 | 3 << 2 | channels >> 2),  // LC, 48000 Hz
                           static_cast<uint8_t>((channels & 3) << 6 | total >> 11),
                           static_cast<uint8_t>(total >> 3 & 0xFF),
                           static_cast<uint8_t>((total & 7) << 5 | 0x1F), 0xFC};
      adts.append(reinterpret_cast<char*>(header), 7);
      adts.append(reinterpret_cast<char*>(frame), static_cast<size_t>(length));
    }
    testsupport::TTempDir dir;
    std::ofstream(dir.File("silence.aac"), std::ios::binary) << adts;
    auto result = testsupport::RunCommand({"ffmpeg", "-v", "error", "-i", dir.File("silence.aac"), "-f", "s16le",
                                           "-acodec", "pcm_s16le", dir.File("out.pcm")});
    SCOPED_TRACE(int(channels));
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.errors, "") << "the decoder complained";
    std::string pcm = testsupport::ReadWholeFile(dir.File("out.pcm"));
    EXPECT_GE(pcm.size(), size_t(2 * channels * 1024 * (frames - 2)));
    EXPECT_EQ(pcm.find_first_not_of('\0'), std::string::npos) << "not silent";
  }
}

TEST(PushStart, EachFailingStepHasItsCodeAndTrace) {
  struct Case {
    int code;
    const char* trace;
    std::function<void(Rig&)> breakIt;
  } cases[] = {
      {1, "Connect ret=-3", [](Rig& r) { r.capturer.connectResult = -3; }},
      {2, "RTMP_Open err=-4", [](Rig& r) { r.sender.openResult = -4; }},
      {3, "RTMP_SendHeader err=-8", [](Rig& r) { r.sender.headerResult = -8; }},
      {4, "StartCapture ret=-1", [](Rig& r) { r.capturer.startResult = -1; }},
  };
  for (const Case& c : cases) {
    Rig rig(5);
    TPushController::TState last = TPushController::TState::Idle;
    rig.controller->OnStateChanged = [&](TPushController::TState s) { last = s; };
    c.breakIt(rig);
    SCOPED_TRACE(c.trace);
    EXPECT_EQ(rig.Start(), c.code);
    EXPECT_TRUE(rig.Traced(c.trace));
    EXPECT_EQ(rig.controller->State(), TPushController::TState::Idle);
    EXPECT_EQ(last, TPushController::TState::Idle);
    EXPECT_FALSE(rig.Traced("Capturing..."));
  }
}

TEST(PushStart, SuccessTracesCapturingAndPassesTheArguments) {
  Rig rig(2);
  std::vector<TPushController::TState> states;
  rig.controller->OnStateChanged = [&](TPushController::TState s) { states.push_back(s); };
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_TRUE(rig.Traced("Capturing..."));
  EXPECT_EQ(rig.capturer.calls, (std::vector<std::string>{"Connect 10.0.0.2 pw  554 80 SD", "StartCapture"}));
  EXPECT_EQ(rig.sender.urls, std::vector<std::string>{"rtmp://h/hls/test1"});
  EXPECT_EQ(rig.bufferLog.delay, 2000u);
  EXPECT_EQ(rig.bufferLog.started, 1);
  EXPECT_EQ(states, std::vector<TPushController::TState>{TPushController::TState::Running});
}

TEST(PushStart, StartAfterAFailedStartReleasesWhatItLeftOpen) {
  Rig rig(5);
  rig.capturer.startResult = -1;  // code 4: device, handle and worker are all open
  ASSERT_EQ(rig.Start(), 4);
  EXPECT_EQ(rig.sender.closes, 0) << "a failed start does not undo its steps by itself";
  rig.capturer.startResult = 0;
  rig.capturer.calls.clear();
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_EQ(rig.capturer.calls,
            (std::vector<std::string>{"StopCapture", "Disconnect", "Connect 10.0.0.2 pw  554 80 SD", "StartCapture"}));
  EXPECT_EQ(rig.sender.closes, 1);
  EXPECT_EQ(rig.bufferLog.stops, 1);
  EXPECT_EQ(rig.bufferLog.created, 2);
  EXPECT_EQ(rig.bufferLog.destroyed, 1);
  EXPECT_EQ(rig.sender.foreignHandles, 0);
}

// One device, three destinations: a local folder served by the plugged-in
// recorder, a server that refuses everything, and an unknown local folder
// once no recorder is plugged in. The first destination never notices the
// second's failure; lines come after the start result, each with its number.
TEST(PushStart, SeveralDestinationsEachOnItsOwn) {
  Rig rig;
  TFakeSender* recorder = nullptr;
  rig.controller->SetFileSenderFactory([&] {
    auto made = std::make_unique<TFakeSender>();
    recorder = made.get();
    return made;
  });
  std::mutex eventsLock;
  std::vector<std::string> events;
  bool resultFirst = false;
  rig.controller->OnStartResult = [&](int) { resultFirst = events.empty(); };
  rig.controller->OnLinkEvent = [&](const TLinkEvent& e) {
    std::lock_guard<std::mutex> lock(eventsLock);
    events.push_back(std::string(LinkStateWord(e.State)) + " dest=" + std::to_string(e.Destination) + " " + e.Reason);
  };
  ASSERT_EQ(rig.controller->StartPush("10.0.0.2", "admin", "pw", std::vector<std::string>{"file:///srv/rec", "rtmp://dead/hls/x"}, false, 0,
                                      554, 80),
            0);
  ASSERT_NE(recorder, nullptr);
  EXPECT_EQ(recorder->urls, std::vector<std::string>{"file:///srv/rec"});
  auto eventSeen = [&](const std::string& text) {
    for (int i = 0; i < 2500; ++i) {  // up to 5 s for the supervising thread
      {
        std::lock_guard<std::mutex> lock(eventsLock);
        if (std::find(events.begin(), events.end(), text) != events.end()) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  };
  ASSERT_TRUE(eventSeen("running dest=2 connected"));
  rig.sender.mediaResult = false;  // the server refuses from here on
  for (int i = 0; i < 50; ++i) rig.capturer.Deliver(kVideo, i % 25 == 0 ? 2 : 1, AccessUnit(i % 25 ? 0x41 : 0x65), i * 3600);
  EXPECT_TRUE(eventSeen("reconnecting dest=2 server_lost"));
  const std::vector<TSent> recorded = recorder->Sent();
  ASSERT_EQ(recorded.size(), 50u) << "the refusing server held nothing back";
  for (size_t i = 0; i < recorded.size(); ++i) EXPECT_EQ(recorded[i].timeMs, i * 40);
  EXPECT_TRUE(resultFirst);
  rig.controller->StopPush();

  // Without a recorder a local folder is refused: as the first destination
  // the start fails (2), as a further one it fails on its own.
  TPushController plain(rig.sender, rig.capturer, rig.config, [] { return nullptr; }, rig.clock);
  plain.StopWaitStepMs = 1;
  EXPECT_EQ(plain.StartPush("d", "u", "p", std::vector<std::string>{"file:///srv/rec"}, false, 0, 554, 80), 2);
  EXPECT_FALSE(plain.DestinationRefusal("file:///srv/rec").empty());
  EXPECT_TRUE(plain.DestinationRefusal("rtmps://h/a/b").empty());
}

TEST(PushStop, StopWithoutAPushReleasesLeftoversAndTraces) {
  Rig rig;
  rig.sender.headerResult = -7;  // code 3 leaves device and handle open
  ASSERT_EQ(rig.Start(), 3);
  rig.controller->StopPush();
  EXPECT_EQ(rig.sender.closes, 1);
  EXPECT_EQ(rig.controller->SenderHandle(), nullptr);
  EXPECT_TRUE(rig.Traced("Capture Stop"));
  rig.controller->StopPush();  // and once more with nothing at all open
  EXPECT_EQ(rig.sender.closes, 1);
  EXPECT_EQ(rig.controller->State(), TPushController::TState::Idle);
}

TEST(PushStop, StopClosesTheSenderOnlyAfterTheWorkerStopped) {
  Rig rig(5);
  ASSERT_EQ(rig.Start(), 0);
  int stopsSeenAtClose = -1;
  bool capturingAtClose = true;
  rig.controller->OnProcessMessages = [&] {
    stopsSeenAtClose = rig.bufferLog.stops;
    capturingAtClose = rig.capturer.capturing;
    EXPECT_EQ(rig.sender.closes, 0) << "the handle stays valid through the wait";
  };
  rig.controller->StopPush();
  EXPECT_EQ(stopsSeenAtClose, 1);
  EXPECT_FALSE(capturingAtClose);
  EXPECT_EQ(rig.sender.closes, 1);
  EXPECT_EQ(rig.bufferLog.destroyed, 1);
}

// Requests that arrive while StopPush processes window messages in its wait.
TEST(PushStop, RequestsDuringTheStopWaitNeverStopAWorkerTwice) {
  Rig rig(5);
  ASSERT_EQ(rig.Start(), 0);
  int nested = 0;
  rig.controller->OnProcessMessages = [&] {
    if (nested++ > 0) return;
    rig.controller->StopPush();  // the stop button again
    EXPECT_EQ(rig.controller->StartPush("a", "b", "c", "rtmp://x/y/z", false, 0, 554, 80), 1)
        << "a start must wait for the stop to finish";
    rig.controller->StopPush();  // the window closing
  };
  rig.controller->StopPush();
  EXPECT_EQ(rig.bufferLog.stops, 1);
  EXPECT_EQ(rig.sender.closes, 1);
  EXPECT_EQ(rig.bufferLog.destroyed, 1);
  EXPECT_EQ(rig.controller->State(), TPushController::TState::Idle);
  rig.controller->OnProcessMessages = nullptr;
  EXPECT_EQ(rig.Start(), 0) << "after the stop a start runs again";
}

TEST(PushHold, HeaderIsResentWhileTheBufferHoldsTheStream) {
  Rig rig(30);
  ASSERT_EQ(rig.Start(), 0);
  ASSERT_EQ(rig.sender.HeaderCount(), 1u);
  rig.capturer.Deliver(kVideo, 2, AccessUnit(0x65), 0);   // the first video: re-send
  rig.capturer.Deliver(kAudio, 0, Bytes(50), 0);           // audio: none
  rig.capturer.Deliver(kVideo, 1, AccessUnit(0x41), 3600); // within the second: none
  EXPECT_EQ(rig.sender.HeaderCount(), 2u);
  rig.clock.Advance(kHeaderResendMs);  // no window timer needed: the push's own clock
  rig.capturer.Deliver(kVideo, 1, AccessUnit(0x41), 7200);
  EXPECT_EQ(rig.sender.HeaderCount(), 3u);
  EXPECT_TRUE(rig.sender.Sent().empty()) << "the buffer still holds everything";

  rig.buffer->ReleaseAll();
  EXPECT_TRUE(rig.controller->Delivered());
  EXPECT_EQ(rig.sender.Sent().size(), 4u);
  rig.clock.Advance(kHeaderResendMs);
  rig.capturer.Deliver(kVideo, 1, AccessUnit(0x41), 10800);
  EXPECT_EQ(rig.sender.HeaderCount(), 3u) << "no header once media went out";
}

// How far the media is behind, while the delay fills and once it flows.
TEST(PushHold, DelayFigureIsTrueBeforeAndAfterMediaFlows) {
  Rig rig(10);
  ASSERT_EQ(rig.Start(), 0);
  EXPECT_EQ(rig.controller->CurrentDelaySeconds(), 0.0) << "nothing held yet";
  rig.capturer.Deliver(kVideo, 2, AccessUnit(0x65), 0);
  rig.clock.Advance(4000);
  EXPECT_NEAR(rig.controller->CurrentDelaySeconds(), 4.0, 0.001) << "held for 4 s so far, not the configured 10";
  rig.buffer->ReleaseAll();
  for (int64_t ms = 40; ms <= 10000; ms += 40) rig.capturer.Deliver(kVideo, 1, AccessUnit(0x41), ms * 90);
  EXPECT_NEAR(rig.controller->CurrentDelaySeconds(), 10.0, 0.001) << "10 s taken since the last released";
}

// A re-send on the delivering thread must never be under way while the first
// released media is sent on the buffer's thread.
TEST(PushHold, ResendNeverOverlapsTheFirstRelease) {
  for (int round = 0; round < 20; ++round) {
    Rig rig(30);
    ASSERT_EQ(rig.Start(), 0);
    std::atomic<bool> inHeader{false};
    std::atomic<int> overlaps{0};
    rig.sender.onHeader = [&] {
      inHeader = true;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      inHeader = false;
    };
    rig.sender.onMedia = [&] {
      if (inHeader) ++overlaps;
    };
    rig.capturer.Deliver(kVideo, 2, AccessUnit(0x65), 0);
    std::thread delivering([&] {
      for (int i = 1; i < 40; ++i) {
        rig.clock.Advance(kHeaderResendMs);
        rig.capturer.Deliver(kVideo, 1, AccessUnit(0x41), i * 3600);
      }
    });
    std::this_thread::sleep_for(std::chrono::microseconds(100 * round));
    rig.buffer->ReleaseAll();
    delivering.join();
    rig.buffer->ReleaseAll();
    EXPECT_EQ(overlaps.load(), 0);
  }
}

TEST(PushBound, SilenceFillsInWhenTheDevicesAudioStops) {
  Rig rig;
  ASSERT_EQ(rig.Start(), 0);
  auto video = [&](int64_t ms) { rig.capturer.Deliver(kVideo, ms == 0 ? 2 : 1, AccessUnit(ms == 0 ? 0x65 : 0x41), ms * 90); };
  auto audio = [&](int64_t ms) { rig.capturer.Deliver(kAudio, 0, Bytes(60), ms * 48); };
  video(0);
  audio(0);
  for (int64_t ms = 40; ms <= 3000; ms += 40) video(ms);  // audio went quiet after 0 ms
  auto audioTimes = [&] {
    std::vector<uint32_t> times;
    for (const TSent& s : rig.sender.Sent())
      if (s.kind == 'A') times.push_back(s.timeMs);
    return times;
  };
  EXPECT_EQ(audioTimes().size(), 1u) << "a gap up to the limit is waited out";
  video(3040);
  std::vector<uint32_t> times = audioTimes();
  ASSERT_GT(times.size(), 100u);
  for (size_t i = 1; i < times.size(); ++i) {
    EXPECT_GE(times[i] - times[i - 1], 21u) << "frames of 1024 samples at 48000 Hz";
    EXPECT_LE(times[i] - times[i - 1], 22u);
  }
  EXPECT_GE(times.back() + 22, 3040u) << "silence reaches the video";
  EXPECT_LE(times.back(), 3040u);
  std::vector<TSent> all = rig.sender.Sent();
  auto firstSilence = std::find_if(all.begin() + 2, all.end(), [](const TSent& s) { return s.kind == 'A'; });
  ASSERT_NE(firstSilence, all.end());
  const std::vector<uint8_t>& silent = firstSilence->data;
  uint8_t expected[8];
  EXPECT_EQ(silent, std::vector<uint8_t>(expected, expected + BuildSilentAacFrame(2, expected)));

  rig.sender.Forget();
  audio(3000);  // the device's audio is back, behind the silence: dropped
  audio(3200);
  video(3240);
  video(3280);
  times = audioTimes();
  EXPECT_EQ(times, std::vector<uint32_t>{3200}) << "filling ends when the device's audio returns";
}

TEST(PushBound, AudioFarAheadOfStoppedVideoIsDropped) {
  Rig rig;
  ASSERT_EQ(rig.Start(), 0);
  rig.capturer.Deliver(kVideo, 2, AccessUnit(0x65), 0);
  for (int64_t ms = 0; ms <= 4000; ms += 500) rig.capturer.Deliver(kAudio, 0, Bytes(60), ms * 48);
  std::vector<uint32_t> times;
  for (const TSent& s : rig.sender.Sent())
    if (s.kind == 'A') times.push_back(s.timeMs);
  EXPECT_EQ(times, (std::vector<uint32_t>{0, 500, 1000, 1500, 2000, 2500, 3000}));
}

TEST(PushBound, DeviceWithoutAudioSendsVideoOnly) {
  Rig rig;
  rig.capturer.info.AudioSampleRate = 0;
  ASSERT_EQ(rig.Start(), 0);
  for (int64_t ms = 0; ms <= 8000; ms += 40) rig.capturer.Deliver(kVideo, ms == 0 ? 2 : 1, AccessUnit(0x41), ms * 90);
  rig.capturer.Deliver(kAudio, 0, Bytes(60), 0);
  for (const TSent& s : rig.sender.Sent()) ASSERT_EQ(s.kind, 'V') << "no silence without announced audio";
  EXPECT_EQ(rig.sender.Sent().size(), 201u);
  EXPECT_EQ(rig.controller->FAudioFrames.load(), 0);
}

// The device's clock jumps forward (an encoder restart) or back (a clock
// reset) while samples keep coming at their pace, without a delay. The time
// line sent must go on without a gap or a step back, no silence may be
// needed, and every real audio frame after the jump must still go out.
TEST(PushBound, ClockJumpWithoutDelayKeepsTimesAndAudio) {
  for (int64_t jumpMs : {int64_t{600'000}, int64_t{-100'000}}) {
    Rig rig;
    ASSERT_EQ(rig.Start(), 0);
    int audioFrames = 0;
    auto stream = [&](int64_t fromMs, int64_t toMs) {
      for (int64_t ms = fromMs, audioMs = fromMs; ms < toMs; ms += 40) {
        rig.capturer.Deliver(kVideo, ms == 100'000 ? 2 : 1, AccessUnit(ms == 100'000 ? 0x65 : 0x41), ms * 90);
        for (; audioMs <= ms; audioMs += 21, ++audioFrames) rig.capturer.Deliver(kAudio, 0, Bytes(60), audioMs * 48);
      }
    };
    stream(100'000, 102'000);
    stream(102'000 + jumpMs, 104'000 + jumpMs);
    SCOPED_TRACE(jumpMs);
    int64_t lastVideo = -1;
    int realAudio = 0;
    for (const TSent& s : rig.sender.Sent()) {
      if (s.kind == 'V') {
        EXPECT_GE(static_cast<int64_t>(s.timeMs), lastVideo) << "video time went back";
        if (lastVideo >= 0) {
          EXPECT_LE(static_cast<int64_t>(s.timeMs) - lastVideo, 100) << "a gap in the time line";
        }
        lastVideo = s.timeMs;
      } else {
        EXPECT_EQ(s.data.size(), 53u) << "silence was sent at " << s.timeMs;
        realAudio += s.data.size() == 53u ? 1 : 0;
      }
    }
    EXPECT_LE(lastVideo, 4100) << "the jump reached the time line";
    EXPECT_EQ(realAudio, audioFrames) << "real audio was dropped";
  }
}
